#include "recovery/file_recoverer.h"

#include "core/extract_plan.h"
#include "core/text.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"

namespace brevant {
namespace {

// Folders held open at once: files come in catalogue order, mostly folder by folder, so a
// few hundred cover the folders in use without nearing the descriptor limit.
constexpr std::size_t kOpenFolders = 256;
// What a file costs a file system beyond its bytes, at most (a block of its own).
constexpr std::uint64_t kBlock = 4096;

std::uint64_t OnDisk(std::uint64_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

bool IsFat(const RecoverySession& session) {
  return session.scanFsName == "FAT16" || session.scanFsName == "FAT32";
}

}  // namespace

std::unique_ptr<platform::OutputFolder> FileRecoverer::OpenDestination(
    const std::filesystem::path& destination, const std::string& source, std::string* error) {
  if (destination.empty()) {
    *error = "--to: the destination folder name is empty";
    return nullptr;
  }
  // The folder, or the nearest folder above it that exists: where it would be created.
  std::error_code ec;
  std::filesystem::path existing = std::filesystem::absolute(destination, ec);
  while (!existing.empty() && !std::filesystem::exists(existing, ec) &&
         existing.has_relative_path())
    existing = existing.parent_path();
  if (!source.empty() && platform::SameDevice(existing, source)) {
    *error = destination.string() + ": lies on " + source +
             ", the disk being read; recover to another disk";
    return nullptr;
  }
  return platform::OpenOutputFolder(destination, true, error);
}

std::unique_ptr<FileRecoverer> FileRecoverer::Open(RecoverySession& session,
                                                   const std::filesystem::path& destination,
                                                   std::string* error) {
  auto root = OpenDestination(destination, session.SelectedDevice(), error);
  if (!root) return nullptr;
  return std::unique_ptr<FileRecoverer>(new FileRecoverer(session, std::move(root)));
}

FileRecoverer::FileRecoverer(RecoverySession& session, std::unique_ptr<platform::OutputFolder> root)
    : session_(session), root_(std::move(root)) {}

const std::filesystem::path& FileRecoverer::Destination() const { return root_->Path(); }

std::shared_ptr<platform::OutputFolder> FileRecoverer::Folder(
    const std::vector<std::u16string>& folder, std::string* error) {
  std::shared_ptr<platform::OutputFolder> current = root_;
  std::string key;
  for (const std::u16string& name : folder) {
    const std::string component = ToUtf8(SanitiseName(name));
    key += '/';
    key += component;
    if (auto it = open_.find(key); it != open_.end()) {
      uses_.splice(uses_.begin(), uses_, it->second.use);
      current = it->second.folder;
      continue;
    }
    const bool fresh = made_.insert(key).second;
    std::shared_ptr<platform::OutputFolder> child = current->OpenChild(component, fresh, error);
    if (!child) {
      made_.erase(key);
      return nullptr;
    }
    if (open_.size() >= kOpenFolders) {
      open_.erase(uses_.back());
      uses_.pop_back();
    }
    uses_.push_front(key);
    open_.emplace(key, OpenFolder{child, uses_.begin()});
    current = std::move(child);
  }
  return current;
}

bool FileRecoverer::MakeFolder(const std::vector<std::u16string>& folder, std::string* error) {
  return Folder(folder, error) != nullptr;
}

bool FileRecoverer::Fits(platform::OutputFolder& folder, std::uint64_t bytes, std::string* error) {
  if (bytes == 0) return true;
  // The free space is measured again only when the estimate says the file may not fit.
  if (!free_ || OnDisk(bytes) > *free_) free_ = folder.FreeBytes();
  if (!free_ || bytes <= *free_) return true;
  *error = "does not fit: it needs " + std::to_string(bytes) + " bytes and the destination has " +
           std::to_string(*free_) + " bytes free";
  return false;
}

ExtractResult FileRecoverer::Recover(const CatalogueNode& file,
                                     const std::vector<std::u16string>& folder) {
  ExtractResult result;
  const std::int64_t size = TextToInt(file.size);
  if (file.IsFolder() || size < 0) {
    result.error = "not a file entry";
    return result;
  }
  std::optional<ExtractPlan> plan;
  if (IsFat(session_)) {
    const std::int64_t cluster = TextToInt(file.id);
    if (cluster < 0 || cluster > 0xFFFFFFFFLL) {
      result.error = "not a FAT file entry";
      return result;
    }
    plan = PlanFatFile(session_, static_cast<std::uint64_t>(size),
                       static_cast<std::uint32_t>(cluster), &result.error);
    if (plan) plan->modifiedTime = FatEntryModifiedTime(file);
  } else if (session_.scanFsName == "NTFS") {
    plan = PlanNtfsFile(session_, static_cast<std::uint64_t>(size),
                        static_cast<std::uint64_t>(TextToInt(file.sector)), &window_,
                        &result.error, file.stream);
  } else {
    result.error = "no scan of a FAT or NTFS partition to recover from";
  }
  if (!plan) return result;  // nothing is created for a file that cannot be copied
  auto into = Folder(folder, &result.error);
  if (!into) return result;
  const std::uint64_t needed = plan->BytesNeeded();
  if (!Fits(*into, needed, &result.error)) {
    result.destinationFull = true;
    return result;
  }
  result = WritePlanToFolder(*plan, *into, file.name, &session_.stopRequested);
  if (free_) *free_ -= std::min(*free_, OnDisk(needed));
  if (result.destinationFull) free_.reset();
  return result;
}

}  // namespace brevant

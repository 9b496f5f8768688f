#include "recovery/file_recoverer.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "core/file_systems.h"
#include "core/text.h"
#include "exfat/exfat_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "recovery/recovery_worker.h"

namespace brevant {
namespace {

// Folders held open at once: files come in catalogue order, mostly folder by folder, so a
// few hundred cover the folders in use without nearing the descriptor limit.
constexpr std::size_t kOpenFolders = 256;
// What a file costs a file system beyond its bytes, at most (a block of its own).
constexpr std::uint64_t kBlock = 4096;
// Files planned ahead of the writers: enough to keep them busy, few enough that plans with
// resident bytes stay small; the planner goes on once half of them are written.
constexpr std::size_t kMaxInFlight = 512;
// Outcomes held back behind a file still being written (a large one), to be reported in order:
// the planner waits for that file beyond this many.
constexpr std::size_t kMaxHeldBack = 8192;

std::uint64_t OnDisk(std::uint64_t bytes) { return (bytes + kBlock - 1) / kBlock * kBlock; }

bool IsFat(const RecoverySession& session) {
  return IsFatFamily(session.scanFsName);
}

}  // namespace

// The planner (the thread that runs RecoverAll) reads the catalogue and the MFT, makes the
// folders and decides each file's plan; writer threads create and fill the files. All of one
// folder's files go to one writer, in order, so two threads never create names in the same
// folder, and the planner makes a new folder inside another only once no file is pending there.
class FileRecoverer::Pipeline {
 public:
  Pipeline(FileRecoverer& owner, RecoverListener& listener, unsigned writers)
      : owner_(owner),
        listener_(listener),
        watch_(listener.Watch()),
        details_(listener.WantsDetails()) {
    for (unsigned i = 0; i < std::max(1u, writers); ++i)
      writers_.push_back(std::make_unique<Writer>());
    for (std::size_t i = 0; i < writers_.size(); ++i)
      writers_[i]->thread = std::thread([this, i] { Write(i); });
  }

  ~Pipeline() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    for (auto& w : writers_) w->wake.notify_one();
    for (auto& w : writers_) w->thread.join();
  }

  void Run() {
    RecoverTask task;
    while (!listener_.StopRequested() && listener_.NextTask(task)) {
      Slot& slot = AddSlot(std::move(task));
      task = {};
      if (!slot.task.file) {
        std::string key;
        if (!owner_.Folder(slot.task.folder, &key, &slot.folderError) && slot.folderError.empty())
          slot.folderError = "cannot be made";
        Done(slot);
      } else if (std::optional<Job> job = Prepare(slot)) {
        Dispatch(std::move(*job));
      } else {
        Done(slot);
      }
      Report();
      Throttle();
    }
    std::unique_lock lock(mutex_);
    Wait(lock, [&] { return inFlight_ == 0; });
    lock.unlock();
    Report();
  }

  // Returns once no file of the folder `key` waits or is being written.
  void WaitForFolder(const std::string& key) {
    std::unique_lock lock(mutex_);
    Wait(lock, [&] { return busy_.find(key) == busy_.end(); });
  }

 private:
  struct Slot {
    RecoverTask task;
    bool done = false;
    bool skipped = false;  // a stop came before the file was begun
    std::string folderError;
    ExtractResult result;
  };
  struct Job {
    Slot* slot = nullptr;
    std::shared_ptr<platform::OutputFolder> folder;
    std::string key;
    ExtractPlan plan;
    std::uint64_t reserved = 0;  // destination bytes promised to it
  };
  struct Writer {
    std::deque<Job> queue;
    std::condition_variable wake;
    bool idle = false;
    std::thread thread;
  };
  struct Busy {
    std::size_t writer = 0;
    std::size_t pending = 0;  // files queued or being written
  };

  Slot& AddSlot(RecoverTask task) {
    std::lock_guard lock(mutex_);
    slots_.emplace_back();
    slots_.back().task = std::move(task);
    return slots_.back();
  }

  void Done(Slot& slot) {
    std::lock_guard lock(mutex_);
    slot.done = true;
  }

  // Plans the file and finds its folder and room; nothing (the slot's result says why) when it
  // cannot be written.
  std::optional<Job> Prepare(Slot& slot) {
    std::optional<ExtractPlan> plan = owner_.Plan(*slot.task.file, slot.result);
    if (!plan) return std::nullopt;
    Job job;
    job.slot = &slot;
    job.folder = owner_.Folder(slot.task.folder, &job.key, &slot.result.error);
    if (!job.folder) return std::nullopt;
    std::uint64_t inFlight = 0;
    {
      std::lock_guard lock(mutex_);
      inFlight = reserved_;
      if (remeasure_) owner_.free_.reset();
      remeasure_ = false;
    }
    const std::uint64_t needed = plan->BytesNeeded();
    if (!owner_.Fits(*job.folder, needed, inFlight, &slot.result.error)) {
      slot.result.destinationFull = true;
      return std::nullopt;
    }
    job.reserved = OnDisk(needed);
    if (owner_.free_) *owner_.free_ -= std::min(*owner_.free_, job.reserved);
    job.plan = std::move(*plan);
    return job;
  }

  void Dispatch(Job job) {
    std::lock_guard lock(mutex_);
    auto [it, fresh] = busy_.try_emplace(job.key);
    if (fresh) {
      // A folder nobody is writing in goes to the writer with the least to do.
      std::size_t best = 0;
      for (std::size_t i = 1; i < writers_.size(); ++i)
        if (writers_[i]->queue.size() < writers_[best]->queue.size()) best = i;
      it->second.writer = best;
    }
    ++it->second.pending;
    ++inFlight_;
    reserved_ += job.reserved;
    Writer& w = *writers_[it->second.writer];
    w.queue.push_back(std::move(job));
    if (w.idle) w.wake.notify_one();
  }

  // Hands the finished tasks at the front, in order, to the listener.
  void Report() {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (slots_.empty() || !slots_.front().done) return;
      }
      // A finished slot is no writer's any more: it is read without the lock.
      Slot& slot = slots_.front();
      if (!slot.task.file)
        listener_.FolderMade(slot.task, slot.folderError);
      else if (!slot.skipped)
        listener_.FileRecovered(slot.task, slot.result);
      std::lock_guard lock(mutex_);
      slots_.pop_front();
    }
  }

  // Keeps the planner at most kMaxInFlight files ahead of the writers, and at most
  // kMaxHeldBack outcomes waiting for the report.
  void Throttle() {
    std::unique_lock lock(mutex_);
    if (inFlight_ < kMaxInFlight && slots_.size() < kMaxHeldBack) return;
    Wait(lock, [&] {
      return inFlight_ <= kMaxInFlight / 2 && (slots_.size() < kMaxHeldBack || slots_.front().done);
    });
    lock.unlock();
    Report();
  }

  // The planner sleeps until `ready` holds; the writers test it as they finish files and wake
  // the planner only then, not at every file.
  void Wait(std::unique_lock<std::mutex>& lock, std::function<bool()> ready) {
    if (ready()) return;
    plannerReady_ = std::move(ready);
    planner_.wait(lock, plannerReady_);
    plannerReady_ = nullptr;
  }

  void Write(std::size_t index) {
    Writer& me = *writers_[index];
    std::deque<Job> batch;
    std::unique_lock lock(mutex_);
    for (;;) {
      while (me.queue.empty() && !quit_) {
        me.idle = true;
        me.wake.wait(lock);
        me.idle = false;
      }
      if (me.queue.empty()) return;
      batch.swap(me.queue);
      lock.unlock();
      while (!batch.empty()) {
        Job& job = batch.front();
        ExtractResult result;
        // A stop ends the file being written; the ones waiting are not begun.
        const bool skipped = owner_.stop_ && owner_.stop_->load() == 1;
        if (!skipped)
          result = WritePlanToFolder(job.plan, *job.folder, job.slot->task.file->name, owner_.stop_,
                                     watch_, details_);
        lock.lock();
        Finish(job, std::move(result), skipped);
        lock.unlock();
        batch.pop_front();
      }
      lock.lock();
    }
  }

  // With the lock held.
  void Finish(Job& job, ExtractResult result, bool skipped) {
    job.slot->result = std::move(result);
    job.slot->skipped = skipped;
    job.slot->done = true;
    if (job.slot->result.destinationFull) remeasure_ = true;
    reserved_ -= job.reserved;
    --inFlight_;
    auto it = busy_.find(job.key);
    if (it != busy_.end() && --it->second.pending == 0) busy_.erase(it);
    // The planner waits for room, for a folder to fall idle, or for the end.
    if (plannerReady_ && plannerReady_()) planner_.notify_one();
  }

  FileRecoverer& owner_;
  RecoverListener& listener_;
  WriteWatch* watch_;
  const bool details_;  // hash each file and keep its runs
  std::vector<std::unique_ptr<Writer>> writers_;

  std::mutex mutex_;
  std::condition_variable planner_;
  std::function<bool()> plannerReady_;  // what the planner waits for, while it waits
  bool quit_ = false;
  std::deque<Slot> slots_;  // tasks not yet reported, in order
  std::size_t inFlight_ = 0;
  std::uint64_t reserved_ = 0;
  bool remeasure_ = false;  // a file found the destination full: measure its room again
  std::unordered_map<std::string, Busy> busy_;  // folders with files pending, by key
};

std::vector<std::u16string> FolderComponents(std::u16string_view slashPath) {
  std::vector<std::u16string> out;
  if (slashPath.size() <= 1) return out;
  std::size_t begin = slashPath[0] == u'/' ? 1 : 0;
  while (begin <= slashPath.size()) {
    std::size_t slash = slashPath.find(u'/', begin);
    if (slash == std::u16string_view::npos) slash = slashPath.size();
    out.emplace_back(slashPath.substr(begin, slash - begin));
    begin = slash + 1;
  }
  return out;
}

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
                                                   std::string* error,
                                                   const std::atomic<std::int32_t>* stop) {
  auto root = OpenDestination(destination, session.SelectedDevice(), error);
  if (!root) return nullptr;
  return std::unique_ptr<FileRecoverer>(
      new FileRecoverer(session, std::move(root), stop ? stop : &session.stopRequested));
}

FileRecoverer::FileRecoverer(RecoverySession& session, std::unique_ptr<platform::OutputFolder> root,
                             const std::atomic<std::int32_t>* stop)
    : session_(session), stop_(stop), root_(std::move(root)) {}

FileRecoverer::~FileRecoverer() = default;

const std::filesystem::path& FileRecoverer::Destination() const { return root_->Path(); }

std::shared_ptr<platform::OutputFolder> FileRecoverer::Folder(
    const std::vector<std::u16string>& folder, std::string* key, std::string* error) {
  // Files come folder by folder: the folder of the file before is most often this one.
  if (last_ && folder == lastFolder_) {
    *key = lastKey_;
    return last_;
  }
  last_ = OpenFolders(folder, key, error);
  lastFolder_ = folder;
  lastKey_ = *key;
  if (!last_) {
    lastFolder_.clear();
    lastKey_.clear();
  }
  return last_;
}

std::shared_ptr<platform::OutputFolder> FileRecoverer::OpenFolders(
    const std::vector<std::u16string>& folder, std::string* key, std::string* error) {
  std::shared_ptr<platform::OutputFolder> current = root_;
  key->clear();
  for (const std::u16string& name : folder) {
    const std::string component = ToUtf8(SanitiseName(name));
    const std::string parent = *key;
    *key += '/';
    *key += component;
    if (auto it = open_.find(*key); it != open_.end()) {
      uses_.splice(uses_.begin(), uses_, it->second.use);
      current = it->second.folder;
      continue;
    }
    const bool fresh = made_.insert(*key).second;
    // A new name in a folder whose files are still being written waits for them, so that it
    // meets them in the same order as one after another.
    if (fresh && pipeline_) pipeline_->WaitForFolder(parent);
    std::shared_ptr<platform::OutputFolder> child = current->OpenChild(component, fresh, error);
    if (!child) {
      made_.erase(*key);
      return nullptr;
    }
    if (open_.size() >= kOpenFolders) {
      open_.erase(uses_.back());
      uses_.pop_back();
    }
    uses_.push_front(*key);
    open_.emplace(*key, OpenFolder{child, uses_.begin()});
    current = std::move(child);
  }
  return current;
}

bool FileRecoverer::MakeFolder(const std::vector<std::u16string>& folder, std::string* error) {
  std::string key;
  return Folder(folder, &key, error) != nullptr;
}

bool FileRecoverer::Fits(platform::OutputFolder& folder, std::uint64_t bytes,
                         std::uint64_t inFlight, std::string* error) {
  if (bytes == 0) return true;
  // The free space is measured again only when the estimate says the file may not fit.
  if (!free_ || OnDisk(bytes) > *free_) {
    free_ = folder.FreeBytes();
    if (free_) *free_ -= std::min(*free_, inFlight);
  }
  if (!free_ || bytes <= *free_) return true;
  *error = "does not fit: it needs " + std::to_string(bytes) + " bytes and the destination has " +
           std::to_string(*free_) + " bytes free";
  return false;
}

std::optional<ExtractPlan> FileRecoverer::Plan(const CatalogueNode& file, ExtractResult& result) {
  std::uint64_t size = 0;
  if (!RecoverableSize(file, &size, &result.error)) return std::nullopt;
  std::optional<ExtractPlan> plan;
  if (IsFat(session_)) {
    const std::int64_t cluster = TextToInt(file.id);
    if (cluster < 0 || cluster > 0xFFFFFFFFLL) {
      result.error = "not a FAT file entry";
      return std::nullopt;
    }
    plan = PlanFatFile(session_, size, static_cast<std::uint32_t>(cluster), &result.error,
                       file.IsDeleted());
    if (plan) plan->modifiedTime = FatEntryModifiedTime(file);
  } else if (session_.scanFsName == "exFAT") {
    plan = PlanExfatFile(session_, file, &result.error);
  } else if (session_.scanFsName == "NTFS") {
    plan = PlanNtfsFile(session_, size, static_cast<std::uint64_t>(TextToInt(file.sector)),
                        &window_, &result.error, file.stream);
  } else {
    result.error = "no scan of a FAT, exFAT or NTFS partition to recover from";
  }
  return plan;
}

ExtractResult FileRecoverer::Recover(const CatalogueNode& file,
                                     const std::vector<std::u16string>& folder) {
  ExtractResult result;
  std::optional<ExtractPlan> plan = Plan(file, result);
  if (!plan) return result;  // nothing is created for a file that cannot be copied
  std::string key;
  auto into = Folder(folder, &key, &result.error);
  if (!into) return result;
  const std::uint64_t needed = plan->BytesNeeded();
  if (!Fits(*into, needed, 0, &result.error)) {
    result.destinationFull = true;
    return result;
  }
  result = WritePlanToFolder(*plan, *into, file.name, stop_);
  if (free_) *free_ -= std::min(*free_, OnDisk(needed));
  if (result.destinationFull) free_.reset();
  return result;
}

void FileRecoverer::RecoverAll(RecoverListener& listener, unsigned writers) {
  Pipeline pipeline(*this, listener, writers);
  pipeline_ = &pipeline;
  pipeline.Run();
  pipeline_ = nullptr;
}

}  // namespace brevant

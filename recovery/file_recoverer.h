#pragma once
// Recovers catalogued files of the last run into a folder the user chose, as the command
// line's `recover` and the window's Save do: each destination folder is created and opened
// once, files are made relative to it, MFT reads are shared by the records that follow, and
// a file is only begun when the destination has room for the bytes it really needs.
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/output_file.h"
#include "core/recovery_session.h"
#include "ntfs/extents.h"
#include "platform/output_folder.h"

namespace brevant {

class FileRecoverer {
 public:
  // Checks and opens the destination (created when missing): it must be a writable folder
  // that does not lie on the device the session reads. Null with a one-line `error`.
  static std::unique_ptr<FileRecoverer> Open(RecoverySession& session,
                                             const std::filesystem::path& destination,
                                             std::string* error);

  // The same checks on their own, before a scan: opens `destination` (created when missing)
  // for writing unless it is unusable or lies on the device `source`.
  static std::unique_ptr<platform::OutputFolder> OpenDestination(
      const std::filesystem::path& destination, const std::string& source, std::string* error);

  // Creates the folder `folder` (names as read from the disk, each made one safe path
  // component) below the destination. False with `error` set when it cannot.
  bool MakeFolder(const std::vector<std::u16string>& folder, std::string* error);

  // Recovers `file` into the folder `folder` below the destination. A file that cannot be
  // written at all leaves nothing; one written in part is kept and its result says so (path
  // set, not ok). A stop request ends the copy early (result `stopped`).
  ExtractResult Recover(const CatalogueNode& file, const std::vector<std::u16string>& folder);

  const std::filesystem::path& Destination() const;

 private:
  FileRecoverer(RecoverySession& session, std::unique_ptr<platform::OutputFolder> root);
  std::shared_ptr<platform::OutputFolder> Folder(const std::vector<std::u16string>& folder,
                                                 std::string* error);
  // False with the reason when `bytes` cannot fit at the destination.
  bool Fits(platform::OutputFolder& folder, std::uint64_t bytes, std::string* error);

  struct OpenFolder {
    std::shared_ptr<platform::OutputFolder> folder;
    std::list<std::string>::iterator use;
  };

  RecoverySession& session_;
  std::shared_ptr<platform::OutputFolder> root_;
  std::map<std::string, OpenFolder> open_;  // by sanitised path below the destination
  std::list<std::string> uses_;             // most recently used first
  std::set<std::string> made_;              // folders this recoverer created or found
  std::optional<std::uint64_t> free_;       // free space, as last measured less what was written
  ntfs::RecordWindow window_;
};

}  // namespace brevant

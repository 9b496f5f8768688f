#pragma once
// Recovers catalogued files of a run into a folder the user chose, as the command line's
// `recover` and the window's Save both do: each destination folder is created and opened once,
// files are made relative to it, MFT reads are shared by the records that follow, and a file is
// only begun when the destination has room for the bytes it really needs.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/extract_plan.h"
#include "core/output_file.h"
#include "core/recovery_session.h"
#include "ntfs/extents.h"
#include "platform/output_folder.h"

namespace brevant {

// One step of a recovery: a folder to make, or a file to recover into its folder.
struct RecoverTask {
  const CatalogueNode* file = nullptr;  // null: only `folder` is made
  std::vector<std::u16string> folder;   // below the destination, names as read from the disk
  std::size_t tag = 0;                  // the caller's own number for the task
};

// Feeds tasks to FileRecoverer::RecoverAll and hears how each ended.
class RecoverListener {
 public:
  virtual ~RecoverListener() = default;
  // The next task, false when there is none. On the thread that runs RecoverAll.
  virtual bool NextTask(RecoverTask& task) = 0;
  // Each task's outcome, in task order, on the thread that runs RecoverAll. A file that a stop
  // kept from being begun is not reported at all.
  virtual void FolderMade(const RecoverTask& task, const std::string& error) {
    (void)task, (void)error;
  }
  virtual void FileRecovered(const RecoverTask& task, const ExtractResult& result) = 0;
  // Polled before each task: once true, no further file is begun.
  virtual bool StopRequested() { return false; }
  // Non-null to be told, from the writing threads, which files are being written.
  virtual WriteWatch* Watch() { return nullptr; }
  // True to have each written file's SHA-256 and byte runs in its result, for a recovery
  // report. Asked once, when RecoverAll begins; the copy then goes through our own buffer.
  virtual bool WantsDetails() { return false; }
};

// The folders of a "/"-separated path of the result tree ("/Docs/Sub"), as the disk names them;
// none for the root ("" or "/"). An empty name stays a folder of its own.
std::vector<std::u16string> FolderComponents(std::u16string_view slashPath);

class FileRecoverer {
 public:
  // Checks and opens the destination (created when missing): it must be a writable folder
  // that does not lie on the device `session` reads. Null with a one-line `error`. A stop
  // request ends a copy early: `stop`, or the session's own request when null.
  static std::unique_ptr<FileRecoverer> Open(RecoverySession& session,
                                             const std::filesystem::path& destination,
                                             std::string* error,
                                             const std::atomic<std::int32_t>* stop = nullptr);

  // The same checks on their own, before a scan: opens `destination` (created when missing)
  // for writing unless it is unusable or lies on the device `source`.
  static std::unique_ptr<platform::OutputFolder> OpenDestination(
      const std::filesystem::path& destination, const std::string& source, std::string* error);

  ~FileRecoverer();

  // Creates the folder `folder` (names as read from the disk, each made one safe path
  // component) below the destination. False with `error` set when it cannot.
  bool MakeFolder(const std::vector<std::u16string>& folder, std::string* error);

  // Recovers `file` into the folder `folder` below the destination. A file that cannot be
  // written at all leaves nothing; one written in part is kept and its result says so (path
  // set, not ok). A stop request ends the copy early (result `stopped`).
  ExtractResult Recover(const CatalogueNode& file, const std::vector<std::u16string>& folder);

  // Every task `listener` gives, as Recover and MakeFolder would do them one after another,
  // with the same names and outcomes, reported in the same order; files are written by
  // `writers` threads meanwhile. Each folder's files are written by one thread in task order,
  // so a name that clashes gets the same " (n)" as one after another.
  void RecoverAll(RecoverListener& listener, unsigned writers = 2);

  const std::filesystem::path& Destination() const;

 private:
  class Pipeline;

  FileRecoverer(RecoverySession& session, std::unique_ptr<platform::OutputFolder> root,
                const std::atomic<std::int32_t>* stop);
  // The file's extraction plan, or nothing with `result` saying why.
  std::optional<ExtractPlan> Plan(const CatalogueNode& file, ExtractResult& result);
  // The folder below the destination, made when missing; `key` names it for the writers.
  std::shared_ptr<platform::OutputFolder> Folder(const std::vector<std::u16string>& folder,
                                                 std::string* key, std::string* error);
  std::shared_ptr<platform::OutputFolder> OpenFolders(const std::vector<std::u16string>& folder,
                                                      std::string* key, std::string* error);
  // False with the reason when `bytes` cannot fit at the destination; `inFlight` bytes are
  // promised to files still being written.
  bool Fits(platform::OutputFolder& folder, std::uint64_t bytes, std::uint64_t inFlight,
            std::string* error);

  struct OpenFolder {
    std::shared_ptr<platform::OutputFolder> folder;
    std::list<std::string>::iterator use;
  };

  RecoverySession& session_;
  const std::atomic<std::int32_t>* stop_;
  std::shared_ptr<platform::OutputFolder> root_;
  std::map<std::string, OpenFolder> open_;  // by sanitised path below the destination
  std::list<std::string> uses_;             // most recently used first
  std::set<std::string> made_;              // folders this recoverer created or found
  std::optional<std::uint64_t> free_;       // free space, as last measured less what was written
  ntfs::RecordWindow window_;
  std::vector<std::u16string> lastFolder_;  // the folder Folder() gave last
  std::string lastKey_;
  std::shared_ptr<platform::OutputFolder> last_;
  Pipeline* pipeline_ = nullptr;  // while RecoverAll runs
};

}  // namespace brevant

#pragma once
// What one recovery run found, owned by that run and handed over whole when it ends. A new run
// builds a new result: whoever still holds an older one can keep listing, previewing and saving
// from it while the new run works.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/allocation.h"
#include "core/catalogue.h"
#include "core/file_condition.h"
#include "core/recovery_session.h"

namespace brevant {
namespace ui {
class ResultTree;
class EntryPaths;
}  // namespace ui

// How a run ended.
enum class RunOutcome {
  Completed,  // swept to its end: "Scan Completed..." and the completion message
  // Swept to its end, but some of the volume's MFT records could not be read (RunResult's
  // `unreadable` names them): what they held is missing, so this is no plain success.
  CompletedWithUnreadable,
  Stopped,    // a stop was honoured by the worker or inside an engine: what was found so far
  Failed,     // the partition's parameters are unusable or the device cannot be read
  Refused,    // not run at all: another run was in progress (nothing is reported to the view)
};

// The number and total bytes of the files a run found, live and deleted apart.
struct FileFigures {
  std::uint64_t liveFiles = 0;
  std::uint64_t liveBytes = 0;
  std::uint64_t deletedFiles = 0;
  std::uint64_t deletedBytes = 0;
  // Deleted files whose data the run judged intact, and their bytes.
  std::uint64_t intactFiles = 0;
  std::uint64_t intactBytes = 0;
};
FileFigures CountFiles(const Catalogue& catalogue);

class RunResult {
 public:
  RunResult();
  ~RunResult();
  RunResult(const RunResult&) = delete;
  RunResult& operator=(const RunResult&) = delete;

  RunOutcome outcome = RunOutcome::Completed;

  // The partition the run read, as selected when it started.
  int disk = 0;
  std::string devicePath;
  std::uint64_t partitionStart = 0;
  std::uint64_t partitionEnd = 0;  // one past the last sector
  std::string fsName;              // as the walk names it ("FAT12", ..., "NTFS"); empty when nothing was selected
  PartitionFigures partition;      // size and free space, when the run started

  // What was found. The catalogue is read-only once handed over; the tree's folder registry
  // points into it. The tree and the entry paths are the result model's types (model/).
  Catalogue catalogue;
  std::shared_ptr<ui::ResultTree> tree;         // never null in a handed-over result
  std::shared_ptr<const ui::EntryPaths> paths;  // slash paths of the tree; safe from any thread
  FileFigures files;
  // The MFT records the run could not read (none on a FAT run).
  UnreadableIndex unreadable;

  // What became of a file's data: Live for a live file; for a deleted one what the run judged
  // before handing the result over (Unknown when it could not judge).
  FileState StateOf(const CatalogueNode& file) const;
  // Records the judgement of a file of this result's catalogue.
  void SetState(const CatalogueNode& file, FileState state) { states_.Set(file.order, state); }

  // The rows the file list shows, tied to this result's records. Guarded by listingMutex
  // (model's ListFolderFiles takes it).
  std::mutex listingMutex;

  // The engine state that reading this result's files needs (geometry, MFT extents, device):
  // a session of its own that no run writes. Extraction only reads it, from any thread.
  RecoverySession& Reader() const { return *reader_; }
  // Copies what Reader() needs from the session of the run that built this result.
  void TakeReaderState(const RecoverySession& session);

 private:
  std::unique_ptr<RecoverySession> reader_;
  FileStates states_;  // by the files' catalogue order: 8 bytes a file
};

}  // namespace brevant

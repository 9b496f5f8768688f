#pragma once
// Results files: one run's result kept in an SQLite database, so that it outlives the process.
// It can be listed again without the source, recovered from later (the source is checked to be
// the one scanned), queried with sqlite3, and an interrupted sweep can go on from the
// checkpoint it holds. The README describes the tables.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/recovery_session.h"
#include "core/run_result.h"
#include "core/sweep_checkpoint.h"

namespace brevant {

// The schema this build writes, and the newest it reads.
inline constexpr int kResultsSchemaVersion = 1;

// What tells the disk or image a result was read from apart from any other.
struct SourceIdentity {
  std::string path;             // as given to the run
  std::uint64_t sizeBytes = 0;  // of the whole disk or image
  std::string model;            // the drive's, where the system says (block devices)
  std::string serial;
  std::uint32_t sectorSize = 512;  // the disk's logical sector size
  std::string bootSha256;          // of the volume's first logical sector
  std::string firstMibSha256;      // of the volume's first MiB (less on a smaller volume)
};

// Reads the identity of `path` for the volume from `partitionStart` to `partitionEnd` (512-byte
// units). False with the reason when the source cannot be read.
bool ReadSourceIdentity(const std::string& path, std::uint64_t partitionStart,
                        std::uint64_t partitionEnd, std::uint32_t sectorSize, SourceIdentity* out,
                        std::string* error);

// Empty when `now` is the source `saved` was read from; otherwise why it is not.
std::string IdentityMismatch(const SourceIdentity& saved, const SourceIdentity& now);

// What the file holds about the run beside its result.
struct SavedRun {
  SourceIdentity source;
  int partitionNumber = 0;  // as the command line numbered it; 0 when not known
  std::string mode;         // "quick" or "extensive"
  bool finished = true;     // false: the file holds a checkpoint of a run still going
  std::optional<SweepCheckpoint> checkpoint;
};

// Whether a results file may be written at `path`: not a folder, not some other kind of file
// (only a results file is replaced), in a folder that exists and may be written, not on the
// device `source`. False with a one-line `error`.
bool CheckResultsPath(const std::filesystem::path& path, const std::string& source,
                      std::string* error);

// Writes `result` whole to `path` in one transaction, beside it first and then renamed over
// it, so that a crash leaves the previous file whole. False with the reason.
bool SaveResults(const std::filesystem::path& path, const RunResult& result, const SavedRun& run,
                 std::string* error);

// The same for a run still going: what the session holds now, marked unfinished, with the
// sweep's checkpoint.
bool SaveCheckpoint(const std::filesystem::path& path, const RecoverySession& session,
                    const SavedRun& run, const SweepCheckpoint& checkpoint, std::string* error);

// Reads a saved result back into a new RunResult: the catalogue in its order, then the tree,
// paths and figures made as a run makes them, and the deleted files' states as saved. Reads
// nothing from the source. Null with the reason for a file that is no results file, is
// damaged, or comes from a newer schema.
std::shared_ptr<RunResult> LoadResults(const std::filesystem::path& path, SavedRun* run,
                                       std::string* error);

// LoadResults for reading the files too: the source (`source`, or the path the file records
// when empty) must be the one scanned, by its identity, and the result reads from it. Null with
// the reason (a source that cannot be read or is another is named).
std::shared_ptr<RunResult> LoadResultsOnSource(const std::filesystem::path& path,
                                               const std::string& source, SavedRun* run,
                                               std::string* error);

// Reads only what the file says of its source and its run (the checks of LoadResults first).
bool ReadSavedRun(const std::filesystem::path& path, SavedRun* run, std::string* error);

// Puts what a checkpoint holds back into `session` (fresh, its disk already listed): the
// catalogue in its order, parameters, selection, MFT extents, unreadable records, mode, and
// sets `resumeFrom`. False with the reason (also for a file without a checkpoint).
bool LoadForResume(const std::filesystem::path& path, RecoverySession& session, SavedRun* run,
                   std::string* error);

// Puts a loaded result's reading state into `session`, as the run that made it left it: the
// selection, parameters and MFT extents that extraction reads, with `devicePath` as the source.
void RestoreReaderState(const RunResult& result, const std::string& devicePath,
                        RecoverySession& session);

// Keeps a run's checkpoints in a results file. The first save that fails is kept in `Error()`;
// the run goes on.
class ResultsFileSink : public CheckpointSink {
 public:
  ResultsFileSink(std::filesystem::path path, SavedRun run)
      : path_(std::move(path)), run_(std::move(run)) {}
  void Save(const RecoverySession& session, const SweepCheckpoint& checkpoint) override;
  double IntervalSeconds() const override { return interval_; }
  void SetIntervalSeconds(double seconds) { interval_ = seconds; }
  const std::string& Error() const { return error_; }
  std::uint64_t Saves() const { return saves_; }

 private:
  std::filesystem::path path_;
  SavedRun run_;
  double interval_ = 30.0;
  std::string error_;
  std::uint64_t saves_ = 0;
};

}  // namespace brevant

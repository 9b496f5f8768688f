#pragma once
// The shared state of one recovery session: disks, partitions, the selection, run controls,
// partition geometry and the result catalogue. Engines receive it explicitly.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/allocation.h"
#include "core/catalogue.h"
#include "core/recovery_view.h"
#include "core/sweep_checkpoint.h"

namespace brevant {
namespace ui {
struct TreeItem;
}  // namespace ui
class RunResult;

// Sector numbers of partitions count 512-byte units, whatever the disk's logical sector size.
struct PartitionEntry {
  ui::TreeItem* treeItem = nullptr;
  std::uint64_t startSector = 0;
  std::uint64_t endSector = 0;  // one past the last sector
  bool found = false;           // found by the volume search, not listed by a table
  // Why the partition cannot be read where the table puts it (its boot sector lies elsewhere);
  // empty when it can. A run on it fails with this reason instead of reading the wrong place.
  std::string problem = {};
  // An entry reaching beyond the disk's end: the end the table gives and how it is read (up to
  // the disk's end or the next partition's start; as given when its volume reaches as far,
  // the disk or image being cut short). The partition can still be scanned.
  std::uint64_t tableEndSector = 0;
  std::string note = {};
};

struct DriveRecord {
  int diskIndex = 0;
  int partitionCount = 0;
  std::uint32_t sectorSize = 512;           // the disk's logical sector size in bytes
  std::vector<std::string> fsName;          // "FAT12", "FAT16", "FAT32", "NTFS", ..., by position
  std::vector<PartitionEntry> partitions;   // same positions
};

struct DiskInfoNode {
  std::u16string model;
  std::u16string size;
  std::u16string cylinders;
  std::u16string heads;
  std::u16string sectorsPerTrack;
  ui::TreeItem* treeItem = nullptr;
  int diskIndex = 0;
  std::u16string label;
  std::string openError;  // why the disk could not be read, empty when it could
  std::uint32_t sectorSize = 512;  // logical sector size in bytes
};

// Sector numbers are absolute on the disk and 64-bit.
struct PartitionParameters {
  std::uint64_t fatSizeSectors = 0;
  std::uint64_t sectorsPerCluster = 0;
  std::uint64_t rootDirSectors = 0;
  std::uint64_t rootDirStart = 0;
  std::uint64_t reservedSectors = 0;
  std::uint64_t clusterBase = 0;
  std::uint64_t fat1Start = 0;
  std::uint64_t fat2Start = 0;
  std::uint64_t mftStart = 0;
  std::uint64_t mftMirrStart = 0;
  std::uint64_t sectorsPerFileRecord = 0;
  std::uint64_t sectorsPerIndexRecord = 0;
  std::uint64_t clusterCount = 0;  // exFAT: clusters in the heap, numbered from 2
};

// What the panel and the pie chart show for a partition: its size and free space in bytes.
struct PartitionFigures {
  std::uint64_t sizeBytes = 0;
  std::optional<std::uint64_t> freeBytes;  // absent when the allocation map could not be read
};

struct ScanParameters : PartitionParameters {
  std::string fsName;
};

// The MFT's own extents as absolute disk sectors, in the order of its virtual clusters.
struct MftExtentTable {
  std::vector<std::uint64_t> mftRunStart;   // first sector of each extent, 0 for a sparse run
  std::vector<std::uint64_t> mftRunLength;  // length in sectors
  std::size_t mftRunCount = 0;
  // Stretches of the MFT that no read can reach, by MFT sector (counted across the extents):
  // where the run list puts them beyond the partition's end (`sector`, absolute, is where), or
  // where a piece of the run list itself could not be read. They are sparse extents above, so
  // the records after them keep their numbers.
  struct Gap {
    std::uint64_t virtualStart = 0;
    std::uint64_t length = 0;
    bool beyondEnd = false;
    std::uint64_t sector = 0;
  };
  std::vector<Gap> gaps;
  void Clear() {
    mftRunStart.clear();
    mftRunLength.clear();
    mftRunCount = 0;
    gaps.clear();
  }
};

// MFT records of one stretch that a run could not read whole: what they held is missing from
// its result.
enum class UnreadableCause {
  ReadError,  // their sectors failed to read
  BeyondEnd,  // the MFT's run list puts them beyond the end of the partition or the device
  Unmapped,   // the piece of the MFT's run list that says where they lie could not be read
};
struct UnreadableRecords {
  std::uint64_t firstRecord = 0;
  std::uint64_t count = 0;
  std::uint64_t firstSector = 0;  // absolute, where the first of them lies; 0 when unknown
  UnreadableCause cause = UnreadableCause::ReadError;
};
// What a run could not read of the volume's index: every record counted, the first stretches
// named (a damaged disk may have many; their number is kept).
class UnreadableIndex {
 public:
  static constexpr std::size_t kNamedStretches = 100;
  std::uint64_t records = 0;
  std::uint64_t stretches = 0;
  std::vector<UnreadableRecords> named;  // the first kNamedStretches, in record order
  // Adds `count` records from `firstRecord`, joining the stretch before when they follow it.
  void Add(std::uint64_t firstRecord, std::uint64_t count, std::uint64_t firstSector,
           UnreadableCause cause);
  bool Empty() const { return records == 0; }

 private:
  UnreadableRecords last_;  // the stretch Add extended last, named or not
};
// "read error", "past the end of the disk or partition" or "where they lie is unknown".
const char* UnreadableCauseText(UnreadableCause cause);

struct RecoverySession {
  RecoverySession();
  RecoverySession(const RecoverySession&) = delete;
  RecoverySession& operator=(const RecoverySession&) = delete;

  // Disks and partitions: one slot per disk index, growing as disks are found.
  std::vector<std::string> devicePath;  // /dev/sdb, or a disk image file
  std::vector<DriveRecord> driveRecords;
  std::vector<DiskInfoNode> diskInfoList;
  RecoveryView* mainWindow = nullptr;

  // Selection.
  std::uint16_t selectedDisk = 0;
  std::uint64_t selectedPartitionStart = 0;
  std::uint64_t selectedPartitionEnd = 0;
  std::string selectedFsName;
  std::uint32_t selectedSectorSize = 512;  // the selected partition's disk's sector size
  std::string selectedProblem;             // the selected partition's PartitionEntry::problem

  // Why the last run failed, for the message and the command line's error line.
  std::string failureReason;

  // Run control, shared between threads.
  std::atomic<std::int16_t> recoveryMode{-1};
  std::atomic<std::int32_t> recoverConfirmed{0};
  std::atomic<std::int32_t> stopRequested{0};
  std::atomic<std::int32_t> scanDone{0};        // a run has completed (stays 1)
  std::atomic<std::int32_t> runInProgress{0};   // set while a run works, cleared however it ends
  std::atomic<std::int32_t> stopHonoured{0};    // the current run honoured a stop (HonourStop)
  std::atomic<std::uint64_t> recoveryThread{0};  // id of the worker started last, 0 for none
  std::atomic<std::uint64_t> paramThread{0};

  // Partition geometry.
  PartitionParameters partParams;
  std::string scanFsName;
  ScanParameters scanParams;
  std::uint64_t searchRangeEnd = 0;
  std::string deviceName;

  // Raw reader's backend marker: 'P' for POSIX devices and images.
  std::atomic<char> osReadMethod{0};

  // The MFT extents of the NTFS partition being scanned.
  MftExtentTable mftExtents;

  // The catalogue of the run in progress; the run moves it into its result when it ends.
  Catalogue catalogue;
  // The MFT records the run in progress could not read; moved into its result with the rest.
  UnreadableIndex unreadable;
  // What the run in progress gathers to judge its deleted files' condition when it ends.
  ConditionFacts conditionFacts;

  // Checkpoints of the long sweeps, when someone keeps them (a results file); null otherwise.
  CheckpointSink* checkpointSink = nullptr;
  // Set when the run goes on from a checkpoint: the catalogue and the rest of what was found
  // before it are already back in this session, and the sweep named starts at its position.
  std::optional<SweepCheckpoint> resumeFrom;

  // OEM code page used to decode 8.3 names (850 unless the user picks another).
  int oemCodePage = 850;

  // The device path of the selection.
  const std::string& SelectedDevice() const;
  // Grows the disk tables so that index `d` exists.
  void EnsureDisk(std::size_t d);

  // The result of the last run that completed or stopped; null before the first. Safe from
  // any thread; a holder keeps its result valid however many runs follow.
  std::shared_ptr<RunResult> CurrentResult() const;
  void SetCurrentResult(std::shared_ptr<RunResult> result);
  // Size and free space of the selected partition, as the parameter worker found them.
  PartitionFigures SelectedFigures() const;
  void SetSelectedFigures(const PartitionFigures& figures);

 private:
  mutable std::mutex resultMutex_;
  std::shared_ptr<RunResult> currentResult_;
  PartitionFigures selectedFigures_;
};

// Honours a pending stop request: clears it and the worker id, marks the run as stopped
// (stopHonoured), reports "Process Aborted..." and returns true; false when no stop was requested.
bool HonourStop(RecoverySession& session, RecoveryView& view);

}  // namespace brevant

#pragma once
// The search for FAT12, FAT16, FAT32 and NTFS volumes that no partition table lists: a wiped or
// overwritten table, a volume whose first sector is gone.
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/recovery_session.h"
#include "model/result_tree.h"

namespace brevant {

struct FoundVolume {
  std::string fsName;  // "FAT12", "FAT16", "FAT32" or "NTFS"
  std::uint64_t startSector = 0;
  std::uint64_t endSector = 0;  // one past the last sector
  bool fromBackup = false;      // found by its backup boot sector
};

struct VolumeSearchOptions {
  // Every sector of the disk instead of the usual alignments; long, so with progress and Stop.
  bool deep = false;
  // The search a disk gets without being asked: the usual places in the first 64 MiB and in
  // the 64 MiB after each volume found, so it costs a few reads on a disk of any size.
  bool nearby = false;
  std::uint32_t heads = 255;
  std::uint32_t sectorsPerTrack = 63;
  RecoveryView* view = nullptr;                     // progress, when set
  const std::atomic<std::int32_t>* stop = nullptr;  // ends the search when it reads 1
  std::uint32_t batchSectors = 0;                   // deep reads; 0 for the default (1 MiB)
};

// The volumes on `device` (of `diskSectors` sectors, 0 when unknown) that do not overlap a
// range of `listed` ([start, end) pairs) or a better candidate, in disk order. Each is checked
// like a real boot sector: its fields describe a volume that fits on the disk.
std::vector<FoundVolume> SearchLostVolumes(
    const std::string& device, std::uint64_t diskSectors,
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& listed,
    const VolumeSearchOptions& options);

// Searches disk `d` and files each volume found after the table's partitions, numbered on
// after them and marked as found, with a tree node below `diskPath`. Returns how many.
// A deep search hands checkpoints ("deep") to the session's sink, and when session.resumeFrom
// holds one (and `options.deep`), goes on from it: disks before the checkpoint's get the
// volumes they got then without being read, the checkpoint's disk is searched on from its
// position with the candidates met before it (so the same volumes win), later disks as usual;
// resumeFrom is cleared on the checkpoint's disk. A checkpoint that cannot be used (a damaged
// state, another disk) is cleared, nothing is filed for that disk, and session.failureReason
// says why.
int FileFoundVolumes(RecoverySession& session, ui::ResultTree& tree, int d,
                     const std::u16string& diskPath, const VolumeSearchOptions& options);
// The same for a disk already listed (its path taken from its DiskInfoNode).
int AddFoundVolumes(RecoverySession& session, ui::ResultTree& tree, int d,
                    const VolumeSearchOptions& options);

// What a sector says when it is a volume's boot sector: its file system and size in sectors.
struct BootSectorFacts {
  std::string fsName;
  std::uint64_t volumeSectors = 0;
  std::uint64_t hiddenSectors = 0;  // where the volume says it starts
  std::uint64_t unit = 1;           // 512-byte units in one of the volume's sectors
};
bool DescribeBootSector(const std::uint8_t* sector, BootSectorFacts& out);

}  // namespace brevant

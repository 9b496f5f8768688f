// libFuzzer target: the sector-size detection and the search for volumes no table lists (the
// usual places, the automatic nearby search and the deep search of every sector) over a disk
// that is the input. The first byte chooses the search; it is also the disk's first byte.
#include <algorithm>

#include "core/read_sectors.h"
#include "disk/disks.h"
#include "disk/sector_size.h"
#include "disk/volume_search.h"
#include "fuzz_common.h"

namespace {

using namespace brevant;

// Found volumes lie on the disk, in disk order, apart from each other and from `listed`.
void Check(const std::vector<FoundVolume>& found, std::uint64_t diskSectors,
           const std::vector<std::pair<std::uint64_t, std::uint64_t>>& listed) {
  std::uint64_t previousEnd = 0;
  for (const FoundVolume& v : found) {
    if (v.startSector >= v.endSector || v.endSector > diskSectors) __builtin_trap();
    if (v.startSector < previousEnd) __builtin_trap();
    previousEnd = v.endSector;
    for (const auto& [a, b] : listed)
      if (v.startSector < b && a < v.endSector) __builtin_trap();
    if (v.fsName != "FAT12" && v.fsName != "FAT16" && v.fsName != "FAT32" && v.fsName != "NTFS")
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string& path = fuzz::InstallDisk(data, size);
  const std::uint64_t diskSectors = size / 512;

  static constexpr std::uint32_t kReported[] = {0, 512, 4096};
  const auto finding = disk::DetectSectorSize(path, size, kReported[data[0] % 3]);
  if (finding.bytes < 512 || finding.bytes > 4096 || finding.bytes % 512 != 0) __builtin_trap();

  VolumeSearchOptions options;
  options.deep = (data[0] & 0x04) != 0;
  options.nearby = !options.deep && (data[0] & 0x08) != 0;
  options.batchSectors = 1 + (data[0] >> 4);  // small batches: records across their edges
  Check(SearchLostVolumes(path, diskSectors, {}, options), diskSectors, {});

  // The way a disk is listed: its table walked, then searched beside what the table lists.
  platform::DiskFacts facts;
  facts.deviceName = path;
  facts.label = "fuzz";
  facts.capacityBytes = size;
  RecoverySession session;
  ui::ResultTree tree;
  const int d = AddDisk(session, tree, facts);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> listed;
  for (const PartitionEntry& p : session.driveRecords[d].partitions) {
    // A partition reaching beyond the end of the disk says so (a disk of less than a sector
    // has no size the walk can go by).
    if (p.endSector < p.startSector ||
        (diskSectors != 0 && p.endSector > diskSectors && p.note.empty()))
      __builtin_trap();
    if (!p.found) listed.emplace_back(p.startSector, p.endSector);
  }
  Check(SearchLostVolumes(path, diskSectors, listed, options), diskSectors, listed);
  return 0;
}

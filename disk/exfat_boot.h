#pragma once
// The exFAT boot region (main at the volume's sector 0, backup at sector 12): the boot sector's
// layout fields, checked against the region's checksum sector, and the allocation bitmap the
// root directory names. Shared by the exFAT engine and the partition figures.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/recovery_session.h"

namespace brevant::disk {

// Sectors of one boot region: boot sector, 8 extended boot sectors, OEM parameters, a
// reserved sector and the checksum sector.
inline constexpr std::uint32_t kExfatRegionSectors = 12;
// The largest cluster the format allows: 32 MiB.
inline constexpr std::uint32_t kExfatMaxClusterShift = 25;

struct ExfatBoot {
  std::uint8_t bytesPerSectorShift = 9;   // 9..12
  std::uint8_t sectorsPerClusterShift = 0;
  std::uint64_t volumeLength = 0;         // in the volume's sectors
  std::uint32_t fatOffset = 0;            // in the volume's sectors
  std::uint32_t fatLength = 0;
  std::uint32_t clusterHeapOffset = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
  std::uint8_t numberOfFats = 1;
  std::uint16_t volumeFlags = 0;
  bool fromBackup = false;  // the main region failed and the backup was used

  std::uint32_t SectorBytes() const { return 1u << bytesPerSectorShift; }
  // Sizes in 512-byte units, as the rest of the program counts sectors.
  std::uint64_t Unit() const { return std::uint64_t{1} << (bytesPerSectorShift - 9); }
  std::uint64_t SectorsPerCluster512() const { return Unit() << sectorsPerClusterShift; }
  std::uint64_t ClusterBytes() const {
    return std::uint64_t{1} << (bytesPerSectorShift + sectorsPerClusterShift);
  }
  // The FAT in use: the second on a volume with two whose ActiveFat flag says so.
  unsigned ActiveFat() const { return numberOfFats == 2 && (volumeFlags & 1) ? 1 : 0; }
};

// The boot region checksum over `count` sectors of `sectorBytes` (VolumeFlags and
// PercentInUse of the boot sector left out, as they change while the volume is used).
std::uint32_t ExfatBootChecksum(std::span<const std::uint8_t> region, std::uint32_t sectorBytes);

// The layout of a boot sector that names exFAT, checked field by field (shifts in range,
// FAT and heap inside the volume, the root directory a cluster of the heap); absent otherwise.
std::optional<ExfatBoot> ParseExfatBootSector(std::span<const std::uint8_t> sector);

// A whole boot region (12 sectors of the size its boot sector states): its layout when the
// boot sector is sound and the checksum sector holds the region's checksum, else absent.
std::optional<ExfatBoot> ParseExfatBootRegion(std::span<const std::uint8_t> region);

// The volume's layout from its main boot region, or from the backup when the main one fails;
// absent (with the reason in `why`) when neither holds. `start`/`end` in 512-byte units.
std::optional<ExfatBoot> ReadExfatBoot(const std::string& device, std::uint64_t start,
                                       std::uint64_t end, std::string* why = nullptr);

// The layout in partition parameters, in 512-byte units from the disk's start: the active FAT
// first (fat2Start the other one, or the same when there is one), clusterBase the sector
// cluster 0 would have, rootDirStart the root directory's first cluster.
PartitionParameters ExfatParameters(const ExfatBoot& boot, std::uint64_t start);

// One FAT entry of the volume's active FAT; absent when it lies outside the FAT or its sector
// cannot be read.
std::optional<std::uint32_t> ReadExfatFatEntry(const std::string& device, std::uint64_t start,
                                               const ExfatBoot& boot, std::uint32_t cluster);

// The allocation bitmap of the volume (one bit a cluster, cluster 2 first): found through the
// root directory's bitmap entry and read through its chain. Absent when it cannot be found
// or read whole.
std::optional<std::vector<std::uint8_t>> ReadExfatBitmap(const std::string& device,
                                                         std::uint64_t start, std::uint64_t end,
                                                         const ExfatBoot& boot);

}  // namespace brevant::disk

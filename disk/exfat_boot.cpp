#include "disk/exfat_boot.h"

#include <algorithm>

#include "core/read_sectors.h"
#include "disk/on_disk.h"

namespace brevant::disk {
namespace {

constexpr std::uint8_t kBitmapEntry = 0x81;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint32_t kFirstCluster = 2;
// The bitmap entry sits among the first entries of the root directory; a root whose first
// MiB holds none is not looked through further.
constexpr std::uint64_t kBitmapSearchBytes = 1 << 20;
constexpr std::uint32_t kChunkSectors = 2048;  // 1 MiB per read

bool IsClusterOf(const ExfatBoot& b, std::uint64_t c) {
  return c >= kFirstCluster && c - kFirstCluster < b.clusterCount;
}

// Reads `bytes` from the volume's byte `offset` into `out`; false when it leaves [start, end)
// or a sector cannot be read.
bool ReadBytes(const std::string& device, std::uint64_t start, std::uint64_t end,
               std::uint64_t offset, std::uint64_t bytes, std::vector<std::uint8_t>& out) {
  if (offset % kSectorBytes != 0) return false;
  const std::uint64_t first = start + offset / kSectorBytes;
  const std::uint64_t count = (bytes + kSectorBytes - 1) / kSectorBytes;
  if (first < start || first >= end || count > end - first) return false;
  const std::size_t base = out.size();
  out.resize(base + static_cast<std::size_t>(count * kSectorBytes));
  for (std::uint64_t done = 0; done < count;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, count - done));
    if (ReadSectors(device, out.data() + base + done * kSectorBytes, first + done, n) == 0)
      return false;
    done += n;
  }
  out.resize(base + static_cast<std::size_t>(bytes));
  return true;
}

// The clusters of a chain from `first` holding `bytes`, through the FAT; absent when it breaks
// off or loops before that.
std::optional<std::vector<std::uint32_t>> Chain(const std::string& device, std::uint64_t start,
                                                const ExfatBoot& b, std::uint32_t first,
                                                std::uint64_t bytes) {
  const std::uint64_t needed = (bytes + b.ClusterBytes() - 1) / b.ClusterBytes();
  if (needed > b.clusterCount) return std::nullopt;
  std::vector<std::uint32_t> out;
  std::uint32_t c = first;
  while (out.size() < needed) {
    if (!IsClusterOf(b, c)) return std::nullopt;
    out.push_back(c);
    if (out.size() == needed) break;
    auto next = ReadExfatFatEntry(device, start, b, c);
    if (!next) return std::nullopt;
    c = *next;  // a loop runs into the count bound above
  }
  return out;
}

}  // namespace

std::uint32_t ExfatBootChecksum(std::span<const std::uint8_t> region, std::uint32_t sectorBytes) {
  std::uint32_t sum = 0;
  const std::size_t bytes = std::min<std::size_t>(region.size(), std::size_t{11} * sectorBytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

std::optional<ExfatBoot> ParseExfatBootSector(std::span<const std::uint8_t> s) {
  if (s.size() < kSectorBytes || !HasText(s, 3, "EXFAT   ")) return std::nullopt;
  if (Le8(s, 510) != 0x55 || Le8(s, 511) != 0xAA) return std::nullopt;
  // The old BIOS parameter block must be zero, so no FAT reader takes the volume for its own.
  for (std::size_t i = 11; i < 64; ++i)
    if (s[i] != 0) return std::nullopt;
  ExfatBoot b;
  b.volumeLength = Le64(s, 72);
  b.fatOffset = Le32(s, 80);
  b.fatLength = Le32(s, 84);
  b.clusterHeapOffset = Le32(s, 88);
  b.clusterCount = Le32(s, 92);
  b.rootCluster = Le32(s, 96);
  b.volumeFlags = Le16(s, 106);
  b.bytesPerSectorShift = Le8(s, 108);
  b.sectorsPerClusterShift = Le8(s, 109);
  b.numberOfFats = Le8(s, 110);
  if (b.bytesPerSectorShift < 9 || b.bytesPerSectorShift > 12) return std::nullopt;
  if (b.sectorsPerClusterShift > kExfatMaxClusterShift - b.bytesPerSectorShift) return std::nullopt;
  if (b.numberOfFats != 1 && b.numberOfFats != 2) return std::nullopt;
  const std::uint64_t spc = std::uint64_t{1} << b.sectorsPerClusterShift;
  // The FAT follows the boot regions, the heap follows the FATs, and both lie in the volume.
  if (b.fatOffset < 2 * kExfatRegionSectors || b.fatLength == 0) return std::nullopt;
  if (std::uint64_t{b.fatLength} << b.bytesPerSectorShift < (std::uint64_t{b.clusterCount} + 2) * 4)
    return std::nullopt;
  if (std::uint64_t{b.fatOffset} + std::uint64_t{b.fatLength} * b.numberOfFats > b.clusterHeapOffset)
    return std::nullopt;
  if (b.clusterCount == 0 || b.clusterCount > 0xFFFFFFF5u) return std::nullopt;
  if (b.volumeLength < b.clusterHeapOffset ||
      (b.volumeLength - b.clusterHeapOffset) / spc < b.clusterCount)
    return std::nullopt;
  if (!IsClusterOf(b, b.rootCluster)) return std::nullopt;
  return b;
}

std::optional<ExfatBoot> ParseExfatBootRegion(std::span<const std::uint8_t> region) {
  auto boot = ParseExfatBootSector(region);
  if (!boot) return std::nullopt;
  const std::uint32_t size = boot->SectorBytes();
  if (region.size() < std::size_t{kExfatRegionSectors} * size) return std::nullopt;
  const std::uint32_t sum = ExfatBootChecksum(region, size);
  // The checksum sector repeats the sum to its end.
  const std::size_t at = std::size_t{11} * size;
  for (std::size_t i = 0; i < size; i += 4)
    if (Le32(region, at + i) != sum) return std::nullopt;
  return boot;
}

std::optional<ExfatBoot> ReadExfatBoot(const std::string& device, std::uint64_t start,
                                       std::uint64_t end, std::string* why) {
  auto tryAt = [&](std::uint64_t offsetBytes, std::uint32_t size) -> std::optional<ExfatBoot> {
    std::vector<std::uint8_t> region;
    if (!ReadBytes(device, start, end, offsetBytes, std::uint64_t{kExfatRegionSectors} * size, region))
      return std::nullopt;
    auto boot = ParseExfatBootRegion(region);
    if (!boot || boot->SectorBytes() != size) return std::nullopt;
    return boot;
  };
  // The main boot sector states the sector size; when it cannot be read, each size is tried.
  std::vector<std::uint8_t> first;
  std::uint32_t stated = 0;
  if (ReadBytes(device, start, end, 0, kSectorBytes, first) && HasText(first, 3, "EXFAT   ")) {
    const std::uint8_t shift = first[108];
    if (shift >= 9 && shift <= 12) stated = 1u << shift;
  }
  if (stated != 0)
    if (auto boot = tryAt(0, stated)) return boot;
  std::vector<std::uint32_t> sizes;
  if (stated != 0) sizes.push_back(stated);
  for (std::uint32_t size : {512u, 4096u, 1024u, 2048u})
    if (size != stated) sizes.push_back(size);
  for (std::uint32_t size : sizes) {
    if (auto boot = tryAt(std::uint64_t{kExfatRegionSectors} * size, size)) {
      boot->fromBackup = true;
      return boot;
    }
  }
  if (why)
    *why = "neither the main exFAT boot region nor its backup (sectors 12 to 23) is sound: "
           "their boot sectors or checksums do not hold";
  return std::nullopt;
}

PartitionParameters ExfatParameters(const ExfatBoot& b, std::uint64_t start) {
  PartitionParameters p;
  const std::uint64_t unit = b.Unit();
  const std::uint64_t spc = b.SectorsPerCluster512();
  const std::uint64_t fat0 = start + std::uint64_t{b.fatOffset} * unit;
  const std::uint64_t fatSize = std::uint64_t{b.fatLength} * unit;
  p.sectorsPerCluster = spc;
  p.reservedSectors = std::uint64_t{b.fatOffset} * unit;
  p.fatSizeSectors = fatSize;
  p.fat1Start = fat0 + fatSize * b.ActiveFat();
  p.fat2Start = b.numberOfFats == 2 ? fat0 + fatSize * (1 - b.ActiveFat()) : p.fat1Start;
  // Only ever used as clusterBase + n * spc with n >= 2.
  p.clusterBase = start + std::uint64_t{b.clusterHeapOffset} * unit - 2 * spc;
  p.rootDirStart = b.rootCluster;
  p.clusterCount = b.clusterCount;
  return p;
}

std::optional<std::uint32_t> ReadExfatFatEntry(const std::string& device, std::uint64_t start,
                                               const ExfatBoot& b, std::uint32_t cluster) {
  if (std::uint64_t{cluster} >= std::uint64_t{b.clusterCount} + 2) return std::nullopt;
  const std::uint64_t fatByte = std::uint64_t{cluster} * 4;
  if (fatByte + 4 > std::uint64_t{b.fatLength} << b.bytesPerSectorShift) return std::nullopt;
  const std::uint64_t fatStart =
      (std::uint64_t{b.fatOffset} + std::uint64_t{b.fatLength} * b.ActiveFat()) * b.Unit();
  Sector s;
  const std::uint64_t lba = start + fatStart + fatByte / kSectorBytes;
  if (ReadSectors(device, s.data(), lba, 1) == 0) return std::nullopt;
  return Le32(Bytes(s), fatByte % kSectorBytes);
}

std::optional<std::vector<std::uint8_t>> ReadExfatBitmap(const std::string& device,
                                                         std::uint64_t start, std::uint64_t end,
                                                         const ExfatBoot& b) {
  const std::uint64_t heap = std::uint64_t{b.clusterHeapOffset} << b.bytesPerSectorShift;
  auto clusterOffset = [&](std::uint32_t c) { return heap + std::uint64_t{c - 2} * b.ClusterBytes(); };
  // The root directory's first clusters, through its chain.
  const std::uint64_t clusters =
      std::max<std::uint64_t>(1, kBitmapSearchBytes / b.ClusterBytes());
  std::vector<std::uint32_t> root{b.rootCluster};
  while (root.size() < clusters) {
    auto next = ReadExfatFatEntry(device, start, b, root.back());
    if (!next || !IsClusterOf(b, *next) ||
        std::find(root.begin(), root.end(), *next) != root.end())
      break;
    root.push_back(*next);
  }
  const std::uint32_t active = b.ActiveFat();
  for (std::uint32_t c : root) {
    std::vector<std::uint8_t> dir;
    const std::uint64_t bytes = std::min<std::uint64_t>(b.ClusterBytes(), kBitmapSearchBytes);
    if (!ReadBytes(device, start, end, clusterOffset(c), bytes, dir)) return std::nullopt;
    for (std::size_t at = 0; at + 32 <= dir.size(); at += 32) {
      const Bytes e(dir.data() + at, 32);
      if (e[0] == kEndOfDirectory) return std::nullopt;
      if (e[0] != kBitmapEntry || (e[1] & 1) != active) continue;
      const std::uint32_t first = Le32(e, 20);
      const std::uint64_t length = Le64(e, 24);
      const std::uint64_t needed = (std::uint64_t{b.clusterCount} + 7) / 8;
      if (length < needed) return std::nullopt;
      auto chain = Chain(device, start, b, first, needed);
      if (!chain) return std::nullopt;
      std::vector<std::uint8_t> out;
      out.reserve(static_cast<std::size_t>(needed));
      for (std::size_t i = 0; i < chain->size(); ++i) {
        const std::uint64_t left = needed - out.size();
        if (!ReadBytes(device, start, end, clusterOffset((*chain)[i]),
                       std::min<std::uint64_t>(left, b.ClusterBytes()), out))
          return std::nullopt;
      }
      return out;
    }
  }
  return std::nullopt;
}

}  // namespace brevant::disk

#pragma once
// The on-disk structures the disk layer reads: table sectors (MBR/EBR), their entries, and
// the few boot-sector facts the walk needs. Every reader checks its offsets against the span.
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace brevant::disk {

inline constexpr std::size_t kSectorBytes = 512;
using Sector = std::array<unsigned char, kSectorBytes>;
using Bytes = std::span<const unsigned char>;

// Little-endian fields; 0 when the field does not fit in the span.
inline std::uint64_t LeField(Bytes b, std::size_t at, std::size_t width) {
  if (at > b.size() || width > b.size() - at) return 0;
  std::uint64_t v = 0;
  for (std::size_t i = width; i-- > 0;) v = (v << 8) | b[at + i];
  return v;
}
inline std::uint8_t Le8(Bytes b, std::size_t at) {
  return static_cast<std::uint8_t>(LeField(b, at, 1));
}
inline std::uint16_t Le16(Bytes b, std::size_t at) {
  return static_cast<std::uint16_t>(LeField(b, at, 2));
}
inline std::uint32_t Le32(Bytes b, std::size_t at) {
  return static_cast<std::uint32_t>(LeField(b, at, 4));
}
inline std::uint64_t Le64(Bytes b, std::size_t at) { return LeField(b, at, 8); }

inline bool HasText(Bytes b, std::size_t at, std::string_view text) {
  return at <= b.size() && text.size() <= b.size() - at &&
         std::memcmp(b.data() + at, text.data(), text.size()) == 0;
}

// Reads one sector into `out`. The buffer is cleared first, so a sector that cannot be read
// never shows what an earlier read left there.
bool ReadSector(const std::string& devicePath, std::uint64_t lba, Sector& out);

// One 16-byte entry of a partition table sector.
struct TableEntry {
  std::uint8_t type = 0;
  std::uint32_t firstSector = 0;
  std::uint32_t sectorCount = 0;
};
inline constexpr std::size_t kTableOffset = 446;
inline TableEntry ParseTableEntry(Bytes sector, int i) {
  std::size_t at = kTableOffset + 16 * static_cast<std::size_t>(i);
  return {Le8(sector, at + 4), Le32(sector, at + 8), Le32(sector, at + 12)};
}

// A table sector counts as one when either signature byte is in place.
inline bool HasTableSignature(Bytes s) { return Le8(s, 510) == 0x55 || Le8(s, 511) == 0xAA; }
// A boot sector needs both.
inline bool HasBootSignature(Bytes s) { return Le8(s, 510) == 0x55 && Le8(s, 511) == 0xAA; }

// The data clusters of the FAT volume whose BIOS parameter block `s` holds, counted as
// Microsoft's FAT documentation (fatgen103) counts them to tell FAT12 from FAT16 (the text at
// 54 is only a label); 0 when the block gives no such count.
inline std::uint64_t FatClusterCount(Bytes s) {
  const std::uint64_t bps = Le16(s, 11), spc = Le8(s, 13);
  if (bps == 0 || spc == 0) return 0;
  const std::uint64_t rootSectors = (std::uint64_t{Le16(s, 17)} * 32 + bps - 1) / bps;
  const std::uint64_t fatSize = Le16(s, 22) != 0 ? Le16(s, 22) : Le32(s, 36);
  const std::uint64_t total = Le16(s, 19) != 0 ? Le16(s, 19) : Le32(s, 32);
  const std::uint64_t meta = Le16(s, 14) + Le8(s, 16) * fatSize + rootSectors;
  if (fatSize == 0 || meta >= total) return 0;
  return (total - meta) / spc;
}

// Fewer clusters than this make a FAT12 volume, whatever its label says.
inline constexpr std::uint64_t kFat12MaxClusters = 4084;

// The file system a boot sector names: "EXFAT   " at 3, "FAT32" at 82, "FAT12"/"FAT16" (or a
// bare "FAT") at 54, "NTFS" at 3, in that order; empty when it names none of them. At 54 the
// cluster count decides between FAT12 and FAT16 where the block gives one; the label otherwise.
inline std::string_view BootSectorFsName(Bytes s) {
  if (HasText(s, 3, "EXFAT   ")) return "exFAT";
  if (HasText(s, 82, "FAT32")) return "FAT32";
  if (HasText(s, 54, "FAT12") || HasText(s, 54, "FAT16") || HasText(s, 54, "FAT     ")) {
    const std::uint64_t clusters = FatClusterCount(s);
    if (clusters != 0) return clusters <= kFat12MaxClusters ? "FAT12" : "FAT16";
    if (HasText(s, 54, "FAT16")) return "FAT16";
    if (HasText(s, 54, "FAT12")) return "FAT12";
  }
  if (HasText(s, 3, "NTFS")) return "NTFS";
  return {};
}

inline bool IsClusterSize(std::uint64_t spc) {
  return spc >= 1 && spc <= 128 && (spc & (spc - 1)) == 0;
}

// Logical sector sizes a disk or a volume may state.
inline bool IsSectorSize(std::uint64_t bytes) {
  return bytes == 512 || bytes == 1024 || bytes == 2048 || bytes == 4096;
}

// The largest NTFS cluster Windows makes.
inline constexpr std::uint64_t kMaxNtfsClusterBytes = 2 << 20;

// Sectors (of the volume's own size) per cluster of the NTFS boot sector `s`; 0 when it states
// none. Up to 128 the byte at 13 is the count; larger clusters (Windows formats up to 2 MiB)
// store the exponent negated, so 0xF4 is 2^12 sectors.
inline std::uint64_t NtfsSectorsPerCluster(Bytes s) {
  const std::uint64_t bytes = Le16(s, 11);
  const std::uint8_t field = Le8(s, 13);
  if (!IsSectorSize(bytes)) return 0;
  if (field <= 0x80) return IsClusterSize(field) ? field : 0;
  const unsigned shift = 256u - field;
  // Counts up to 128 have the plain form; nothing beyond 2 MiB is a cluster Windows reads.
  if (shift < 8 || shift > 21 || (bytes << shift) > kMaxNtfsClusterBytes) return 0;
  return std::uint64_t{1} << shift;
}

// A BIOS parameter block a volume could really carry: a sector size from IsSectorSize and a
// power of two up to 128 sectors per cluster, or on NTFS the larger clusters of
// NtfsSectorsPerCluster.
inline bool PlausibleBpb(Bytes s) {
  // exFAT keeps no BIOS parameter block: its sizes are shifts at 108 and 109 (clusters up to
  // 32 MiB).
  if (HasText(s, 3, "EXFAT   "))
    return Le8(s, 108) >= 9 && Le8(s, 108) <= 12 && Le8(s, 108) + Le8(s, 109) <= 25;
  if (!IsSectorSize(Le16(s, 11))) return false;
  return IsClusterSize(Le8(s, 13)) || (HasText(s, 3, "NTFS") && NtfsSectorsPerCluster(s) != 0);
}

}  // namespace brevant::disk

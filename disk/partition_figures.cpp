// A partition's size and free space, from the file system's own allocation map: the FATs (with
// the FSInfo count as a hint) or the NTFS $Bitmap. Everything read is bounded by the partition.
#include <algorithm>
#include <bit>
#include <optional>
#include <vector>

#include "core/read_sectors.h"
#include "disk/disks.h"
#include "disk/exfat_boot.h"
#include "disk/on_disk.h"

namespace brevant {
namespace {

using disk::Bytes;
using disk::kSectorBytes;
using disk::Sector;

constexpr std::uint32_t kChunkSectors = 2048;  // 1 MiB per read

struct Span {
  const std::string& device;
  std::uint64_t start;
  std::uint64_t end;
};

// Calls `use` with `count` sectors from `first` (relative to the partition), at most 1 MiB at a
// time, so no count read from the disk decides how much memory is taken. False when the range
// leaves the partition, a sector cannot be read, or `use` says stop.
template <typename Use>
bool ForEachChunk(const Span& p, std::uint64_t first, std::uint64_t count, Use use) {
  const std::uint64_t size = p.end - p.start;
  if (first >= size || count > size - first) return false;
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(count, kChunkSectors)) * kSectorBytes);
  for (std::uint64_t done = 0; done < count;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, count - done));
    if (ReadSectors(p.device, buffer.data(), p.start + first + done, n) == 0) return false;
    if (!use(Bytes(buffer.data(), std::size_t{n} * kSectorBytes))) return false;
    done += n;
  }
  return true;
}

// A few sectors in one piece (boot sectors, FSInfo, one FILE record).
std::optional<std::vector<std::uint8_t>> ReadInside(const Span& p, std::uint64_t first,
                                                    std::uint64_t count) {
  if (count > 128) return std::nullopt;
  std::vector<std::uint8_t> out;
  if (!ForEachChunk(p, first, count, [&](Bytes b) {
        out.insert(out.end(), b.begin(), b.end());
        return true;
      }))
    return std::nullopt;
  return out;
}

// ---- FAT -------------------------------------------------------------------------------

struct FatLayout {
  int bits = 16;  // FAT entry width: 12, 16 or 32
  bool fat32 = false;
  std::uint64_t spc = 0;
  std::uint64_t reserved = 0;
  std::uint64_t fats = 0;
  std::uint64_t fatSize = 0;
  std::uint64_t clusters = 0;  // data clusters, numbered 2 .. clusters + 1
  std::uint8_t media = 0;
  std::uint64_t fsInfoSector = 0;
};

// The layout in 512-byte units, whatever the bytes per sector the boot sector states; absent
// when `unit` is given and differs from it (a backup is looked for where that size puts it).
std::optional<FatLayout> ParseFatBoot(Bytes b, int bits, std::uint64_t partSectors,
                                      std::uint64_t unit = 0) {
  const bool fat32 = bits == 32;
  if (!disk::HasBootSignature(b) || !disk::PlausibleBpb(b)) return std::nullopt;
  const std::uint64_t bps = disk::Le16(b, 11);
  if (unit != 0 && unit != bps / kSectorBytes) return std::nullopt;
  unit = bps / kSectorBytes;
  FatLayout l;
  l.bits = bits;
  l.fat32 = fat32;
  l.spc = disk::Le8(b, 13) * unit;
  l.reserved = disk::Le16(b, 14) * unit;
  l.fats = disk::Le8(b, 16);
  const std::uint64_t rootEntries = disk::Le16(b, 17);
  std::uint64_t total = disk::Le16(b, 19);
  if (total == 0) total = disk::Le32(b, 32);
  total *= unit;
  l.media = disk::Le8(b, 21);
  l.fatSize = (fat32 ? disk::Le32(b, 36) : disk::Le16(b, 22)) * unit;
  if (fat32 && l.fatSize == 0) return std::nullopt;
  l.fsInfoSector = fat32 ? disk::Le16(b, 48) * unit : 0;
  if (l.reserved == 0 || l.fats == 0 || l.fats > 2 || l.fatSize == 0) return std::nullopt;
  total = std::min(total, partSectors);
  const std::uint64_t rootSectors = (rootEntries * 32 + bps - 1) / bps * unit;
  const std::uint64_t dataStart = l.reserved + l.fats * l.fatSize + rootSectors;
  if (dataStart >= total) return std::nullopt;
  l.clusters = (total - dataStart) / l.spc;
  // The FAT must have an entry for every cluster it claims to describe.
  const std::uint64_t fatBytes = l.fatSize * kSectorBytes;
  const std::uint64_t entries = bits == 12 ? fatBytes * 2 / 3 : fatBytes / (bits / 8);
  if (entries < 2) return std::nullopt;
  l.clusters = std::min(l.clusters, entries - 2);
  // Twelve bits number no more clusters than this.
  if (bits == 12) l.clusters = std::min<std::uint64_t>(l.clusters, 0xFF6 - 1);
  if (l.clusters == 0) return std::nullopt;
  return l;
}

// Free entries of the FAT copy at `first`; nullopt when it cannot be read or does not begin
// with the media byte.
std::optional<std::uint64_t> CountFreeEntries(const Span& p, const FatLayout& l,
                                              std::uint64_t first) {
  const std::uint64_t end = l.clusters + 2;  // entries 0 and 1 are no clusters
  if (l.bits == 12) {
    // Two entries in three bytes, some straddling sectors: the whole FAT12 (a few KiB, as
    // its clusters are bounded) is read in one piece.
    const std::uint64_t bytes = (end * 3 + 1) / 2;
    auto fat = ReadInside(p, first, (bytes + kSectorBytes - 1) / kSectorBytes);
    if (!fat || (*fat)[0] != l.media) return std::nullopt;
    std::uint64_t free = 0;
    for (std::uint64_t entry = 2; entry < end; ++entry) {
      const std::uint16_t pair = disk::Le16(Bytes(*fat), entry + entry / 2);
      free += (entry % 2 == 0 ? pair & 0x0FFF : pair >> 4) == 0;
    }
    return free;
  }
  const std::uint64_t width = l.bits / 8;
  std::uint64_t entry = 0, free = 0;
  // Chunks are whole sectors, so no entry is split between two of them.
  const bool read =
      ForEachChunk(p, first, (end * width + kSectorBytes - 1) / kSectorBytes, [&](Bytes b) {
        if (entry == 0 && b[0] != l.media) return false;
        for (std::size_t at = 0; at + width <= b.size() && entry < end; at += width, ++entry) {
          const std::uint32_t v = l.fat32 ? disk::Le32(b, at) & 0x0FFFFFFF : disk::Le16(b, at);
          free += entry >= 2 && v == 0;
        }
        return true;
      });
  if (!read) return std::nullopt;
  return free;
}

// The FSInfo free count, when the sector carries its three signatures and a possible count.
std::optional<std::uint64_t> FsInfoFree(const Span& p, const FatLayout& l) {
  if (!l.fat32 || l.fsInfoSector == 0 || l.fsInfoSector >= l.reserved) return std::nullopt;
  auto s = ReadInside(p, l.fsInfoSector, 1);
  if (!s) return std::nullopt;
  Bytes b(*s);
  if (disk::Le32(b, 0) != 0x41615252 || disk::Le32(b, 484) != 0x61417272 ||
      disk::Le32(b, 508) != 0xAA550000)
    return std::nullopt;
  const std::uint64_t count = disk::Le32(b, 488);
  if (count == 0xFFFFFFFF || count > l.clusters) return std::nullopt;
  return count;
}

std::optional<std::uint64_t> FatFreeBytes(const Span& p, int bits) {
  const bool fat32 = bits == 32;
  const std::uint64_t partSectors = p.end - p.start;
  std::optional<FatLayout> layout;
  // The FAT32 backup lies 6 of the volume's sectors in: 512 or 4096 bytes each.
  for (std::uint64_t unit : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{8}}) {
    if (unit != 0 && !fat32) break;
    if (auto boot = ReadInside(p, 6 * unit, 1))
      layout = ParseFatBoot(*boot, bits, partSectors, unit);
    if (layout) break;
  }
  if (!layout) return std::nullopt;
  const FatLayout& l = *layout;
  auto first = CountFreeEntries(p, l, l.reserved);
  auto second = l.fats > 1 ? CountFreeEntries(p, l, l.reserved + l.fatSize) : std::nullopt;
  auto hint = FsInfoFree(p, l);
  std::optional<std::uint64_t> freeClusters;
  if (first && second && *first != *second) {
    // The copies disagree: the one the FSInfo hint confirms, else FAT #1, the copy in use.
    freeClusters = hint && *hint == *second ? second : first;
  } else if (first || second) {
    freeClusters = first ? first : second;
  } else {
    freeClusters = hint;  // no FAT copy is readable: the hint is all there is
  }
  if (!freeClusters) return std::nullopt;
  return *freeClusters * l.spc * kSectorBytes;
}

// ---- NTFS ------------------------------------------------------------------------------

// Undoes the update sequence of a FILE record in place; false when it does not check out.
bool ApplyFixups(std::vector<std::uint8_t>& r) {
  Bytes b(r);
  if (!disk::HasText(b, 0, "FILE")) return false;
  const std::size_t at = disk::Le16(b, 4);
  const std::size_t count = disk::Le16(b, 6);
  if (count < 2 || (count - 1) * kSectorBytes > r.size() || at + count * 2 > r.size()) return false;
  const std::uint16_t usn = disk::Le16(b, at);
  for (std::size_t i = 1; i < count; ++i) {
    const std::size_t tail = i * kSectorBytes - 2;
    if (disk::Le16(b, tail) != usn) return false;
    r[tail] = r[at + 2 * i];
    r[tail + 1] = r[at + 2 * i + 1];
  }
  return true;
}

struct Run {
  std::uint64_t lcn;  // 0 with sparse
  std::uint64_t length;
  bool sparse;
};

struct DataAttribute {
  bool resident = false;
  std::vector<std::uint8_t> value;  // resident contents
  std::vector<Run> runs;            // non-resident runs, in order
  std::uint64_t size = 0;
};

std::optional<std::vector<Run>> DecodeRuns(Bytes b, std::size_t at, std::size_t end) {
  std::vector<Run> runs;
  std::int64_t lcn = 0;
  while (at < end && runs.size() < 65536) {
    const std::uint8_t header = b[at];
    if (header == 0) return runs;
    const std::size_t lengthBytes = header & 0x0F, offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 ||
        at + 1 + lengthBytes + offsetBytes > end)
      return std::nullopt;
    const std::uint64_t length = disk::LeField(b, at + 1, lengthBytes);
    std::int64_t delta = 0;
    if (offsetBytes > 0) {
      std::uint64_t raw = disk::LeField(b, at + 1 + lengthBytes, offsetBytes);
      if (offsetBytes < 8 && (raw >> (offsetBytes * 8 - 1)) & 1)
        raw |= ~std::uint64_t{0} << (offsetBytes * 8);
      delta = static_cast<std::int64_t>(raw);
    }
    if (length == 0) return std::nullopt;
    lcn += delta;
    if (offsetBytes > 0 && lcn < 0) return std::nullopt;
    runs.push_back(
        {offsetBytes == 0 ? 0 : static_cast<std::uint64_t>(lcn), length, offsetBytes == 0});
    at += 1 + lengthBytes + offsetBytes;
  }
  return std::nullopt;
}

// The unnamed $DATA attribute of a fixed-up FILE record.
std::optional<DataAttribute> FindData(const std::vector<std::uint8_t>& r) {
  Bytes b(r);
  std::size_t at = disk::Le16(b, 20);
  for (int guard = 0; guard < 64 && at + 16 <= r.size(); ++guard) {
    const std::uint32_t type = disk::Le32(b, at);
    const std::uint32_t length = disk::Le32(b, at + 4);
    if (type == 0xFFFFFFFF || length < 16 || length > r.size() - at) return std::nullopt;
    if (type == 0x80 && disk::Le8(b, at + 9) == 0) {
      DataAttribute d;
      const std::size_t end = at + length;
      if (disk::Le8(b, at + 8) == 0) {
        const std::size_t size = disk::Le32(b, at + 16), offset = disk::Le16(b, at + 20);
        if (offset > length || size > length - offset) return std::nullopt;
        d.resident = true;
        d.value.assign(r.begin() + static_cast<std::ptrdiff_t>(at + offset),
                       r.begin() + static_cast<std::ptrdiff_t>(at + offset + size));
        d.size = size;
        return d;
      }
      if (length < 64 || disk::Le64(b, at + 16) != 0) return std::nullopt;  // first piece only
      auto runs = DecodeRuns(b, at + disk::Le16(b, at + 32), end);
      if (!runs) return std::nullopt;
      d.runs = std::move(*runs);
      d.size = disk::Le64(b, at + 48);
      return d;
    }
    at += length;
  }
  return std::nullopt;
}

// Calls `use` with the first `bytes` of a non-resident attribute along its runs, in pieces
// (sparse runs read as zeros). False when the runs end too soon or a read fails.
template <typename Use>
bool ForEachRunChunk(const Span& p, const std::vector<Run>& runs, std::uint64_t spc,
                     std::uint64_t bytes, Use use) {
  std::uint64_t left = (bytes + kSectorBytes - 1) / kSectorBytes;  // sectors still wanted
  const std::uint64_t partSectors = p.end - p.start;
  for (const Run& run : runs) {
    if (left == 0) break;
    if (run.length > partSectors / spc + 1) return false;
    const std::uint64_t sectors = std::min(run.length * spc, left);
    if (run.sparse) {
      const std::vector<std::uint8_t> zeros(kSectorBytes, 0);
      for (std::uint64_t i = 0; i < sectors; ++i)
        if (!use(Bytes(zeros))) return false;
    } else {
      if (run.lcn > partSectors / spc) return false;
      if (!ForEachChunk(p, run.lcn * spc, sectors, use)) return false;
    }
    left -= sectors;
  }
  return left == 0;
}

std::optional<std::uint64_t> NtfsFreeBytes(const Span& p) {
  const std::uint64_t partSectors = p.end - p.start;
  std::optional<std::vector<std::uint8_t>> boot;
  // The backup is the volume's last sector: 512 or 4096 bytes.
  for (std::uint64_t at :
       {std::uint64_t{0}, partSectors - 1, partSectors - std::min<std::uint64_t>(8, partSectors)}) {
    boot = ReadInside(p, at, 1);
    if (boot && disk::HasText(*boot, 3, "NTFS") && disk::PlausibleBpb(*boot)) break;
    boot.reset();
  }
  if (!boot) return std::nullopt;
  Bytes b(*boot);
  const std::uint64_t unit = disk::Le16(b, 11) / kSectorBytes;
  const std::uint64_t spc = disk::NtfsSectorsPerCluster(b) * unit;
  const std::uint64_t volumeSectors = disk::Le64(b, 40);
  const std::uint64_t totalClusters =
      (volumeSectors > partSectors / unit ? partSectors : volumeSectors * unit) / spc;
  const std::uint64_t mftLcn = disk::Le64(b, 48);
  const std::uint32_t perRecord = disk::Le8(b, 64);
  std::uint64_t recordBytes = 0;
  if (perRecord >= 0x80) {
    const unsigned shift = 256 - perRecord;
    if (shift >= 9 && shift <= 16) recordBytes = std::uint64_t{1} << shift;
  } else {
    recordBytes = perRecord * spc * kSectorBytes;
  }
  if (recordBytes < 1024 || recordBytes > 65536 || totalClusters == 0 || mftLcn >= totalClusters)
    return std::nullopt;
  const std::uint64_t recordSectors = recordBytes / kSectorBytes;

  // Record 0 ($MFT) maps the MFT, so record 6 ($Bitmap) is found wherever the MFT lies.
  auto mft = ReadInside(p, mftLcn * spc, recordSectors);
  if (!mft || !ApplyFixups(*mft)) return std::nullopt;
  auto mftData = FindData(*mft);
  if (!mftData || mftData->resident) return std::nullopt;
  std::vector<std::uint8_t> head;  // records 0 to 6
  if (!ForEachRunChunk(p, mftData->runs, spc, 7 * recordBytes, [&](Bytes b) {
        head.insert(head.end(), b.begin(), b.end());
        return true;
      }))
    return std::nullopt;
  std::vector<std::uint8_t> record(head.begin() + static_cast<std::ptrdiff_t>(6 * recordBytes),
                                   head.begin() + static_cast<std::ptrdiff_t>(7 * recordBytes));
  if (!ApplyFixups(record)) return std::nullopt;
  auto bitmap = FindData(record);
  const std::uint64_t needed = (totalClusters + 7) / 8;
  if (!bitmap || bitmap->size < needed) return std::nullopt;
  // One bit per cluster; bits past the last cluster are not counted.
  std::uint64_t cluster = 0, used = 0;
  auto count = [&](Bytes b) {
    for (std::size_t i = 0; i < b.size() && cluster < totalClusters; ++i, cluster += 8) {
      const unsigned bits =
          static_cast<unsigned>(std::min<std::uint64_t>(8, totalClusters - cluster));
      used += std::popcount(static_cast<unsigned>(b[i]) & ((1u << bits) - 1));
    }
    return true;
  };
  if (bitmap->resident)
    count(Bytes(bitmap->value));
  else if (!ForEachRunChunk(p, bitmap->runs, spc, needed, count))
    return std::nullopt;
  if (cluster < totalClusters) return std::nullopt;
  return (totalClusters - used) * spc * kSectorBytes;
}

// exFAT: the clusters its allocation bitmap leaves clear.
std::optional<std::uint64_t> ExfatFreeBytes(const Span& p) {
  auto boot = disk::ReadExfatBoot(p.device, p.start, p.end);
  if (!boot) return std::nullopt;
  auto bitmap = disk::ReadExfatBitmap(p.device, p.start, p.end, *boot);
  if (!bitmap) return std::nullopt;
  std::uint64_t used = 0;
  for (std::uint64_t c = 0; c < boot->clusterCount; ++c) used += ((*bitmap)[c / 8] >> (c % 8)) & 1;
  return (boot->clusterCount - used) * boot->ClusterBytes();
}

}  // namespace

PartitionFigures ReadPartitionFigures(const std::string& device, std::uint64_t start,
                                      std::uint64_t end, std::string_view fsName) {
  PartitionFigures f;
  if (end <= start) return f;
  f.sizeBytes = (end - start) * kSectorBytes;
  const Span p{device, start, end};
  if (fsName == "FAT12")
    f.freeBytes = FatFreeBytes(p, 12);
  else if (fsName == "FAT16")
    f.freeBytes = FatFreeBytes(p, 16);
  else if (fsName == "FAT32")
    f.freeBytes = FatFreeBytes(p, 32);
  else if (fsName == "NTFS")
    f.freeBytes = NtfsFreeBytes(p);
  else if (fsName == "exFAT")
    f.freeBytes = ExfatFreeBytes(p);
  return f;
}

}  // namespace brevant

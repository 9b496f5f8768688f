// FindFatGeometry: the boot sector's parameters when they hold together, otherwise the layout
// derived from the volume's content (FAT signature and pairs of directory starts).
#include <algorithm>
#include <map>
#include <vector>

#include "core/read_sectors.h"
#include "fat/boot_sector.h"
#include "fat/directory_entry.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"

namespace brevant {
namespace {

using fat::FatBootSector;
using fat::FatKind;
using fat::kSectorBytes;

constexpr std::uint32_t kDefaultBatchSectors = 8192;  // 4 MiB
constexpr std::uint64_t kFatWindowSectors = 2048;     // where FAT #1 may begin
constexpr std::size_t kMaxDirectoryStarts = 100000;

bool IsPowerOfTwoUpTo(std::uint64_t v, std::uint64_t max) {
  return v >= 1 && v <= max && (v & (v - 1)) == 0;
}

std::vector<std::uint8_t> ReadOne(const std::string& device, std::uint64_t sector) {
  std::vector<std::uint8_t> buf(kSectorBytes, 0);
  fat::ReadZeroFilled(device, buf.data(), sector, 1);
  return buf;
}

// The FAT fields of partParams that a valid boot sector gives, in 512-byte sectors; absent
// when its values do not describe a FAT volume of this kind inside the partition.
std::optional<PartitionParameters> LayoutFromBootSector(const std::string& device,
                                                        const FatBootSector& bs, FatKind kind,
                                                        std::uint64_t start, std::uint64_t end) {
  if (!bs.signature) return std::nullopt;
  const std::uint64_t bps = bs.bytesPerSector;
  if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return std::nullopt;
  const std::uint64_t f = bps / kSectorBytes;
  if (!IsPowerOfTwoUpTo(bs.sectorsPerCluster, 128)) return std::nullopt;
  if (bs.reservedSectors == 0 || bs.numberOfFats < 1 || bs.numberOfFats > 2) return std::nullopt;
  if (bs.totalSectors == 0 || bs.FatSize() == 0) return std::nullopt;
  if (kind == FatKind::Fat32 && (!bs.Fat32Layout() || bs.rootEntries != 0 || bs.rootCluster < 2))
    return std::nullopt;
  if (kind != FatKind::Fat32 && (bs.Fat32Layout() || bs.rootEntries == 0)) return std::nullopt;
  const std::uint64_t rootSectors = (static_cast<std::uint64_t>(bs.rootEntries) * 32 + bps - 1) / bps;
  const std::uint64_t dataRel =
      bs.reservedSectors + static_cast<std::uint64_t>(bs.numberOfFats) * bs.FatSize() + rootSectors;
  // The data area must begin inside both the volume and the partition. A volume that claims
  // more sectors than the partition holds (a truncated copy) keeps its layout; everything
  // later is bounded by the partition.
  if (dataRel >= bs.totalSectors || dataRel * f >= end - start) return std::nullopt;
  const std::uint64_t clusters = (bs.totalSectors - dataRel) / bs.sectorsPerCluster;
  if (clusters == 0) return std::nullopt;
  if (kind == FatKind::Fat12 && clusters > 4084) return std::nullopt;
  if (kind == FatKind::Fat16 && clusters > 65524) return std::nullopt;
  if (kind == FatKind::Fat32 && clusters > 0x0FFFFFF5) return std::nullopt;
  // The FAT must hold an entry for every cluster (FAT12: two entries in three bytes).
  const std::uint64_t fatBytes = static_cast<std::uint64_t>(bs.FatSize()) * bps;
  const std::uint64_t fatEntries =
      kind == FatKind::Fat12 ? fatBytes * 2 / 3 : fatBytes / (kind == FatKind::Fat32 ? 4 : 2);
  if (fatEntries < clusters + 2) return std::nullopt;
  if (kind == FatKind::Fat32 && bs.rootCluster > clusters + 1) return std::nullopt;

  const std::uint64_t fat1 = start + bs.reservedSectors * f;
  const std::uint64_t fat2 = fat1 + static_cast<std::uint64_t>(bs.FatSize()) * f;
  auto mediaAt = [&](std::uint64_t sector) {
    auto s = ReadOne(device, sector);
    return fat::IsFatStartSector(s, kind == FatKind::Fat32) && s[0] == bs.media;
  };
  if (!mediaAt(fat1) && !(bs.numberOfFats == 2 && mediaAt(fat2))) return std::nullopt;

  PartitionParameters p;
  p.sectorsPerCluster = bs.sectorsPerCluster * f;
  p.reservedSectors = bs.reservedSectors * f;
  p.fatSizeSectors = static_cast<std::uint64_t>(bs.FatSize()) * f;
  p.fat1Start = fat1;
  p.fat2Start = bs.numberOfFats == 2 ? fat2 : fat1;
  const std::uint64_t dataStart = start + dataRel * f;
  p.clusterBase = dataStart - 2 * p.sectorsPerCluster;  // wraps below 0 near sector 0; see FatVolume
  if (kind == FatKind::Fat32) {
    p.rootDirStart = bs.rootCluster;
    p.rootDirSectors = 0;
  } else {
    p.rootDirStart = start + (bs.reservedSectors + static_cast<std::uint64_t>(bs.numberOfFats) * bs.FatSize()) * f;
    p.rootDirSectors = rootSectors * f;
  }
  return p;
}

void StoreFatFields(PartitionParameters& to, const PartitionParameters& from) {
  to.fatSizeSectors = from.fatSizeSectors;
  to.sectorsPerCluster = from.sectorsPerCluster;
  to.rootDirSectors = from.rootDirSectors;
  to.rootDirStart = from.rootDirStart;
  to.reservedSectors = from.reservedSectors;
  to.clusterBase = from.clusterBase;
  to.fat1Start = from.fat1Start;
  to.fat2Start = from.fat2Start;
}

// What a damaged boot sector may still tell, each value only when it is plausible.
struct BootHints {
  std::optional<std::uint64_t> reserved, numberOfFats, rootEntries, fatSize, rootCluster;
};

BootHints HintsFrom(const std::vector<std::optional<FatBootSector>>& copies, FatKind kind) {
  BootHints h;
  for (const auto& bs : copies) {
    if (!bs || bs->bytesPerSector != 512) continue;
    if (!h.reserved && bs->reservedSectors >= 1) h.reserved = bs->reservedSectors;
    if (!h.numberOfFats && (bs->numberOfFats == 1 || bs->numberOfFats == 2))
      h.numberOfFats = bs->numberOfFats;
    if (kind != FatKind::Fat32 && !h.rootEntries && bs->rootEntries >= 16 && bs->rootEntries % 16 == 0)
      h.rootEntries = bs->rootEntries;
    if (!h.fatSize && bs->FatSize() > 0) h.fatSize = bs->FatSize();
    if (kind == FatKind::Fat32 && !h.rootCluster && bs->rootCluster >= 2 && bs->rootCluster < 0x0FFFFFF7)
      h.rootCluster = bs->rootCluster;
  }
  return h;
}

struct Vote {
  std::uint64_t count = 0;
  std::uint64_t order = 0;
};

// The content search, for a volume whose boot sectors are both unusable.
int SearchGeometry(RecoverySession& session, RecoveryView& view, const FatReadOptions& options,
                   FatKind kind, const BootHints& hints) {
  const std::string& device = session.SelectedDevice();
  const std::uint64_t start = session.selectedPartitionStart;
  const std::uint64_t end = session.selectedPartitionEnd;
  const bool fat32 = kind == FatKind::Fat32;
  PartitionParameters& out = session.partParams;
  ProgressReporter progress(view);
  progress.Report(0, end - start);

  // FAT #1: where the boot sector still says, else the first sector after the boot sector
  // that starts like a FAT (the first, not the last: the last may be FAT #2).
  std::uint64_t reserved = fat32 ? 32 : 1;
  bool found = false;
  if (hints.reserved && start + *hints.reserved < end) {
    auto s = ReadOne(device, start + *hints.reserved);
    if (fat::IsFatStartSector(s, fat32)) {
      reserved = *hints.reserved;
      found = true;
    }
  }
  if (!found) {
    const std::uint64_t windowEnd = std::min(end, start + kFatWindowSectors);
    if (windowEnd > start + 1) {
      const auto count = static_cast<std::uint32_t>(windowEnd - start - 1);
      std::vector<std::uint8_t> window(static_cast<std::size_t>(count) * kSectorBytes);
      fat::ReadZeroFilled(device, window.data(), start + 1, count);
      for (std::uint32_t i = 0; i < count; ++i) {
        if (fat::IsFatStartSector({window.data() + static_cast<std::size_t>(i) * kSectorBytes, kSectorBytes}, fat32)) {
          reserved = i + 1;
          break;
        }
      }
    }
  }
  const std::uint64_t rootSectors = fat32 ? 0 : (hints.rootEntries ? *hints.rootEntries / 16 : 32);
  out.reservedSectors = reserved;
  out.rootDirSectors = rootSectors;
  if (fat32) out.rootDirStart = hints.rootCluster.value_or(2);

  // Pairs of directory starts: the sector distance over the cluster distance is the cluster
  // size. Every pair votes, so one stale copy cannot decide the layout.
  std::map<std::pair<std::uint64_t, std::uint64_t>, Vote> votes;  // (q, base)
  std::uint64_t voteOrder = 0;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> reference;  // (s0, k0)
  std::vector<std::pair<std::uint64_t, std::uint64_t>> recent;
  std::size_t starts = 0;
  auto pairUp = [&](std::pair<std::uint64_t, std::uint64_t> a, std::pair<std::uint64_t, std::uint64_t> b) {
    auto [s0, k0] = a;
    auto [s, k] = b;
    if (k <= k0 || s <= s0 || k >= s || k0 >= s0) return;
    if ((s - s0) % (k - k0) != 0) return;
    std::uint64_t q = (s - s0) / (k - k0);
    if (!IsPowerOfTwoUpTo(q, 128) || q * k0 > s0) return;
    std::uint64_t base = s0 - q * k0;
    if (base + 2 * q <= start + reserved + rootSectors) return;
    Vote& v = votes[{q, base}];
    if (v.count++ == 0) v.order = voteOrder++;
  };

  const std::uint32_t batch = options.batchSectors ? options.batchSectors : kDefaultBatchSectors;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(batch) * kSectorBytes);
  bool settled = false;
  // Past the end of a truncated image there is nothing to read: a partition table that
  // claims terabytes of a small image must not be searched sector by sector.
  const std::uint64_t deviceSectors = DeviceSectorCount(device);
  const std::uint64_t searchEnd = deviceSectors > 0 ? std::min(end, deviceSectors) : end;
  for (std::uint64_t s = start; s < searchEnd && !settled;) {
    if (session.stopRequested.load() == 1) return 0;  // the caller's check honours it next
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(batch, searchEnd - s));
    fat::ReadZeroFilled(device, buffer.data(), s, count);
    for (std::uint32_t i = 0; i < count && starts < kMaxDirectoryStarts; ++i) {
      std::span<const std::uint8_t> sector(buffer.data() + static_cast<std::size_t>(i) * kSectorBytes, kSectorBytes);
      if (!fat::IsDirectoryStart(sector, false)) continue;
      const std::uint64_t k = fat::DotCluster(sector, kind);
      if (k < 2) continue;
      ++starts;
      const std::pair<std::uint64_t, std::uint64_t> here{s + i, k};
      if (!reference) {
        reference = here;
        continue;
      }
      pairUp(*reference, here);
      for (const auto& r : recent) pairUp(r, here);
      recent.push_back(here);
      if (recent.size() > 4) recent.erase(recent.begin());
    }
    s += count;
    progress.Report(s - start, end - start);
    // Stop early once one layout clearly wins.
    std::uint64_t best = 0, second = 0;
    for (const auto& [key, v] : votes) {
      if (v.count > best) {
        second = best;
        best = v.count;
      } else if (v.count > second) {
        second = v.count;
      }
    }
    if ((best >= 64 && best >= 4 * second) || starts >= kMaxDirectoryStarts) settled = true;
  }
  progress.Report(end - start, end - start);
  if (votes.empty()) return 0;

  auto winner = votes.begin();
  for (auto it = votes.begin(); it != votes.end(); ++it)
    if (it->second.count > winner->second.count ||
        (it->second.count == winner->second.count && it->second.order < winner->second.order))
      winner = it;
  const std::uint64_t q = winner->first.first;
  const std::uint64_t base = winner->first.second;
  const std::uint64_t dataStart = base + 2 * q;
  const std::uint64_t fat1 = start + reserved;
  if (dataStart <= fat1 + rootSectors) return 0;
  const std::uint64_t space = dataStart - fat1 - rootSectors;  // the FAT copies

  // How many FAT copies: what the boot sector still says, else whether a second copy starts
  // half-way. Without either, one: a wrong second copy would feed chains from inside the first.
  std::uint64_t fats = 1;
  if (hints.numberOfFats) {
    fats = *hints.numberOfFats;
  } else if (space % 2 == 0 && fat::IsFatStartSector(ReadOne(device, fat1 + space / 2), fat32)) {
    fats = 2;
  }
  std::uint64_t fatSize = space / fats;
  if (hints.fatSize && *hints.fatSize * fats <= space && *hints.fatSize * fats + 64 > space)
    fatSize = *hints.fatSize;

  out.sectorsPerCluster = q;
  out.clusterBase = base;
  out.fatSizeSectors = fatSize;
  out.fat1Start = fat1;
  out.fat2Start = fats == 2 ? fat1 + fatSize : fat1;
  if (!fat32) out.rootDirStart = dataStart - rootSectors;
  return 1;
}

}  // namespace

int FindFatGeometry(RecoverySession& session, RecoveryView& view) {
  return FindFatGeometry(session, view, FatReadOptions{});
}

int FindFatGeometry(RecoverySession& session, RecoveryView& view, const FatReadOptions& options) {
  auto kind = fat::KindFromName(session.scanFsName);
  if (!kind) return 0;
  const std::uint64_t start = session.selectedPartitionStart;
  const std::uint64_t end = session.selectedPartitionEnd;
  if (end <= start) return 0;
  const std::string& device = session.SelectedDevice();

  std::vector<std::optional<FatBootSector>> copies;
  copies.push_back(fat::ParseFatBootSector(ReadOne(device, start)));
  // The FAT32 backup lies 6 of the volume's sectors in: as large as the primary says, or, when
  // it says nothing usable, as the disk's.
  std::uint64_t unit = session.selectedSectorSize / kSectorBytes;
  if (const auto& primary = copies.front(); primary && primary->bytesPerSector >= kSectorBytes &&
                                            primary->bytesPerSector <= 4096 &&
                                            primary->bytesPerSector % kSectorBytes == 0)
    unit = primary->bytesPerSector / kSectorBytes;
  unit = std::max<std::uint64_t>(unit, 1);
  if (*kind == FatKind::Fat32 && start + 6 * unit < end)
    copies.push_back(fat::ParseFatBootSector(ReadOne(device, start + 6 * unit)));
  for (const auto& bs : copies) {
    if (!bs) continue;
    if (auto layout = LayoutFromBootSector(device, *bs, *kind, start, end)) {
      StoreFatFields(session.partParams, *layout);
      return 1;
    }
  }
  return SearchGeometry(session, view, options, *kind, HintsFrom(copies, *kind));
}

}  // namespace brevant

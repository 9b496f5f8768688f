#include "fat/stray_entries.h"

namespace brevant::fat {

bool MayHoldStrayEntries(std::span<const std::uint8_t> firstSector) {
  if (firstSector.size() < kSectorBytes) return false;
  if (IsDirectoryStart(firstSector, false) || IsLongNameAttribute(firstSector[11])) return false;
  return LooksLikeDirectorySector(firstSector);
}

namespace {

// A write date and time every FAT implementation could have written: a real day and month, a
// real hour, minute and second; or none at all.
bool PlausibleStamp(std::uint16_t date, std::uint16_t time) {
  if (date == 0) return time == 0;
  const unsigned day = date & 0x1F, month = (date >> 5) & 0x0F;
  const unsigned seconds2 = time & 0x1F, minutes = (time >> 5) & 0x3F, hours = time >> 11;
  return day >= 1 && month >= 1 && month <= 12 && seconds2 < 30 && minutes < 60 && hours < 24;
}

}  // namespace

bool PlausibleStrayEntry(const ShortEntry& entry, const FatVolume& volume) {
  // An empty file has little else to vouch for it, so the stamp is asked of every entry.
  if (!PlausibleStamp(entry.writeDate, entry.writeTime)) return false;
  const std::uint32_t cluster = entry.Cluster(volume.kind);
  if (entry.IsDirectory()) return entry.size == 0 && volume.IsDataCluster(cluster);
  if (entry.size == 0) return cluster == 0 || volume.IsDataCluster(cluster);
  if (!volume.IsDataCluster(cluster)) return false;
  const std::uint64_t clusters = (entry.size + volume.ClusterBytes() - 1) / volume.ClusterBytes();
  return clusters <= volume.lastCluster - 1ULL;
}

std::vector<std::uint32_t> ContinueDirectory(const FatVolume& volume, std::uint32_t last,
                                             std::size_t limit,
                                             const std::function<bool(std::uint32_t)>& claimed) {
  std::vector<std::uint32_t> out;
  std::vector<std::uint8_t> cluster(static_cast<std::size_t>(volume.ClusterBytes()));
  // The directory goes on only if the cluster before did not end it: after the end mark a
  // directory holds zeros, so its last entry tells.
  ReadZeroFilled(volume.device, cluster.data(), volume.ClusterSector(last),
                 static_cast<std::uint32_t>(volume.sectorsPerCluster));
  for (std::uint64_t next = static_cast<std::uint64_t>(last) + 1;
       out.size() < limit && volume.IsDataCluster(next) &&
       !claimed(static_cast<std::uint32_t>(next));
       ++next) {
    if (cluster[cluster.size() - kEntryBytes] == 0x00) break;
    ReadZeroFilled(volume.device, cluster.data(), volume.ClusterSector(next),
                   static_cast<std::uint32_t>(volume.sectorsPerCluster));
    std::span<const std::uint8_t> first(cluster.data(), kSectorBytes);
    if (IsDirectoryStart(first, false) || !LooksLikeDirectorySector(first)) break;
    out.push_back(static_cast<std::uint32_t>(next));
  }
  return out;
}

bool ChainGone(FatTable& fat1, FatTable& fat2, std::uint32_t first, std::uint64_t size,
               std::uint64_t clusterBytes) {
  if (clusterBytes == 0 || size <= clusterBytes) return false;
  auto one = fat1.Entry(first);
  auto two = fat2.Usable() ? fat2.Entry(first) : std::nullopt;
  if (!one && !two) return false;
  return (!one || *one == 0) && (!two || *two == 0);
}

}  // namespace brevant::fat

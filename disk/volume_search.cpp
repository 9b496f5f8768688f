// Finding lost volumes by their boot sectors. The usual search looks where partitioning tools
// put volumes (1 MiB steps, cylinder starts and the track after them) and where their backups
// lie: FAT32 keeps one six sectors in, NTFS one in the volume's last sector, which is just
// before the next aligned start. The deep search looks at every sector.
#include "disk/volume_search.h"

#include <algorithm>
#include <optional>
#include <set>

#include "core/read_sectors.h"
#include "core/sweep_progress.h"
#include "core/text.h"
#include "disk/on_disk.h"
#include "platform/sector_device.h"

namespace brevant {
namespace {

using disk::Bytes;

constexpr std::uint64_t kMiBSectors = 2048;
constexpr std::uint32_t kDefaultDeepBatch = 2048;  // 1 MiB: stays in the cache while examined
constexpr std::uint64_t kFat32BackupOffset = 6;
constexpr std::uint64_t kNearbySectors = 64 * kMiBSectors;  // the automatic search's window
constexpr int kMaxFollowedVolumes = 128;

struct Candidate {
  FoundVolume volume;
  int score = 0;  // higher wins an overlap
};

bool Overlaps(std::uint64_t a0, std::uint64_t a1, std::uint64_t b0, std::uint64_t b1) {
  return a0 < b1 && b0 < a1;
}

bool DescribeFat(Bytes s, BootSectorFacts& out) {
  if (!((s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9)) return false;
  if (!disk::PlausibleBpb(s) || !disk::HasBootSignature(s)) return false;
  const std::uint64_t bps = disk::Le16(s, 11), unit = bps / 512;
  const std::uint64_t spc = disk::Le8(s, 13);
  const std::uint64_t reserved = disk::Le16(s, 14);
  const std::uint64_t fats = disk::Le8(s, 16);
  const std::uint64_t rootEntries = disk::Le16(s, 17);
  const std::uint64_t total16 = disk::Le16(s, 19), total32 = disk::Le32(s, 32);
  const std::uint64_t media = disk::Le8(s, 21);
  const std::uint64_t fat16Size = disk::Le16(s, 22), fat32Size = disk::Le32(s, 36);
  if (reserved == 0 || fats < 1 || fats > 2 || (media < 0xF0 && media != 0)) return false;
  const std::uint64_t total = total16 != 0 ? total16 : total32;
  const bool fat32 = fat16Size == 0;
  const std::uint64_t fatSize = fat32 ? fat32Size : fat16Size;
  if (total == 0 || fatSize == 0) return false;
  if (fat32 && (rootEntries != 0 || disk::Le32(s, 44) < 2)) return false;
  if (!fat32 && rootEntries == 0) return false;
  const std::uint64_t rootSectors = (rootEntries * 32 + bps - 1) / bps;
  const std::uint64_t meta = reserved + fats * fatSize + rootSectors;
  if (meta >= total) return false;
  const std::uint64_t clusters = (total - meta) / spc;
  if (clusters == 0 || (!fat32 && clusters >= 65525)) return false;
  // Fewer than 4085 clusters make FAT12 (Microsoft's rule; the label is only a label).
  const bool fat12 = !fat32 && clusters <= disk::kFat12MaxClusters;
  // The FAT must have an entry for every cluster (FAT12: two in three bytes).
  const std::uint64_t fatBytes = fatSize * bps;
  const std::uint64_t entries = fat12 ? fatBytes * 2 / 3 : fatBytes / (fat32 ? 4 : 2);
  if (entries < clusters + 2) return false;
  // The volume's own sectors, counted in 512-byte units like every sector the search files.
  out.fsName = fat32 ? "FAT32" : fat12 ? "FAT12" : "FAT16";
  out.volumeSectors = total * unit;
  out.hiddenSectors = std::uint64_t{disk::Le32(s, 28)} * unit;
  out.unit = unit;
  return true;
}

bool DescribeNtfs(Bytes s, BootSectorFacts& out) {
  if (!disk::HasText(s, 3, "NTFS    ") || !disk::HasBootSignature(s)) return false;
  if (!disk::PlausibleBpb(s)) return false;
  const std::uint64_t unit = disk::Le16(s, 11) / 512;
  const std::uint64_t spc = disk::NtfsSectorsPerCluster(s);
  const std::uint64_t total = disk::Le64(s, 40);
  if (total == 0 || total > (UINT64_MAX >> 12)) return false;
  const std::uint64_t clusters = total / spc;
  if (disk::Le64(s, 48) >= clusters || disk::Le64(s, 56) >= clusters) return false;
  const std::uint32_t record = disk::Le8(s, 64);
  // 1 KiB or 4 KiB records, given in bytes (0xF6, 0xF4) or in clusters.
  const bool recordOk =
      record == 0xF6 || record == 0xF4 || ((record == 1 || record == 2 || record == 4) && spc <= 8);
  if (!recordOk) return false;
  out.fsName = "NTFS";
  out.volumeSectors = (total + 1) * unit;  // the backup boot sector follows the counted sectors
  out.hiddenSectors = std::uint64_t{disk::Le32(s, 28)} * unit;
  out.unit = unit;
  return true;
}

// Progress for whoever asked for it.
class Progress {
 public:
  Progress(RecoveryView* view, std::uint64_t total) {
    if (view) progress_.emplace(*view, total);
  }
  void Report(std::uint64_t done) {
    if (progress_) progress_->Report(done);
  }

 private:
  std::optional<SweepProgress> progress_;
};

class Search {
 public:
  Search(const std::string& device, std::uint64_t diskSectors,
         const std::vector<std::pair<std::uint64_t, std::uint64_t>>& listed,
         const VolumeSearchOptions& options)
      : device_(device), diskSectors_(diskSectors), listed_(listed), options_(options) {}

  std::vector<FoundVolume> Run() {
    if (diskSectors_ == 0) return {};
    if (options_.deep)
      Deep();
    else
      Aligned();
    return Choose();
  }

 private:
  bool Stopped() const { return options_.stop && options_.stop->load() == 1; }

  // Every interpretation of a boot sector at `at`: the volume it starts, or the one whose
  // backup it is. One that names its own start in its hidden-sectors field is the likelier.
  void Consider(const std::uint8_t* sector, std::uint64_t at) {
    BootSectorFacts f;
    if (!DescribeBootSector(sector, f)) return;
    auto add = [&](std::uint64_t start, bool backup) {
      if (start + f.volumeSectors > diskSectors_ || start + f.volumeSectors < start) return;
      int score = backup ? 1 : 2;
      if (f.hiddenSectors == start) score += 2;
      candidates_.push_back({{f.fsName, start, start + f.volumeSectors, backup}, score});
    };
    add(at, false);
    const std::uint64_t backupOffset = kFat32BackupOffset * f.unit;
    if (f.fsName == "FAT32" && at >= backupOffset &&
        disk::Le16(Bytes(sector, 512), 50) == kFat32BackupOffset)
      add(at - backupOffset, true);
    // An NTFS backup fills the volume's last sector.
    if (f.fsName == "NTFS" && at + f.unit >= f.volumeSectors)
      add(at + f.unit - f.volumeSectors, true);
  }

  // Where partitioning tools start volumes in [from, to), and the disk's end (for an NTFS
  // backup in the last sector).
  std::vector<std::uint64_t> AlignedStarts(std::uint64_t from, std::uint64_t to) const {
    const std::uint64_t spt = options_.sectorsPerTrack ? options_.sectorsPerTrack : 63;
    const std::uint64_t cylinder = spt * (options_.heads ? options_.heads : 255);
    to = std::min(to, diskSectors_);
    std::vector<std::uint64_t> starts;
    if (from == 0) starts = {0, spt};
    auto firstMultiple = [from](std::uint64_t step) { return (from + step - 1) / step * step; };
    for (std::uint64_t p = std::max(kMiBSectors, firstMultiple(kMiBSectors)); p < to;
         p += kMiBSectors)
      starts.push_back(p);
    for (std::uint64_t p = std::max(cylinder, firstMultiple(cylinder)); p < to; p += cylinder) {
      starts.push_back(p);
      starts.push_back(p + spt);  // a logical volume after its extended boot record's track
    }
    starts.push_back(diskSectors_);
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    return starts;
  }

  bool InsideListed(std::uint64_t sector) const {
    for (const auto& [a, b] : listed_)
      if (sector >= a && sector < b) return true;
    return false;
  }

  // The whole disk, or (the search nobody asked for) a window at its start and one after the
  // end of each volume found: a wiped table's volumes follow one another, and a few reads
  // find them on a disk of any size.
  void Aligned() {
    Progress progress(options_.view, diskSectors_);
    if (!options_.nearby) {
      Examine(AlignedStarts(0, diskSectors_), progress);
      progress.Report(diskSectors_);
      return;
    }
    std::uint64_t from = 0;
    for (int round = 0; round < kMaxFollowedVolumes && from < diskSectors_; ++round) {
      const std::size_t before = candidates_.size();
      Examine(AlignedStarts(from, from + kNearbySectors), progress);
      std::uint64_t next = from;
      for (std::size_t i = before; i < candidates_.size(); ++i)
        if (candidates_[i].volume.startSector >= from)
          next = std::max(next, candidates_[i].volume.endSector);
      if (next == from) break;
      from = next;
    }
  }

  void Examine(const std::vector<std::uint64_t>& starts, Progress& progress) {
    std::uint8_t buffer[8 * 512];
    for (std::size_t i = 0; i < starts.size(); ++i) {
      const std::uint64_t p = starts[i];
      if (i % 256 == 0) {
        if (Stopped()) return;
        progress.Report(p);
      }
      // p - 1 (a backup of the volume before), p (a start), p + 6 (a FAT32 backup).
      const std::uint64_t first = p == 0 ? 0 : p - 1;
      const std::uint64_t count = std::min<std::uint64_t>(8, diskSectors_ - first);
      if (InsideListed(first) && InsideListed(first + count - 1)) continue;
      std::fill(std::begin(buffer), std::end(buffer), 0);
      ReadSectors(device_, buffer, first, static_cast<std::uint32_t>(count));
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t at = first + k;
        if (at == p || at + 1 == p || at == p + kFat32BackupOffset)
          if (!InsideListed(at)) Consider(buffer + k * 512, at);
      }
    }
  }

  void Deep() {
    const std::uint64_t batch = options_.batchSectors ? options_.batchSectors : kDefaultDeepBatch;
    std::vector<std::uint8_t> buffer(batch * 512);
    Progress progress(options_.view, diskSectors_);
    for (std::uint64_t at = 0; at < diskSectors_; at += batch) {
      if (Stopped()) return;
      progress.Report(at);
      const std::uint64_t count = std::min(batch, diskSectors_ - at);
      std::fill(buffer.begin(), buffer.end(), 0);
      ReadSectors(device_, buffer.data(), at, static_cast<std::uint32_t>(count));
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint8_t* s = buffer.data() + k * 512;
        if (s[510] != 0x55 || s[511] != 0xAA) continue;  // cheap test before the full one
        if (!InsideListed(at + k)) Consider(s, at + k);
      }
    }
    progress.Report(diskSectors_);
  }

  // The best candidates that overlap neither a listed partition nor each other, in disk order.
  std::vector<FoundVolume> Choose() {
    std::stable_sort(candidates_.begin(), candidates_.end(),
                     [](const Candidate& a, const Candidate& b) {
                       if (a.score != b.score) return a.score > b.score;
                       return a.volume.startSector < b.volume.startSector;
                     });
    std::vector<FoundVolume> kept;
    for (const Candidate& c : candidates_) {
      const auto& v = c.volume;
      auto clash = [&](std::uint64_t a, std::uint64_t b) {
        return Overlaps(v.startSector, v.endSector, a, b);
      };
      if (std::any_of(listed_.begin(), listed_.end(),
                      [&](const auto& r) { return clash(r.first, r.second); }))
        continue;
      if (std::any_of(kept.begin(), kept.end(),
                      [&](const FoundVolume& k) { return clash(k.startSector, k.endSector); }))
        continue;
      kept.push_back(v);
    }
    std::sort(kept.begin(), kept.end(), [](const FoundVolume& a, const FoundVolume& b) {
      return a.startSector < b.startSector;
    });
    return kept;
  }

  const std::string& device_;
  std::uint64_t diskSectors_;
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>& listed_;
  const VolumeSearchOptions& options_;
  std::vector<Candidate> candidates_;
};

}  // namespace

bool DescribeBootSector(const std::uint8_t* sector, BootSectorFacts& out) {
  Bytes s(sector, disk::kSectorBytes);
  return DescribeNtfs(s, out) || DescribeFat(s, out);
}

std::vector<FoundVolume> SearchLostVolumes(
    const std::string& device, std::uint64_t diskSectors,
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& listed,
    const VolumeSearchOptions& options) {
  return Search(device, diskSectors, listed, options).Run();
}

int FileFoundVolumes(RecoverySession& session, ui::ResultTree& tree, int d,
                     const std::u16string& diskPath, const VolumeSearchOptions& options) {
  if (d < 0 || static_cast<std::size_t>(d) >= session.driveRecords.size() ||
      static_cast<std::size_t>(d) >= session.devicePath.size())
    return 0;
  const std::string& device = session.devicePath[d];
  auto dev = platform::DeviceTable::Instance().Get(device);
  if (!dev) return 0;
  DriveRecord& record = session.driveRecords[d];
  std::vector<std::pair<std::uint64_t, std::uint64_t>> listed;
  for (std::size_t i = 0; i < record.partitions.size(); ++i)
    listed.emplace_back(record.partitions[i].startSector, record.partitions[i].endSector);
  const auto found =
      SearchLostVolumes(device, dev->SizeBytes() / disk::kSectorBytes, listed, options);
  std::u16string path = diskPath;
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  for (const FoundVolume& v : found) {
    const int k = record.partitionCount + 1;
    std::u16string label = u"Partition - " + ToText(static_cast<std::uint64_t>(k)) + u" ( " +
                           Widen(v.fsName) + u" ) found\\";
    ui::TreeItem* item = ui::InsertTreePath(tree, path + label);
    record.fsName.push_back(v.fsName);
    PartitionEntry entry{item, v.startSector, v.endSector};
    entry.found = true;
    record.partitions.push_back(entry);
    record.partitionCount = k;
  }
  return static_cast<int>(found.size());
}

int AddFoundVolumes(RecoverySession& session, ui::ResultTree& tree, int d,
                    const VolumeSearchOptions& options) {
  if (d < 0 || static_cast<std::size_t>(d) >= session.diskInfoList.size()) return 0;
  const DiskInfoNode& disk = session.diskInfoList[static_cast<std::size_t>(d)];
  VolumeSearchOptions withGeometry = options;
  if (TextToInt(disk.heads) > 0)
    withGeometry.heads = static_cast<std::uint32_t>(TextToInt(disk.heads));
  if (TextToInt(disk.sectorsPerTrack) > 0)
    withGeometry.sectorsPerTrack = static_cast<std::uint32_t>(TextToInt(disk.sectorsPerTrack));
  return FileFoundVolumes(session, tree, d, u"My Computer\\" + disk.label + u"\\", withGeometry);
}

}  // namespace brevant

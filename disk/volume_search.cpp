// Finding lost volumes by their boot sectors. The usual search looks where partitioning tools
// put volumes (1 MiB steps, cylinder starts and the track after them) and where their backups
// lie: FAT32 keeps one six sectors in, NTFS one in the volume's last sector, which is just
// before the next aligned start. The deep search looks at every sector.
#include "disk/volume_search.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <set>

#include "core/read_sectors.h"
#include "core/sweep_checkpoint.h"
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

  // The deep search's checkpoints: `due` says when one is wanted, `save` takes it (the first
  // sector not yet looked at); a stop takes one too. A resumed search starts at `deepFrom`
  // with the candidates it had (Candidates()).
  std::function<bool()> due;
  std::function<void(std::uint64_t next)> save;
  std::uint64_t deepFrom = 0;
  std::vector<Candidate>& Candidates() { return candidates_; }
  std::uint64_t DiskSectors() const { return diskSectors_; }

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
    for (std::uint64_t at = deepFrom; at < diskSectors_; at += batch) {
      if (Stopped()) {
        if (save) save(at);
        return;
      }
      progress.Report(at);
      const std::uint64_t count = std::min(batch, diskSectors_ - at);
      std::fill(buffer.begin(), buffer.end(), 0);
      ReadSectors(device_, buffer.data(), at, static_cast<std::uint32_t>(count));
      for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint8_t* s = buffer.data() + k * 512;
        if (s[510] != 0x55 || s[511] != 0xAA) continue;  // cheap test before the full one
        if (!InsideListed(at + k)) Consider(s, at + k);
      }
      if (due && due()) save(at + count);
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

// The deep search's state: the disk it searches (its place, path and size, and the ranges it
// leaves out), the candidates it has met, and the volumes earlier disks of the same search got.
constexpr std::uint32_t kDeepStateVersion = 1;

struct FiledVolumes {
  std::uint64_t disk = 0;
  std::string device;
  std::vector<FoundVolume> volumes;
};

void EncodeVolume(StateWriter& out, const FoundVolume& v) {
  out.Text8(v.fsName);
  out.U64(v.startSector);
  out.U64(v.endSector);
  out.U8(v.fromBackup ? 1 : 0);
}

FoundVolume DecodeVolume(StateReader& in) {
  FoundVolume v;
  v.fsName = in.Text8();
  v.startSector = in.U64();
  v.endSector = in.U64();
  v.fromBackup = in.Bool();
  if (v.fsName != "FAT16" && v.fsName != "FAT32" && v.fsName != "NTFS") in.Fail();
  if (v.endSector <= v.startSector) in.Fail();
  return v;
}
constexpr std::size_t kVolumeMinBytes = 8 + 16 + 1;

std::vector<std::uint8_t> EncodeDeepState(
    int d, const std::string& device, std::uint64_t diskSectors,
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& listed,
    const std::vector<Candidate>& candidates, const std::vector<FiledVolumes>& earlier) {
  StateWriter out;
  out.U32(kDeepStateVersion);
  out.U64(static_cast<std::uint64_t>(d));
  out.Text8(device);
  out.U64(diskSectors);
  out.U64(listed.size());
  for (const auto& [a, b] : listed) {
    out.U64(a);
    out.U64(b);
  }
  out.U64(candidates.size());
  for (const Candidate& c : candidates) {
    EncodeVolume(out, c.volume);
    out.U32(static_cast<std::uint32_t>(c.score));
  }
  out.U64(earlier.size());
  for (const FiledVolumes& f : earlier) {
    out.U64(f.disk);
    out.Text8(f.device);
    out.U64(f.volumes.size());
    for (const FoundVolume& v : f.volumes) EncodeVolume(out, v);
  }
  return out.Take();
}

struct DeepState {
  std::uint64_t disk = 0;
  std::string device;
  std::uint64_t diskSectors = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> listed;
  std::vector<Candidate> candidates;
  std::vector<FiledVolumes> earlier;
};

std::optional<DeepState> DecodeDeepState(const std::vector<std::uint8_t>& bytes) {
  StateReader in(bytes);
  if (in.U32() != kDeepStateVersion) return std::nullopt;
  DeepState state;
  state.disk = in.U64();
  state.device = in.Text8();
  state.diskSectors = in.U64();
  state.listed.resize(static_cast<std::size_t>(in.Count(16)));
  for (auto& [a, b] : state.listed) {
    a = in.U64();
    b = in.U64();
  }
  state.candidates.resize(static_cast<std::size_t>(in.Count(kVolumeMinBytes + 4)));
  for (Candidate& c : state.candidates) {
    c.volume = DecodeVolume(in);
    c.score = static_cast<int>(in.U32());
    if (c.score < 0 || c.score > 4) in.Fail();
  }
  state.earlier.resize(static_cast<std::size_t>(in.Count(24)));
  for (FiledVolumes& f : state.earlier) {
    f.disk = in.U64();
    f.device = in.Text8();
    f.volumes.resize(static_cast<std::size_t>(in.Count(kVolumeMinBytes)));
    for (FoundVolume& v : f.volumes) v = DecodeVolume(in);
    if (f.disk >= state.disk) in.Fail();
  }
  if (!in.Ok() || !in.AtEnd()) return std::nullopt;
  return state;
}

// Files `found` on disk `d` after its table's partitions, with tree nodes below `diskPath`.
void FileVolumes(RecoverySession& session, ui::ResultTree& tree, int d,
                 const std::u16string& diskPath, const std::vector<FoundVolume>& found) {
  DriveRecord& record = session.driveRecords[static_cast<std::size_t>(d)];
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
}

// The volumes this search filed on the disks before `d`, for a checkpoint.
std::vector<FiledVolumes> FiledBefore(const RecoverySession& session, int d) {
  std::vector<FiledVolumes> out;
  for (int e = 0; e < d && static_cast<std::size_t>(e) < session.driveRecords.size(); ++e) {
    FiledVolumes f;
    f.disk = static_cast<std::uint64_t>(e);
    if (static_cast<std::size_t>(e) < session.devicePath.size()) f.device = session.devicePath[e];
    const DriveRecord& record = session.driveRecords[static_cast<std::size_t>(e)];
    for (std::size_t i = 0; i < record.partitions.size(); ++i)
      if (record.partitions[i].found && i < record.fsName.size())
        f.volumes.push_back({record.fsName[i], record.partitions[i].startSector,
                             record.partitions[i].endSector, false});
    if (!f.volumes.empty()) out.push_back(std::move(f));
  }
  return out;
}

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
  const std::uint64_t diskSectors = dev->SizeBytes() / disk::kSectorBytes;
  Search search(device, diskSectors, listed, options);

  if (options.deep && session.resumeFrom && session.resumeFrom->sweep == "deep") {
    // Going on from a checkpoint of a deep search: a disk searched before it gets the volumes
    // it got then, the disk it stopped on is searched from where it stopped, with the
    // candidates met before; disks after it are searched as usual.
    auto refuse = [&session](const std::string& why) {
      session.failureReason = "the checkpoint to go on from cannot be used: " + why;
      session.resumeFrom.reset();
      return 0;
    };
    auto state = DecodeDeepState(session.resumeFrom->state);
    if (!state) return refuse("its deep search state is damaged");
    const auto disk = static_cast<std::uint64_t>(d);
    if (disk < state->disk) {
      for (const FiledVolumes& f : state->earlier)
        if (f.disk == disk) {
          if (f.device != device) return refuse("disk " + std::to_string(d) + " is another one");
          for (const FoundVolume& v : f.volumes)
            if (v.endSector > diskSectors) return refuse("a volume it names lies beyond the disk");
          // What the automatic search of a table that lists nothing filed is there already.
          std::vector<FoundVolume> missing;
          for (const FoundVolume& v : f.volumes)
            if (std::none_of(listed.begin(), listed.end(), [&v](const auto& r) {
                  return r.first == v.startSector && r.second == v.endSector;
                }))
              missing.push_back(v);
          FileVolumes(session, tree, d, diskPath, missing);
          return static_cast<int>(missing.size());
        }
      return 0;
    }
    if (disk == state->disk) {
      if (state->device != device || state->diskSectors != diskSectors || state->listed != listed)
        return refuse("the disk it was taken on is not this one, or lists other partitions");
      const SweepCheckpoint& checkpoint = *session.resumeFrom;
      if (checkpoint.position > diskSectors || checkpoint.end != diskSectors)
        return refuse("its position lies beyond the disk");
      // A candidate is a volume that fits on the disk, as Consider makes them.
      for (const Candidate& c : state->candidates)
        if (c.volume.endSector > diskSectors) return refuse("a volume it names lies beyond the disk");
      search.deepFrom = checkpoint.position;
      search.Candidates() = std::move(state->candidates);
      session.resumeFrom.reset();
    }
  }

  // Checkpoints of a deep search, when someone keeps them.
  Checkpointer checkpointer(session, "deep");
  if (options.deep && checkpointer.Active()) {
    const std::vector<FiledVolumes> earlier = FiledBefore(session, d);
    search.due = [&checkpointer] { return checkpointer.Due(); };
    search.save = [&, earlier](std::uint64_t next) {
      checkpointer.Save(next, diskSectors,
                        EncodeDeepState(d, device, diskSectors, listed, search.Candidates(),
                                        earlier));
    };
  }
  const auto found = search.Run();
  FileVolumes(session, tree, d, diskPath, found);
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

// ScanExfatVolume: the live directory tree from the root, then the deleted folders' contents,
// and in the extensive mode the entry sets left in clusters nothing accounts for.
#include <algorithm>
#include <deque>
#include <unordered_set>
#include <vector>

#include "core/text.h"
#include "disk/exfat_boot.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"

namespace brevant {
namespace {

using exfat::EntrySet;
using exfat::kEntryBytes;
using exfat::kSectorBytes;

constexpr std::uint32_t kDefaultBatchSectors = 8192;  // 4 MiB
constexpr std::uint8_t kBitmapEntry = 0x81;
constexpr std::uint8_t kUpcaseEntry = 0x82;
constexpr std::uint64_t kMaxUpcaseBytes = 65536 * 2 * 2;

struct Directory {
  std::uint32_t first = 0;
  std::uint64_t bytes = 0;  // 0: as far as the chain goes (the root)
  bool noFatChain = false;
  bool gone = false;  // deleted, or inside a deleted folder
  std::uint64_t id = 0;
};

struct FoundSet {
  EntrySet set;
  std::uint64_t sector = 0;
  std::uint32_t cluster = 0;  // where the set starts
};

class Scanner {
 public:
  Scanner(RecoverySession& session, RecoveryView& view, exfat::ExfatVolume volume,
          const ExfatReadOptions& options)
      : session_(session), view_(view), volume_(std::move(volume)), fat_(volume_), progress_(view) {
    batchSectors_ = options.batchSectors ? options.batchSectors : kDefaultBatchSectors;
    extensive_ = options.extensive;
    bitmap_ = exfat::VolumeBitmap(volume_);
    claimed_.Resize(volume_.LastCluster() + 1);
    claimed_.Mark(0, 2);
    session_.conditionFacts.liveClaims.Resize(volume_.LastCluster() + 1);
  }

  void Run() {
    const std::uint64_t total = volume_.partEnd - volume_.partStart;
    progress_.Report(0, total);
    std::deque<Directory> live;
    live.push_back({volume_.rootCluster, 0, false, false, 0});
    root_ = true;
    while (!live.empty()) {
      if (Stopped()) return;
      Directory d = live.front();
      live.pop_front();
      ReadDirectory(d, [&](const FoundSet& f) {
        if (f.set.IsDirectory() && f.set.deleted) {
          deferred_.push_back({f, d.id});  // once every live directory is known
          return;
        }
        if (f.set.IsDirectory()) {
          const std::uint64_t id = FolderId(f.set);
          Append(f, d.id, false, id);
          if (id != 0) live.push_back({f.set.firstCluster, f.set.dataLength, f.set.NoFatChain(), false, id});
          return;
        }
        if (f.set.dataLength > 0 && !f.set.deleted) liveFiles_.push_back(f.set);
        Append(f, d.id, f.set.deleted, f.set.firstCluster);
      });
      root_ = false;
    }
    ClaimLiveFiles();
    // Deleted folders, and what they hold, after the live tree: their clusters may have been
    // taken by a live directory since.
    std::deque<Directory> gone;
    auto appendGoneFolder = [&](const FoundSet& f, std::uint64_t parent) {
      const std::uint64_t id = FolderId(f.set);
      Append(f, parent, true, id);
      if (id != 0) gone.push_back({f.set.firstCluster, f.set.dataLength, f.set.NoFatChain(), true, id});
    };
    for (const auto& [f, parent] : deferred_) appendGoneFolder(f, parent);
    deferred_.clear();
    while (!gone.empty()) {
      if (Stopped()) return;
      Directory d = gone.front();
      gone.pop_front();
      ReadDirectory(d, [&](const FoundSet& f) {
        if (f.set.IsDirectory())
          appendGoneFolder(f, d.id);
        else
          Append(f, d.id, true, f.set.firstCluster);
      });
    }
    if (extensive_ && !SweepStrayClusters()) return;
    progress_.Report(total, total);
  }

 private:
  bool Stopped() {
    if (session_.stopRequested.load() != 1) return false;
    HonourStop(session_, view_);
    return true;
  }

  // A folder's id is its first cluster; 0 (no contents of its own) when that cluster is no
  // cluster of the volume or is already read as another directory, whose entries would
  // otherwise show twice.
  std::uint64_t FolderId(const EntrySet& s) const {
    if (!volume_.IsDataCluster(s.firstCluster) || s.firstCluster == exfat::kLostFolderId) return 0;
    if (claimed_.InUse(s.firstCluster) || folderIds_.count(s.firstCluster)) return 0;
    return s.firstCluster;
  }

  void Append(const FoundSet& f, std::uint64_t parent, bool deleted, std::uint64_t id) {
    const EntrySet& s = f.set;
    const bool folder = s.IsDirectory();
    if (folder && id != 0) folderIds_.insert(id);
    bool chainGone = false;
    if (!folder && deleted && s.dataLength > 0 && !s.NoFatChain()) {
      std::string error;
      auto layout = exfat::LayoutOf(volume_, fat_, s.firstCluster, s.dataLength, false, true,
                                    &error, bitmap_.get());
      chainGone = layout && layout->guessed;
    }
    ++sequence_;
    Catalogue& c = session_.catalogue;
    const std::u16string sector = ToText(f.sector), idText = ToText(id),
                         parentText = ToText(parent), date = exfat::DateText(s),
                         time = exfat::TimeText(s), attributes = ToText(s.attributes);
    const std::u16string_view deletedText = deleted ? u"1" : u"NULL";
    if (folder)
      c.AppendFolder(s.name, sector, idText, parentText, date, time, u"0", attributes, u"0",
                     u"FOLDER", deletedText, sequence_);
    else
      c.AppendFile(s.name, sector, idText, parentText, date, time, ToText(s.dataLength),
                   attributes, exfat::SpareText(s, chainGone), u"FILE", deletedText, sequence_);
  }

  // The clusters of a directory, each taken once: a cluster read as another directory ends it.
  std::vector<std::uint32_t> DirectoryClusters(const Directory& d) {
    std::vector<std::uint32_t> out;
    if (!volume_.IsDataCluster(d.first)) return out;
    const std::uint64_t limit = std::max<std::uint64_t>(
        1, std::min(exfat::kMaxDirectoryBytes / volume_.ClusterBytes(), std::uint64_t{volume_.clusterCount}));
    const std::uint64_t wanted = d.bytes == 0 ? limit : std::min(limit, volume_.ClustersFor(d.bytes));
    std::vector<ClusterRun> runs;
    if (d.gone) {
      std::string error;
      auto layout = exfat::LayoutOf(volume_, fat_, d.first, wanted * volume_.ClusterBytes(),
                                    d.noFatChain, true, &error, bitmap_.get());
      if (layout) runs = layout->runs;
    } else if (d.noFatChain) {
      runs.push_back({0, d.first, std::min<std::uint64_t>(wanted, volume_.LastCluster() - d.first + 1)});
    } else {
      std::uint32_t c = d.first;
      for (std::uint64_t n = 0; n < wanted && volume_.IsDataCluster(c); ++n) {
        runs.push_back({n, c, 1});
        auto next = fat_.Entry(c);
        if (!next || claimed_.InUse(*next)) break;
        c = *next;
      }
    }
    for (const ClusterRun& r : runs)
      for (std::uint64_t k = 0; k < r.length; ++k) {
        const std::uint64_t c = r.lcn + k;
        if (!volume_.IsDataCluster(c) || claimed_.InUse(c)) return out;
        claimed_.Mark(c, 1);
        out.push_back(static_cast<std::uint32_t>(c));
      }
    return out;
  }

  // Reads the directory and hands each sound entry set to `emit`, in order, until its end.
  template <typename Emit>
  void ReadDirectory(const Directory& d, Emit emit) {
    const std::vector<std::uint32_t> clusters = DirectoryClusters(d);
    if (clusters.empty()) return;
    const std::uint64_t cb = volume_.ClusterBytes();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(clusters.size() * cb));
    for (std::size_t i = 0; i < clusters.size();) {
      std::size_t j = i + 1;
      while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1 &&
             (j - i) * volume_.sectorsPerCluster < batchSectors_)
        ++j;
      exfat::ReadZeroFilled(volume_.device, bytes.data() + i * cb, volume_.ClusterSector(clusters[i]),
                            (j - i) * volume_.sectorsPerCluster);
      i = j;
    }
    const std::span<const std::uint8_t> all(bytes);
    for (std::size_t at = 0; at + kEntryBytes <= bytes.size();) {
      const std::uint8_t type = bytes[at];
      if (type == 0x00) break;  // the end of the directory: nothing after it was ever used
      if (root_ && !d.gone && (type == kBitmapEntry || type == kUpcaseEntry)) {
        VolumeFile(all.subspan(at, kEntryBytes));
        at += kEntryBytes;
        continue;
      }
      EntrySet set;
      if (exfat::ParseEntrySet(all.subspan(at), set) == exfat::SetParse::Ok) {
        const std::uint32_t cluster = clusters[at / cb];
        const std::size_t entries = set.entries;
        emit(FoundSet{std::move(set), volume_.ClusterSector(cluster) + (at % cb) / kSectorBytes, cluster});
        at += entries * kEntryBytes;
        continue;
      }
      at += kEntryBytes;
    }
  }

  // The allocation bitmap and the up-case table are files of the volume, never listed: their
  // clusters are accounted for, and the up-case table serves the name check of stray sets.
  void VolumeFile(std::span<const std::uint8_t> e) {
    const std::uint32_t first = e[20] | e[21] << 8 | e[22] << 16 | static_cast<std::uint32_t>(e[23]) << 24;
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i) length = length << 8 | e[24 + i];
    std::string error;
    auto layout = exfat::LayoutOf(volume_, fat_, first, length, false, false, &error);
    if (!layout) return;
    for (const ClusterRun& r : layout->runs) {
      claimed_.Mark(r.lcn, r.length);
      session_.conditionFacts.liveClaims.Mark(r.lcn, r.length);
    }
    if (e[0] != kUpcaseEntry || length > kMaxUpcaseBytes || !layout->broken.empty()) return;
    std::vector<std::uint8_t> table;
    for (const ClusterRun& r : layout->runs) {
      const std::size_t at = table.size();
      table.resize(at + static_cast<std::size_t>(r.length * volume_.ClusterBytes()));
      exfat::ReadZeroFilled(volume_.device, table.data() + at, volume_.ClusterSector(r.lcn),
                            r.length * volume_.sectorsPerCluster);
    }
    table.resize(static_cast<std::size_t>(length));
    const std::uint32_t sum = e[4] | e[5] << 8 | e[6] << 16 | static_cast<std::uint32_t>(e[7]) << 24;
    if (exfat::UpcaseTableChecksum(table) != sum) return;
    if (auto expanded = exfat::ExpandUpcaseTable(table)) upcase_ = std::move(*expanded);
  }

  // The clusters of live files hold their data, not directories: the extensive sweep skips
  // them, and the condition of deleted files counts them in use.
  void ClaimLiveFiles() {
    for (const EntrySet& s : liveFiles_) {
      std::string error;
      auto layout = exfat::LayoutOf(volume_, fat_, s.firstCluster, s.dataLength, s.NoFatChain(),
                                    false, &error);
      if (!layout) continue;
      for (const ClusterRun& r : layout->runs) {
        session_.conditionFacts.liveClaims.Mark(r.lcn, r.length);
        // Only a chain that agrees with its file's size is trusted to hide clusters from the
        // sweep, so a damaged FAT cannot hide a directory behind a garbage chain.
        if (layout->broken.empty()) claimed_.Mark(r.lcn, r.length);
      }
    }
    liveFiles_.clear();
    liveFiles_.shrink_to_fit();
  }

  // An entry set found where no directory vouches for it is kept only when it describes a
  // file or folder of this volume.
  bool Plausible(const EntrySet& s) const {
    if (std::find(s.name.begin(), s.name.end(), u'\0') != s.name.end()) return false;
    if (upcase_.size() == 65536 && exfat::NameHash(s.name, upcase_) != s.nameHash) return false;
    const std::uint64_t volumeBytes = std::uint64_t{volume_.clusterCount} * volume_.ClusterBytes();
    if (s.dataLength > volumeBytes) return false;
    if (s.dataLength == 0) return true;
    if (!volume_.IsDataCluster(s.firstCluster)) return false;
    return !s.IsDirectory() || s.dataLength % volume_.ClusterBytes() == 0;
  }

  // Entry sets with sound checksums in the clusters nothing accounted for: each is placed in
  // the folder (found the same way) whose clusters hold it, or under "Lost".
  bool SweepStrayClusters() {
    const std::uint64_t total = volume_.partEnd - volume_.partStart;
    const std::uint64_t spc = volume_.sectorsPerCluster;
    const std::uint64_t cb = volume_.ClusterBytes();
    const std::uint64_t perBatch = std::max<std::uint64_t>(1, batchSectors_ / spc);
    // A set starting near a cluster's end may run into the next: two sectors more hold the
    // longest set (19 entries).
    constexpr std::uint64_t kTailSectors = 2;
    std::vector<FoundSet> found;
    std::vector<std::uint8_t> buffer;
    const auto isFree = [&](std::uint64_t c) {
      return !claimed_.InUse(c) && !session_.conditionFacts.liveClaims.InUse(c);
    };
    for (std::uint64_t c = 2; c <= volume_.LastCluster();) {
      if (Stopped()) return false;
      while (c <= volume_.LastCluster() && !isFree(c)) ++c;
      if (c > volume_.LastCluster()) break;
      std::uint64_t n = 1;
      while (n < perBatch && c + n <= volume_.LastCluster() && isFree(c + n)) ++n;
      const bool tail = c + n <= volume_.LastCluster() && isFree(c + n);
      const std::uint64_t sectors = n * spc + (tail ? std::min(kTailSectors, spc) : 0);
      buffer.assign(static_cast<std::size_t>(sectors * kSectorBytes), 0);
      exfat::ReadZeroFilled(volume_.device, buffer.data(), volume_.ClusterSector(c), sectors);
      const std::span<const std::uint8_t> all(buffer);
      for (std::size_t at = 0; at + kEntryBytes <= n * cb;) {
        EntrySet set;
        if ((buffer[at] | exfat::kInUse) == exfat::kFileEntry &&
            exfat::ParseEntrySet(all.subspan(at), set) == exfat::SetParse::Ok && Plausible(set)) {
          const std::uint64_t cluster = c + at / cb;
          const std::size_t entries = set.entries;
          found.push_back({std::move(set), volume_.ClusterSector(cluster) + (at % cb) / kSectorBytes,
                           static_cast<std::uint32_t>(cluster)});
          at += entries * kEntryBytes;
          continue;
        }
        at += kEntryBytes;
      }
      c += n;
      progress_.Report(volume_.ClusterSector(std::min(c, volume_.LastCluster())) - volume_.partStart,
                       total);
    }
    // The stray folders' clusters, as far as their size reaches from their first.
    struct Extent {
      std::uint64_t first, end, id;
    };
    std::vector<Extent> extents;
    std::vector<std::uint64_t> ids(found.size(), 0);
    for (std::size_t i = 0; i < found.size(); ++i) {
      const EntrySet& s = found[i].set;
      if (!s.IsDirectory()) continue;
      ids[i] = FolderId(s);
      if (ids[i] == 0) continue;
      folderIds_.insert(ids[i]);
      extents.push_back({s.firstCluster, s.firstCluster + volume_.ClustersFor(s.dataLength), ids[i]});
    }
    std::sort(extents.begin(), extents.end(),
              [](const Extent& a, const Extent& b) { return a.first < b.first; });
    auto owner = [&](std::uint64_t cluster) -> std::uint64_t {
      auto it = std::upper_bound(extents.begin(), extents.end(), cluster,
                                 [](std::uint64_t v, const Extent& e) { return v < e.first; });
      if (it == extents.begin()) return exfat::kLostFolderId;
      --it;
      return cluster < it->end ? it->id : exfat::kLostFolderId;
    };
    for (std::size_t i = 0; i < found.size(); ++i) {
      std::uint64_t parent = owner(found[i].cluster);
      // A folder whose own entry lies in its own clusters has no place but "Lost".
      if (parent == ids[i] && ids[i] != 0) parent = exfat::kLostFolderId;
      Append(found[i], parent, true, found[i].set.IsDirectory() ? ids[i] : found[i].set.firstCluster);
    }
    return true;
  }

  RecoverySession& session_;
  RecoveryView& view_;
  exfat::ExfatVolume volume_;
  exfat::FatTable fat_;
  ProgressReporter progress_;
  std::uint32_t batchSectors_ = kDefaultBatchSectors;
  bool extensive_ = false;
  bool root_ = false;
  std::int32_t sequence_ = 1;
  ClusterMap claimed_;  // clusters read as directories or holding the volume's own files
  std::unordered_set<std::uint64_t> folderIds_;
  std::vector<std::pair<FoundSet, std::uint64_t>> deferred_;
  std::vector<EntrySet> liveFiles_;
  std::vector<char16_t> upcase_;
  std::shared_ptr<const exfat::Bitmap> bitmap_;
};

}  // namespace

void ScanExfatVolume(RecoverySession& session, RecoveryView& view, const ExfatReadOptions& options) {
  session.searchRangeEnd = session.selectedPartitionEnd > 0 ? session.selectedPartitionEnd - 1 : 0;
  auto volume = exfat::VolumeFromParameters(session.partParams, session.SelectedDevice(),
                                            session.selectedPartitionStart,
                                            session.selectedPartitionEnd);
  if (!volume) {
    ProgressReporter progress(view);
    progress.Report(0, 1);
    progress.Report(1, 1);
    return;
  }
  Scanner scanner(session, view, std::move(*volume), options);
  scanner.Run();
}

int FindExfatGeometry(RecoverySession& session, RecoveryView& /*view*/) {
  std::string why;
  auto boot = disk::ReadExfatBoot(session.SelectedDevice(), session.selectedPartitionStart,
                                  session.selectedPartitionEnd, &why);
  if (!boot) {
    session.failureReason = why;
    return 0;
  }
  session.partParams = disk::ExfatParameters(*boot, session.selectedPartitionStart);
  return 1;
}

std::string ExfatRootDirectoryProblem(RecoverySession& session) {
  auto volume = exfat::VolumeFromParameters(session.scanParams, session.SelectedDevice(),
                                            session.selectedPartitionStart,
                                            session.selectedPartitionEnd);
  if (!volume) return "the exFAT layout does not fit in the partition";
  const std::uint64_t sector = volume->ClusterSector(volume->rootCluster);
  std::vector<std::uint8_t> first(kSectorBytes);
  if (!volume->IsDataCluster(volume->rootCluster) ||
      !exfat::ReadZeroFilled(volume->device, first.data(), sector, 1))
    return "the root directory's first sector " + std::to_string(sector) + " cannot be read";
  // Every root directory holds the allocation bitmap's entry among its first ones.
  for (std::size_t at = 0; at < first.size(); at += kEntryBytes)
    if (first[at] == kBitmapEntry) return {};
  return "no root directory at cluster " + std::to_string(volume->rootCluster) + " (sector " +
         std::to_string(sector) + "): it holds no allocation bitmap entry";
}

}  // namespace brevant

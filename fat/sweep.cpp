// ScanFatClusters: the live directory tree from the root, then a sweep over every cluster for
// directories the tree no longer reaches (deleted or orphaned), each entry catalogued once.
#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "core/read_sectors.h"
#include "core/sweep_checkpoint.h"
#include "core/text.h"
#include "fat/codepage.h"
#include "fat/directory_entry.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"
#include "fat/stray_entries.h"

namespace brevant {
namespace {

using fat::DirectoryDecoder;
using fat::DirectoryRecord;
using fat::FatKind;
using fat::kSectorBytes;

constexpr std::uint32_t kDefaultBatchSectors = 8192;  // 4 MiB
constexpr std::uint64_t kMaxDirectoryBytes = 65536 * 32;  // a FAT directory holds 65536 entries
// Up to 2 KiB clusters the sweep reads the first sectors of neighbouring clusters in one request.
constexpr std::uint64_t kMergedSweepMaxSectorsPerCluster = 4;

std::uint64_t EntryKey(const fat::ShortEntry& e, std::uint32_t cluster) {
  // FNV-1a over what makes two copies of an entry the same entry.
  std::uint64_t h = 1469598103934665603ULL;
  auto mix = [&h](std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      h ^= (v >> (8 * i)) & 0xFF;
      h *= 1099511628211ULL;
    }
  };
  for (std::uint8_t b : e.name) mix(b, 1);
  mix(e.attributes, 1);
  mix(cluster, 4);
  mix(e.size, 4);
  mix(e.writeDate, 2);
  mix(e.writeTime, 2);
  return h;
}

struct OrphanDirectory {
  std::uint32_t cluster;
  std::uint64_t sector;
  fat::ShortEntry dot;
  bool deleted;
};

class Scanner {
 public:
  Scanner(RecoverySession& session, RecoveryView& view, fat::FatVolume volume,
          const FatReadOptions& options)
      : session_(session),
        view_(view),
        volume_(std::move(volume)),
        fat1_(volume_, volume_.fat1Start),
        fat2_(volume_, volume_.fat2Start != volume_.fat1Start ? volume_.fat2Start : 0),
        progress_(view),
        checkpointer_(session, "fat") {
    codePage_ = fat::IsSupportedOemCodePage(session.oemCodePage) ? session.oemCodePage
                                                                 : fat::kDefaultOemCodePage;
    batchSectors_ = options.batchSectors ? options.batchSectors : kDefaultBatchSectors;
    extensive_ = options.extensive;
    claimed_.assign(static_cast<std::size_t>(volume_.lastCluster) / 64 + 1, 0);
  }

  // From the start, or (`resume`) from a checkpoint of this sweep: the live tree and what the
  // sweep found before it are then in the session and the state, and are not read again.
  void Run(const SweepCheckpoint* resume) {
    const std::uint64_t total = volume_.partEnd - volume_.partStart;
    progress_.Report(0, total);
    std::uint64_t from = 2;
    if (resume) {
      if (!Restore(*resume, &from)) {
        session_.failureReason =
            "the checkpoint to go on from cannot be used: its FAT sweep state is damaged or "
            "does not belong to this volume";
        return;
      }
    } else {
      if (!WalkLiveTree()) return;
      ClaimLiveFileClusters();
      for (const auto& [record, parent] : deletedFolders_) Append(record, parent);
      deletedFolders_.clear();
    }
    if (!Sweep(from)) return;
    for (std::uint32_t c : longNameStarts_) {
      if (Stopped()) return;
      if (!IsClaimed(c)) DecodeLooseCluster(c, false);
    }
    if (!staleStarts_.empty()) {
      seenKeys_.insert(keys_.begin(), keys_.end());
      for (std::uint32_t c : staleStarts_) {
        if (Stopped()) return;
        if (!IsClaimed(c)) DecodeLooseCluster(c, true);
      }
    }
    if (extensive_ && !DecodeStrayClusters()) return;
    for (const auto& orphan : orphans_)
      if (!namedFolders_.count(orphan.cluster)) AppendOrphanFolder(orphan);
    progress_.Report(total, total);
  }

 private:
  bool Stopped() {
    if (session_.stopRequested.load() != 1) return false;
    HonourStop(session_, view_);
    return true;
  }

  bool IsClaimed(std::uint64_t c) const {
    return c <= volume_.lastCluster && (claimed_[c / 64] >> (c % 64)) & 1;
  }
  void Claim(std::uint64_t c) {
    if (c <= volume_.lastCluster) claimed_[c / 64] |= 1ULL << (c % 64);
  }

  void AppendTexts(std::u16string_view name, std::uint64_t sector, std::uint64_t id,
                   std::uint64_t parent, const fat::ShortEntry& e, bool folder, bool deleted,
                   std::u16string_view spare = u"0") {
    const std::u16string sectorText = ToText(sector), idText = ToText(id),
                         parentText = ToText(parent), dateText = ToText(e.writeDate),
                         timeText = ToText(e.writeTime), sizeText = ToText(e.size),
                         attrText = ToText(e.attributes);
    const std::u16string_view type = folder ? u"FOLDER" : u"FILE";
    const std::u16string_view deletedText = deleted ? u"1" : u"NULL";
    ++sequence_;
    Catalogue& c = session_.catalogue;
    if (folder)
      c.AppendFolder(name, sectorText, idText, parentText, dateText, timeText, sizeText, attrText,
                     spare, type, deletedText, sequence_);
    else
      c.AppendFile(name, sectorText, idText, parentText, dateText, timeText, sizeText, attrText,
                   spare, type, deletedText, sequence_);
  }

  // `gone`: the directory holding the entry is itself deleted (its clusters are free, or a
  // folder above it is deleted), so the entry is deleted whatever its own first byte says.
  void Append(const DirectoryRecord& r, std::uint64_t parent, bool gone = false) {
    const fat::ShortEntry& e = r.entry;
    std::uint64_t id = e.Cluster(volume_.kind);
    const bool folder = e.IsDirectory();
    // A deleted folder whose first cluster now starts a live directory lost its contents to
    // that directory; with its old id it would show the live directory's entries as its own.
    if (folder && e.IsDeleted() && liveDirectories_.count(static_cast<std::uint32_t>(id))) id = 0;
    if (folder) namedFolders_.insert(static_cast<std::uint32_t>(id));
    const bool deleted = e.IsDeleted() || gone || goneDirectories_.count(parent) > 0;
    // What a deleted folder holds is deleted too, however deep.
    if (folder && deleted && id != 0 && id != fat::kLostFolderId)
      goneDirectories_.insert(id);
    keys_.push_back(EntryKey(e, e.Cluster(volume_.kind)));
    // The extensive scan says which files it can only read as consecutive clusters.
    const bool chainGone = extensive_ && !folder &&
                           fat::ChainGone(fat1_, fat2_, static_cast<std::uint32_t>(id), e.size,
                                          volume_.ClusterBytes());
    AppendTexts(r.name, r.sector, id, parent, e, folder, deleted,
                chainGone ? fat::kChainGoneMark : u"0");
  }

  void AppendOrphanFolder(const OrphanDirectory& o) {
    const std::u16string name = u"Folder at cluster " + ToText(o.cluster);
    fat::ShortEntry e = o.dot;
    e.size = 0;
    AppendTexts(name, o.sector, o.cluster, fat::kLostFolderId, e, true, o.deleted);
  }

  // Reads `count` clusters from `first` into `out`.
  void ReadClusters(std::uint32_t first, std::uint32_t count, std::vector<std::uint8_t>& out) {
    const std::uint64_t sectors = static_cast<std::uint64_t>(count) * volume_.sectorsPerCluster;
    out.resize(static_cast<std::size_t>(sectors) * kSectorBytes);
    fat::ReadZeroFilled(volume_.device, out.data(), volume_.ClusterSector(first),
                        static_cast<std::uint32_t>(sectors));
  }

  // Feeds the clusters of `list` in order to `decoder`, reading runs of consecutive clusters
  // together, until the directory ends.
  void DecodeClusters(const std::vector<std::uint32_t>& list, DirectoryDecoder& decoder,
                      const std::function<void(const DirectoryRecord&)>& emit) {
    const std::uint32_t maxRun =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(batchSectors_ / volume_.sectorsPerCluster));
    std::vector<std::uint8_t> buffer;
    for (std::size_t i = 0; i < list.size() && !decoder.Ended();) {
      std::size_t j = i + 1;
      while (j < list.size() && j - i < maxRun && list[j] == list[j - 1] + 1) ++j;
      ReadClusters(list[i], static_cast<std::uint32_t>(j - i), buffer);
      const std::uint64_t firstSector = volume_.ClusterSector(list[i]);
      for (std::size_t s = 0; s * kSectorBytes < buffer.size(); ++s)
        if (!decoder.Feed({buffer.data() + s * kSectorBytes, kSectorBytes}, firstSector + s, emit))
          break;
      i = j;
    }
  }

  // The chain of a directory that the FAT still holds: FAT #1, or FAT #2 where FAT #1 breaks
  // off sooner. Clusters another directory already took end it.
  std::vector<std::uint32_t> DirectoryChain(std::uint32_t first) {
    const std::size_t limit = static_cast<std::size_t>(
        std::max<std::uint64_t>(1, kMaxDirectoryBytes / volume_.ClusterBytes()));
    bool clean = false;
    std::vector<std::uint32_t> chain = fat::BuildClusterChain(fat1_, first, limit, &clean);
    if (!clean && fat2_.Usable()) {
      bool clean2 = false;
      auto other = fat::BuildClusterChain(fat2_, first, limit, &clean2);
      if (other.size() > chain.size()) chain = std::move(other);
      clean = clean2;
    }
    if (chain.size() > limit) chain.resize(limit);
    std::vector<std::uint32_t> out;
    for (std::uint32_t c : chain) {
      if (IsClaimed(c)) break;
      Claim(c);
      out.push_back(c);
    }
    // A chain that breaks off (a reformat, a zeroed FAT): the extensive scan follows the
    // directory into the clusters after it.
    if (extensive_ && !clean && !out.empty() && out.size() == std::min(chain.size(), limit))
      for (std::uint32_t c : fat::ContinueDirectory(volume_, out.back(), limit - out.size(),
                                                    [this](std::uint32_t k) { return IsClaimed(k); })) {
        Claim(c);
        out.push_back(c);
      }
    return out;
  }

  bool IsDirectoryStartAt(std::uint32_t cluster) {
    std::uint8_t sector[kSectorBytes];
    fat::ReadZeroFilled(volume_.device, sector, volume_.ClusterSector(cluster), 1);
    return fat::IsDirectoryStart({sector, kSectorBytes}, false);
  }

  // Root first, then breadth-first through every live subdirectory.
  bool WalkLiveTree() {
    std::deque<std::uint32_t> queue;
    auto emitFor = [&](std::uint64_t parent) {
      return [this, parent, &queue](const DirectoryRecord& r) {
        const fat::ShortEntry& e = r.entry;
        if (e.IsDirectory() && e.IsDeleted()) {
          deletedFolders_.emplace_back(r, parent);  // once every live directory is known
          return;
        }
        const std::uint32_t c = e.Cluster(volume_.kind);
        if (e.IsDirectory()) {
          if (volume_.IsDataCluster(c) && !IsClaimed(c)) queue.push_back(c);
        } else if (!e.IsDeleted() && e.size > 0 && volume_.IsDataCluster(c)) {
          liveFiles_.emplace_back(c, e.size);
        }
        Append(r, parent);
      };
    };

    if (volume_.FixedRoot()) {
      const std::uint64_t first = volume_.rootDirStart;
      std::uint64_t count = std::min<std::uint64_t>(volume_.rootDirSectors, 4096);
      if (first >= volume_.partStart && first < volume_.partEnd) {
        count = std::min(count, volume_.partEnd - first);
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count) * kSectorBytes);
        fat::ReadZeroFilled(volume_.device, buffer.data(), first, static_cast<std::uint32_t>(count));
        DirectoryDecoder decoder(volume_.kind, codePage_, false);
        auto emit = emitFor(0);
        for (std::uint64_t s = 0; s < count; ++s)
          if (!decoder.Feed({buffer.data() + s * kSectorBytes, kSectorBytes}, first + s, emit)) break;
      }
    } else if (volume_.IsDataCluster(volume_.rootDirStart)) {
      auto chain = DirectoryChain(static_cast<std::uint32_t>(volume_.rootDirStart));
      DirectoryDecoder decoder(volume_.kind, codePage_, false);
      DecodeClusters(chain, decoder, emitFor(0));
    }

    while (!queue.empty()) {
      if (Stopped()) return false;
      const std::uint32_t dir = queue.front();
      queue.pop_front();
      if (IsClaimed(dir) || !IsDirectoryStartAt(dir)) continue;
      auto chain = DirectoryChain(dir);
      liveDirectories_.insert(dir);
      DirectoryDecoder decoder(volume_.kind, codePage_, false);
      DecodeClusters(chain, decoder, emitFor(dir));
    }
    return true;
  }

  // A directory start the live tree did not reach. Still allocated: its FAT chain. Free (a
  // deleted directory): its first cluster, and the clusters after it while they are free and
  // read as directory entries.
  void HandleDirectoryStart(std::uint32_t c, std::span<const std::uint8_t> firstSector) {
    auto value = fat1_.Entry(c);
    if (!value && fat2_.Usable()) value = fat2_.Entry(c);
    const bool deleted = value && *value == 0;
    orphans_.push_back({c, volume_.ClusterSector(c), *fat::ParseShortEntry(firstSector), deleted});
    // A directory whose clusters are free is deleted, and so is all it holds, even entries
    // never marked themselves (a folder deleted as a whole). Still allocated, it is deleted
    // when a deleted folder entry met so far names it.
    const bool gone = deleted || goneDirectories_.count(c) > 0;
    if (gone) goneDirectories_.insert(c);
    auto emit = [this, c, gone](const DirectoryRecord& r) { Append(r, c, gone); };
    DirectoryDecoder decoder(volume_.kind, codePage_, false);
    if (!deleted) {
      liveDirectories_.insert(c);
      DecodeClusters(DirectoryChain(c), decoder, emit);
      return;
    }
    Claim(c);
    DecodeClusters({c}, decoder, emit);
    const std::uint64_t maxClusters =
        std::max<std::uint64_t>(1, kMaxDirectoryBytes / volume_.ClusterBytes());
    std::uint8_t sector[kSectorBytes];
    for (std::uint64_t next = static_cast<std::uint64_t>(c) + 1, n = 1;
         !decoder.Ended() && n < maxClusters && volume_.IsDataCluster(next) && !IsClaimed(next);
         ++next, ++n) {
      auto v = fat1_.Entry(static_cast<std::uint32_t>(next));
      if (!v || *v != 0) break;
      fat::ReadZeroFilled(volume_.device, sector, volume_.ClusterSector(next), 1);
      if (fat::IsDirectoryStart({sector, kSectorBytes}, false) ||
          !fat::LooksLikeDirectorySector({sector, kSectorBytes}))
        break;
      Claim(next);
      DecodeClusters({static_cast<std::uint32_t>(next)}, decoder, emit);
    }
  }

  // A cluster found only by its content whose directory is unknown: a later cluster that
  // begins with a long name, or a copy of a directory start kept elsewhere. Its entries go
  // under "Lost"; a copy's entries that the catalogue already holds are left out.
  void DecodeLooseCluster(std::uint32_t c, bool staleCopy) {
    Claim(c);
    DirectoryDecoder decoder(volume_.kind, codePage_, true);
    DecodeClusters({c}, decoder, [this, staleCopy](const DirectoryRecord& r) {
      // Two copies of one directory add its lost entries once.
      if (staleCopy && !seenKeys_.insert(EntryKey(r.entry, r.entry.Cluster(volume_.kind))).second) return;
      Append(r, fat::kLostFolderId);
    });
  }

  // Stray directory entries in the clusters nothing accounted for: each run of such clusters
  // is decoded in order (a long name may cross from one into the next), entries that the
  // catalogue already holds are left out, the rest go under "Lost".
  bool DecodeStrayClusters() {
    seenKeys_.insert(keys_.begin(), keys_.end());
    std::unique_ptr<DirectoryDecoder> decoder;
    std::uint32_t previous = 0;
    auto emit = [this](const DirectoryRecord& r) {
      if (!fat::PlausibleStrayEntry(r.entry, volume_)) return;
      // An empty file has no cluster to tell it from another one of the same name and time
      // (an empty ".nomedia" in every folder): it is never taken for a copy.
      const bool empty = !r.entry.IsDirectory() && r.entry.size == 0;
      if (!seenKeys_.insert(EntryKey(r.entry, r.entry.Cluster(volume_.kind))).second && !empty)
        return;
      Append(r, fat::kLostFolderId);
    };
    for (std::uint32_t c : strayStarts_) {
      if (Stopped()) return false;
      if (IsClaimed(c)) continue;
      if (!decoder || decoder->Ended() || c != previous + 1)
        decoder = std::make_unique<DirectoryDecoder>(volume_.kind, codePage_, true);
      Claim(c);
      DecodeClusters({c}, *decoder, emit);
      previous = c;
    }
    return true;
  }

  // The clusters of live files hold their data, not directories: the sweep need not read
  // them. Only chains that agree with their file's size are trusted, so a damaged FAT cannot
  // hide a deleted directory behind a garbage chain.
  void ClaimLiveFileClusters() {
    std::vector<std::uint32_t> chain;
    for (const auto& [first, size] : liveFiles_) {
      const std::uint64_t needed = (size + volume_.ClusterBytes() - 1) / volume_.ClusterBytes();
      chain.clear();
      std::uint32_t c = first;
      bool consistent = false;
      while (!IsClaimed(c) && chain.size() < needed) {
        chain.push_back(c);
        std::uint32_t next = 0;
        const fat::FatLink link = fat1_.Follow(c, &next);
        if (link == fat::FatLink::End) {
          consistent = chain.size() == needed;
          break;
        }
        if (link == fat::FatLink::Broken) break;
        c = next;
      }
      if (!consistent) continue;
      for (std::uint32_t k : chain) Claim(k);
    }
    liveFiles_.clear();
    liveFiles_.shrink_to_fit();
  }

  // Only the first sector of a cluster tells whether a directory starts there, so only first
  // sectors are read; whole clusters are read later for the directories found. With small
  // clusters the first sectors of neighbouring clusters come in one request (the few sectors
  // between them cost less than a request of their own); with larger ones each is read alone.
  bool Sweep(std::uint64_t from) {
    const std::uint64_t total = volume_.partEnd - volume_.partStart;
    const std::uint64_t spc = volume_.sectorsPerCluster;
    const bool merge = spc <= kMergedSweepMaxSectorsPerCluster;
    // Clusters per run: a merged read spans (n - 1) * spc + 1 sectors and stays within a batch.
    const std::uint64_t perBatch = std::max<std::uint64_t>(1, (batchSectors_ - 1) / spc + 1);
    const std::uint64_t bufferSectors = merge ? (perBatch - 1) * spc + 1 : 1;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(bufferSectors) * kSectorBytes);
    // Clusters past the end of a truncated image read as nothing: they are not asked for.
    const std::uint64_t deviceSectors = DeviceSectorCount(volume_.device);
    std::uint64_t lastCluster = volume_.lastCluster;
    if (deviceSectors > 0) {
      const std::uint64_t first = volume_.ClusterSector(2);
      lastCluster = first >= deviceSectors
                        ? 1
                        : std::min<std::uint64_t>(lastCluster, 2 + (deviceSectors - 1 - first) / spc);
    }
    sweepEnd_ = volume_.ClusterSector(lastCluster + 1);
    for (std::uint64_t c = from; c <= lastCluster;) {
      if (Stopped()) {
        Checkpoint(c);
        return false;
      }
      // The next run of clusters nobody has accounted for yet; the others are not read.
      while (c <= lastCluster && IsClaimed(c)) ++c;
      if (c > lastCluster) break;
      std::uint64_t n = 1;
      while (n < perBatch && c + n <= lastCluster && !IsClaimed(c + n)) ++n;
      if (merge)
        fat::ReadZeroFilled(volume_.device, buffer.data(), volume_.ClusterSector(c),
                            static_cast<std::uint32_t>((n - 1) * spc + 1));
      for (std::uint64_t i = 0; i < n; ++i) {
        const auto cluster = static_cast<std::uint32_t>(c + i);
        // A directory found earlier in this run may have taken the clusters after it.
        if (IsClaimed(cluster)) continue;
        if (!merge) fat::ReadZeroFilled(volume_.device, buffer.data(), volume_.ClusterSector(cluster), 1);
        std::span<const std::uint8_t> first(buffer.data() + (merge ? i * spc * kSectorBytes : 0),
                                            kSectorBytes);
        if (fat::IsDirectoryStart(first, false)) {
          if (fat::DotCluster(first, volume_.kind) == cluster)
            HandleDirectoryStart(cluster, first);
          else if (fat::IsDirectoryStart(first, true))
            staleStarts_.push_back(cluster);
        } else if (fat::IsLongNameAttribute(first[11]) && fat::LooksLikeDirectorySector(first)) {
          longNameStarts_.push_back(cluster);
        } else if (extensive_ && fat::MayHoldStrayEntries(first)) {
          strayStarts_.push_back(cluster);
        }
      }
      c += n;
      progress_.Report(volume_.ClusterSector(c) - volume_.partStart, total);
      if (checkpointer_.Due()) Checkpoint(std::min(c, lastCluster + 1));
    }
    return true;
  }

  // Where the sweep stands before cluster `next`: everything found before it is catalogued,
  // the rest of what it knows goes in the state.
  void Checkpoint(std::uint64_t next) {
    if (!checkpointer_.Active()) return;
    StateWriter out;
    out.U32(kStateVersion);
    out.U64(next);
    out.U64(volume_.lastCluster);
    out.U64(volume_.sectorsPerCluster);
    out.U64(volume_.ClusterSector(2));
    out.U8(extensive_ ? 1 : 0);
    out.U32(static_cast<std::uint32_t>(sequence_));
    out.U64(claimed_.size());
    for (std::uint64_t w : claimed_) out.U64(w);
    auto sorted = [&out](const auto& set) {
      std::vector<std::uint64_t> v(set.begin(), set.end());
      std::sort(v.begin(), v.end());
      out.U64(v.size());
      for (std::uint64_t x : v) out.U64(x);
    };
    sorted(liveDirectories_);
    sorted(namedFolders_);
    sorted(goneDirectories_);
    out.U64(keys_.size());
    for (std::uint64_t k : keys_) out.U64(k);
    for (const auto* list : {&longNameStarts_, &staleStarts_, &strayStarts_}) {
      out.U64(list->size());
      for (std::uint32_t c : *list) out.U32(c);
    }
    out.U64(orphans_.size());
    for (const OrphanDirectory& o : orphans_) {
      out.U32(o.cluster);
      out.U64(o.sector);
      for (std::uint8_t b : o.dot.name) out.U8(b);
      out.U8(o.dot.attributes);
      out.U8(o.dot.caseFlags);
      out.U16(o.dot.clusterHigh);
      out.U16(o.dot.writeTime);
      out.U16(o.dot.writeDate);
      out.U16(o.dot.clusterLow);
      out.U32(o.dot.size);
      out.U8(o.deleted ? 1 : 0);
    }
    checkpointer_.Save(volume_.ClusterSector(next), sweepEnd_, out.Take());
  }

  // Puts back what Checkpoint wrote; false when the state is damaged or was taken on another
  // volume or in another mode.
  bool Restore(const SweepCheckpoint& checkpoint, std::uint64_t* next) {
    StateReader in(checkpoint.state);
    if (in.U32() != kStateVersion) return false;
    *next = in.U64();
    if (in.U64() != volume_.lastCluster || in.U64() != volume_.sectorsPerCluster ||
        in.U64() != volume_.ClusterSector(2) || in.Bool() != extensive_ || !in.Ok())
      return false;
    if (*next < 2 || *next > std::uint64_t{volume_.lastCluster} + 1 ||
        checkpoint.position != volume_.ClusterSector(*next))
      return false;
    sequence_ = static_cast<std::int32_t>(in.U32());
    if (in.Count(8) != claimed_.size()) return false;
    for (std::uint64_t& w : claimed_) w = in.U64();
    auto set = [&in](auto& out) {
      const std::uint64_t n = in.Count(8);
      for (std::uint64_t i = 0; i < n && in.Ok(); ++i)
        out.insert(static_cast<typename std::decay_t<decltype(out)>::value_type>(in.U64()));
    };
    set(liveDirectories_);
    set(namedFolders_);
    set(goneDirectories_);
    keys_.resize(static_cast<std::size_t>(in.Count(8)));
    for (std::uint64_t& k : keys_) k = in.U64();
    for (auto* list : {&longNameStarts_, &staleStarts_, &strayStarts_}) {
      list->resize(static_cast<std::size_t>(in.Count(4)));
      for (std::uint32_t& c : *list) c = in.U32();
    }
    orphans_.resize(static_cast<std::size_t>(in.Count(38)));
    for (OrphanDirectory& o : orphans_) {
      o.cluster = in.U32();
      o.sector = in.U64();
      for (std::uint8_t& b : o.dot.name) b = in.U8();
      o.dot.attributes = in.U8();
      o.dot.caseFlags = in.U8();
      o.dot.clusterHigh = in.U16();
      o.dot.writeTime = in.U16();
      o.dot.writeDate = in.U16();
      o.dot.clusterLow = in.U16();
      o.dot.size = in.U32();
      o.deleted = in.Bool();
      if (!volume_.IsDataCluster(o.cluster)) return false;
    }
    // Clusters noted for after the sweep are read then: only the volume's own.
    for (const auto* list : {&longNameStarts_, &staleStarts_, &strayStarts_})
      for (std::uint32_t c : *list)
        if (!volume_.IsDataCluster(c)) return false;
    return in.Ok() && in.AtEnd();
  }

  static constexpr std::uint32_t kStateVersion = 1;

  RecoverySession& session_;
  RecoveryView& view_;
  fat::FatVolume volume_;
  fat::FatTable fat1_;
  fat::FatTable fat2_;
  ProgressReporter progress_;
  Checkpointer checkpointer_;
  std::uint64_t sweepEnd_ = 0;
  int codePage_ = fat::kDefaultOemCodePage;
  std::uint32_t batchSectors_ = kDefaultBatchSectors;
  std::int32_t sequence_ = 1;
  std::vector<std::uint64_t> claimed_;
  std::unordered_set<std::uint32_t> liveDirectories_;
  std::unordered_set<std::uint32_t> namedFolders_;
  std::vector<std::pair<DirectoryRecord, std::uint64_t>> deletedFolders_;
  // Directories (by first cluster) that are deleted: everything in them is deleted too.
  std::unordered_set<std::uint64_t> goneDirectories_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> liveFiles_;  // first cluster, size
  std::vector<std::uint64_t> keys_;  // of every entry catalogued, to know copies again
  std::unordered_set<std::uint64_t> seenKeys_;
  std::vector<std::uint32_t> longNameStarts_;
  std::vector<std::uint32_t> staleStarts_;
  bool extensive_ = false;
  std::vector<std::uint32_t> strayStarts_;  // extensive scan: clusters that may hold entries
  std::vector<OrphanDirectory> orphans_;
};

}  // namespace

void ScanFatClusters(RecoverySession& session, RecoveryView& view) {
  ScanFatClusters(session, view, FatReadOptions{});
}

void ScanFatClusters(RecoverySession& session, RecoveryView& view, const FatReadOptions& options) {
  session.searchRangeEnd = session.selectedPartitionEnd > 0 ? session.selectedPartitionEnd - 1 : 0;
  ProgressReporter progress(view);
  auto volume = fat::VolumeFromParameters(session.partParams, session.scanFsName,
                                          session.SelectedDevice(), session.selectedPartitionStart,
                                          session.selectedPartitionEnd);
  // A checkpoint of this sweep is used once: the run goes on from it.
  std::optional<SweepCheckpoint> resume;
  if (session.resumeFrom && session.resumeFrom->sweep == "fat") {
    resume = std::move(session.resumeFrom);
    session.resumeFrom.reset();
    if (!volume) {
      session.failureReason =
          "the checkpoint to go on from cannot be used: the partition's parameters describe no "
          "FAT volume";
      return;
    }
  }
  if (!volume) {
    // Nothing to sweep: the geometry does not describe a volume inside the partition.
    progress.Report(0, 1);
    progress.Report(1, 1);
    return;
  }
  Scanner scanner(session, view, std::move(*volume), options);
  scanner.Run(resume ? &*resume : nullptr);
}

}  // namespace brevant

// Finding FILE records and INDX buffers by their signatures: the volume is read in large
// batches and every sector start examined in memory.
#include "ntfs/record_sweep.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "core/read_sectors.h"
#include "core/sweep_checkpoint.h"
#include "core/sweep_progress.h"
#include "core/text.h"
#include "ntfs/conditions.h"
#include "ntfs/extents.h"
#include "ntfs/ntfs_ids.h"
#include "ntfs/record_info.h"

namespace brevant {
namespace {

using ntfs::Bytes;
using ntfs::FileReference;

constexpr std::uint32_t kDefaultBatchSectors = 2048;  // 1 MiB: stays in the cache while examined
// Records 0 to 15 are the volume's own files ($MFT, $MFTMirr, $LogFile, ...); copies of them
// lie outside the MFT by design ($MFTMirr) and hold nothing of the user's.
constexpr std::uint64_t kFirstUserRecord = 16;
constexpr std::uint32_t kIndexDirectoryFlag = 0x10000000;  // $FILE_NAME flags: a directory
constexpr std::uint32_t kIndexEntryLast = 0x02;

// One thing found: a FILE record, or an entry of a folder index whose record is gone.
struct Found {
  std::u16string name;
  std::uint64_t record = 0;  // its own MFT record number (from the header or the index entry)
  std::uint16_t sequence = 0;
  bool numbered = false;  // the record number is known
  FileReference parent;
  std::int64_t creationTime = 0;
  std::uint64_t size = 0;
  std::uint64_t sector = 0;
  bool folder = false;
  bool fromIndex = false;
  bool inUse = false;
  std::int64_t id = 0;
  std::vector<ntfs::NamedStream> streams;  // named $DATA streams the record itself holds
  // Where the data of the unnamed stream and of each named one lies, for their condition.
  ntfs::Placement place;
  std::vector<ntfs::Placement> streamPlaces;
};

class VolumeSweep {
 public:
  VolumeSweep(RecoverySession& session, RecoveryView& view, const NtfsSweepOptions& options)
      : session_(session),
        view_(view),
        volume_(ntfs::VolumeOf(session)),
        options_(options),
        checkpointer_(session, "ntfs") {}

  // From the volume's start, or (`resume`) from a checkpoint of this sweep: the MFT walk's
  // catalogue is then back in the session, and what the sweep had found is in the state.
  void Run(const SweepCheckpoint* resume) {
    // Never toward an end beyond the device, whatever the partition claims.
    if (const std::uint64_t device = DeviceSectorCount(volume_.device); device != 0)
      volume_.endSector = std::min(volume_.endSector, device);
    const bool usable = volume_.sectorsPerCluster != 0 && volume_.endSector != UINT64_MAX &&
                        volume_.endSector > volume_.firstSector;
    NoteCatalogue();
    NoteMftExtents();
    std::uint64_t from = volume_.firstSector;
    if (resume && (!usable || !Restore(*resume, &from))) {
      session_.failureReason =
          "the checkpoint to go on from cannot be used: its NTFS sweep state is damaged or does "
          "not belong to this volume";
      return;
    }
    if (!usable) return;
    Sweep(from);
    Append();
  }

 private:
  // What the MFT walk catalogued: its entries are not added twice, and its folders can still
  // be parents of what the sweep finds.
  void NoteCatalogue() {
    const Catalogue& c = session_.catalogue;
    for (int list = 0; list < 2; ++list) {
      for (const CatalogueNode* n = list == 0 ? c.folderList.First() : c.fileList.First(); n;
           n = CatalogueList<CatalogueNode>::Next(n)) {
        const std::int64_t id = TextToInt(n->id);
        if (id < 0 || id == ntfs::kLostFolderId) continue;
        known_.insert(Key(static_cast<std::uint64_t>(id), TextToInt(n->parentId), n->name));
        knownRecords_.insert(static_cast<std::uint64_t>(id));
        if (n->IsFolder()) currentFolders_.insert(static_cast<std::uint64_t>(id));
      }
    }
  }

  static std::u16string Key(std::uint64_t record, std::int64_t parent, std::u16string_view name) {
    return ToText(record) + u"/" + ToText(static_cast<std::uint64_t>(parent)) + u"/" +
           std::u16string(name);
  }

  void NoteMftExtents() {
    const MftExtentTable& t = session_.mftExtents;
    const std::size_t n = std::min({t.mftRunCount, t.mftRunStart.size(), t.mftRunLength.size()});
    for (std::size_t i = 0; i < n; ++i)
      if (t.mftRunStart[i] != 0)
        mft_.emplace(t.mftRunStart[i], t.mftRunStart[i] + t.mftRunLength[i]);
  }

  bool InCurrentMft(std::uint64_t sector) const {
    auto it = mft_.upper_bound(sector);
    if (it == mft_.begin()) return false;
    --it;
    return sector < it->second;
  }

  void Sweep(std::uint64_t from) {
    const std::uint64_t batch =
        options_.batchSectors ? options_.batchSectors : kDefaultBatchSectors;
    const std::uint32_t recordSectors = volume_.RecordSectors();
    const std::uint64_t indexSectors = session_.scanParams.sectorsPerIndexRecord >= 1 &&
                                               session_.scanParams.sectorsPerIndexRecord <= 128
                                           ? session_.scanParams.sectorsPerIndexRecord
                                           : 8;
    // Each read reaches this far past its batch, so a record or index buffer that starts in
    // one batch is read whole.
    const std::uint64_t overlap = std::max<std::uint64_t>(recordSectors, indexSectors);
    const std::uint64_t first = volume_.firstSector, end = volume_.endSector;
    std::vector<std::uint8_t> buffer((batch + overlap) * ntfs::kSectorBytes);
    std::vector<std::uint8_t> record(volume_.recordBytes), index(indexSectors * ntfs::kSectorBytes);
    SweepProgress progress(view_, end - first);
    for (std::uint64_t at = from; at < end; at += batch) {
      progress.Report(at - first);
      if (HonourStop(session_, view_)) {
        Checkpoint(at);
        return;
      }
      const std::uint64_t count = std::min(batch + overlap, end - at);
      const std::uint64_t own = std::min(batch, end - at);
      std::memset(buffer.data(), 0, buffer.size());
      ReadSectors(volume_.device, buffer.data(), at, static_cast<std::uint32_t>(count));
      for (std::uint64_t k = 0; k < own; ++k) {
        const std::uint8_t* s = buffer.data() + k * ntfs::kSectorBytes;
        if (std::memcmp(s, "FILE", 4) == 0) {
          if (k + recordSectors > count || InCurrentMft(at + k)) continue;
          std::memcpy(record.data(), s, record.size());
          FileRecord(record, at + k);
        } else if (std::memcmp(s, "INDX", 4) == 0) {
          if (k + indexSectors > count) continue;
          std::memcpy(index.data(), s, index.size());
          IndexBuffer(index, at + k);
        }
      }
      if (checkpointer_.Due()) Checkpoint(at + own);
    }
    progress.Report(end - first);
  }

  // Where the sweep stands before sector `next`: what it found so far is not yet catalogued
  // (that happens when it ends), so all of it goes in the state, with the MFT walk's
  // condition facts.
  void Checkpoint(std::uint64_t next) {
    if (!checkpointer_.Active()) return;
    StateWriter out;
    out.U32(kStateVersion);
    out.U64(next);
    out.U64(volume_.firstSector);
    out.U64(volume_.endSector);
    out.U64(volume_.recordBytes);
    for (const auto* list : {&found_, &indexEntries_}) {
      out.U64(list->size());
      for (const Found& f : *list) EncodeFound(out, f);
    }
    EncodeConditionFacts(out, session_.conditionFacts);
    checkpointer_.Save(next, volume_.endSector, out.Take());
  }

  bool Restore(const SweepCheckpoint& checkpoint, std::uint64_t* next) {
    StateReader in(checkpoint.state);
    if (in.U32() != kStateVersion) return false;
    *next = in.U64();
    if (in.U64() != volume_.firstSector || in.U64() != volume_.endSector ||
        in.U64() != volume_.recordBytes || !in.Ok())
      return false;
    if (*next < volume_.firstSector || *next > volume_.endSector || checkpoint.position != *next)
      return false;
    for (auto* list : {&found_, &indexEntries_}) {
      list->resize(static_cast<std::size_t>(in.Count(kFoundMinBytes)));
      for (Found& f : *list) DecodeFound(in, f);
    }
    if (!in.Ok() || !DecodeConditionFacts(in, session_.catalogue, session_.conditionFacts) ||
        !in.AtEnd())
      return false;
    // Every record found so far was first seen here.
    for (const Found& f : found_)
      seen_.insert(Key(f.record, static_cast<std::int64_t>(f.parent.record), f.name) + u"/" +
                   ToText(f.sequence));
    return true;
  }

  static void EncodePlacement(StateWriter& out, const ntfs::Placement& p) {
    out.U8(static_cast<std::uint8_t>(p.kind));
    out.U64(p.runs.size());
    for (const ClusterRun& r : p.runs) {
      out.U64(r.vcn);
      out.U64(r.lcn);
      out.U64(r.length);
    }
  }

  static void DecodePlacement(StateReader& in, ntfs::Placement& p) {
    const std::uint8_t kind = in.U8();
    if (kind > static_cast<std::uint8_t>(DataPlacements::Kind::InRecord)) in.Fail();
    p.kind = static_cast<DataPlacements::Kind>(kind);
    p.runs.resize(static_cast<std::size_t>(in.Count(24)));
    for (ClusterRun& r : p.runs) {
      r.vcn = in.U64();
      r.lcn = in.U64();
      r.length = in.U64();
    }
  }

  static void EncodeFound(StateWriter& out, const Found& f) {
    out.Text(f.name);
    out.U64(f.record);
    out.U16(f.sequence);
    out.U8(f.numbered);
    out.U64(f.parent.record);
    out.U16(f.parent.sequence);
    out.I64(f.creationTime);
    out.U64(f.size);
    out.U64(f.sector);
    out.U8(f.folder);
    out.U8(f.fromIndex);
    out.U8(f.inUse);
    out.I64(f.id);
    out.U64(f.streams.size());
    for (const ntfs::NamedStream& stream : f.streams) {
      out.Text(stream.name);
      out.U64(stream.size);
    }
    EncodePlacement(out, f.place);
    out.U64(f.streamPlaces.size());
    for (const ntfs::Placement& p : f.streamPlaces) EncodePlacement(out, p);
  }

  static void DecodeFound(StateReader& in, Found& f) {
    f.name = in.Text();
    f.record = in.U64();
    f.sequence = in.U16();
    f.numbered = in.Bool();
    f.parent.record = in.U64();
    f.parent.sequence = in.U16();
    f.creationTime = in.I64();
    f.size = in.U64();
    f.sector = in.U64();
    f.folder = in.Bool();
    f.fromIndex = in.Bool();
    f.inUse = in.Bool();
    f.id = in.I64();
    f.streams.resize(static_cast<std::size_t>(in.Count(16)));
    for (ntfs::NamedStream& stream : f.streams) {
      stream.name = in.Text();
      stream.size = in.U64();
    }
    DecodePlacement(in, f.place);
    f.streamPlaces.resize(static_cast<std::size_t>(in.Count(9)));
    for (ntfs::Placement& p : f.streamPlaces) DecodePlacement(in, p);
  }

  static constexpr std::uint32_t kStateVersion = 1;
  static constexpr std::size_t kFoundMinBytes = 89;  // a Found with no name, stream or run

  // A record is taken when its header and fix-ups are those of a real one.
  void FileRecord(std::vector<std::uint8_t>& bytes, std::uint64_t sector) {
    auto header = ntfs::FileRecordHeader::Parse(bytes);
    if (!header || header->IsExtension()) return;
    if (header->usaCount != bytes.size() / ntfs::kSectorBytes + 1) return;
    if (header->bytesAllocated != bytes.size() || header->bytesInUse > bytes.size()) return;
    if (!ntfs::ApplyFixups(bytes).consistent) return;
    // NTFS 3.1 headers carry the record's own number; older ones do not.
    const bool numbered = header->usaOffset >= 0x30;
    const std::uint64_t number = numbered ? ntfs::Le32(bytes.data() + 0x2C) : 0;
    if (numbered && number < kFirstUserRecord) return;
    ntfs::DescribeRecord(bytes, *header, ntfs::ExtensionSource{}, info_);
    if (!info_.hasName) return;
    // A file is found under each of its names (hard links), a folder under its best one, as
    // the MFT walk lists them.
    const bool folder = header->IsDirectory();
    // Data held in a record outside the MFT lies in the clusters that hold the record, which a
    // live file may have taken since.
    const bool judge = session_.conditionFacts.enabled;
    auto placeStream = [&](std::u16string_view stream, ntfs::Placement& out) {
      ntfs::PlaceStream(bytes, *header, ntfs::ExtensionSource{}, stream, out);
      if (out.kind == DataPlacements::Kind::InRecord)
        ntfs::PlaceInSweptRecord(volume_, sector, out);
    };
    if (judge) {
      if (!folder) placeStream({}, place_);
      streamPlaces_.resize(info_.streamCount);
      for (std::size_t i = 0; i < info_.streamCount; ++i)
        placeStream(info_.streams[i].name, streamPlaces_[i]);
    }
    for (std::size_t k = 0; k < (folder ? 1 : info_.linkCount); ++k) {
      const ntfs::FileNameValue& name =
          folder ? info_.Name() : info_.links[(info_.primary + k) % info_.linkCount];
      if (numbered &&
          known_.count(Key(number, static_cast<std::int64_t>(name.parent.record), name.name)))
        continue;  // the MFT walk has this very entry
      Found f;
      f.name = name.name;
      f.record = number;
      f.sequence = header->sequence;
      f.numbered = numbered;
      f.parent = name.parent;
      f.creationTime = name.creationTime;
      f.folder = folder;
      f.size = folder ? 0 : info_.dataSize;
      f.sector = sector;
      f.inUse = header->InUse();
      f.streams.assign(info_.streams.begin(),
                       info_.streams.begin() + static_cast<std::ptrdiff_t>(info_.streamCount));
      if (judge) {
        if (!folder) f.place = place_;
        f.streamPlaces = streamPlaces_;
      }
      // Two copies of one record (an MFT and a leftover of it) count once.
      if (!seen_
               .insert(Key(number, static_cast<std::int64_t>(f.parent.record), f.name) + u"/" +
                       ToText(f.sequence))
               .second)
        continue;
      found_.push_back(std::move(f));
    }
  }

  // The entries of a folder index; kept for later, when it is known which records were found.
  void IndexBuffer(std::vector<std::uint8_t>& bytes, std::uint64_t sector) {
    const std::size_t usa = ntfs::Le16(bytes.data() + 4), usaCount = ntfs::Le16(bytes.data() + 6);
    if (usaCount != bytes.size() / ntfs::kSectorBytes + 1 || usa < 0x28 || usa >= 0x100) return;
    if (!ntfs::ApplyFixups(bytes).consistent) return;
    const std::size_t nodeStart = 0x18;
    const std::size_t entriesAt = nodeStart + ntfs::Le32(bytes.data() + nodeStart);
    const std::size_t entriesEnd = nodeStart + ntfs::Le32(bytes.data() + nodeStart + 4);
    if (entriesAt < 0x28 || entriesEnd > bytes.size() || entriesAt >= entriesEnd) return;
    // Bounded by the buffer: every entry is at least 16 bytes long.
    for (std::size_t at = entriesAt; at + 16 <= entriesEnd;) {
      const std::uint8_t* e = bytes.data() + at;
      const std::size_t length = ntfs::Le16(e + 8), stream = ntfs::Le16(e + 10);
      const std::uint32_t flags = ntfs::Le32(e + 12);
      if (flags & kIndexEntryLast) break;
      if (length < 16 || length % 8 != 0 || at + length > entriesEnd || 16 + stream > length) break;
      ntfs::FileNameValue name;
      if (stream >= 0x42 && ntfs::FileNameValue::ParseInto(Bytes(e + 16, stream), name) &&
          name.nameSpace != 2 && !name.name.empty()) {
        const FileReference ref = FileReference::From(ntfs::Le64(e));
        if (ref.record >= kFirstUserRecord) {
          Found f;
          f.name = std::move(name.name);
          f.record = ref.record;
          f.sequence = ref.sequence;
          f.numbered = true;
          f.parent = name.parent;
          f.creationTime = name.creationTime;
          f.folder = (ntfs::Le32(e + 16 + 0x38) & kIndexDirectoryFlag) != 0;
          f.size = f.folder ? 0 : ntfs::Le64(e + 16 + 0x30);
          f.sector = sector;
          f.fromIndex = true;
          indexEntries_.push_back(std::move(f));
        }
      }
      at += length;
    }
  }

  // Ids, then parents, then the catalogue.
  void Append() {
    // Entries of an index whose record was found (now or by the MFT walk) add nothing.
    std::set<std::pair<std::uint64_t, std::uint16_t>> records;
    for (const Found& f : found_)
      if (f.numbered) records.emplace(f.record, f.sequence);
    std::set<std::u16string> indexed;
    for (Found& f : indexEntries_) {
      if (records.count({f.record, f.sequence})) continue;
      if (knownRecords_.count(f.record) &&
          known_.count(Key(f.record, static_cast<std::int64_t>(f.parent.record), f.name)))
        continue;
      if (!indexed.insert(Key(f.record, static_cast<std::int64_t>(f.parent.record), f.name)).second)
        continue;  // the same entry in another copy of the index
      found_.push_back(std::move(f));
    }
    indexEntries_.clear();

    // Which found folder answers to a parent reference: a FILE record before an index entry.
    std::unordered_map<std::uint64_t, std::vector<const Found*>> foldersByRecord;
    std::int64_t next = kSweptIdBase;
    for (Found& f : found_) {
      f.id = next++;
      if (f.folder && f.numbered) foldersByRecord[f.record].push_back(&f);
    }
    for (auto& [record, list] : foldersByRecord)
      std::stable_sort(list.begin(), list.end(), [](const Found* a, const Found* b) {
        return !a->fromIndex && b->fromIndex;
      });

    Catalogue& c = session_.catalogue;
    std::int32_t sequence = static_cast<std::int32_t>(c.folderList.count.load()) + 1;
    for (const Found& f : found_) {
      const std::u16string parent = ParentText(f, foldersByRecord);
      const std::u16string sector = ToText(f.sector), id = ToText(static_cast<std::uint64_t>(f.id));
      const std::u16string date =
          f.creationTime < 0 ? u"-" + ToText(0 - static_cast<std::uint64_t>(f.creationTime))
                             : ToText(static_cast<std::uint64_t>(f.creationTime));
      const std::u16string_view spare = f.fromIndex ? kIndexEntryMark : u"0";
      // Nothing found here belongs to the volume as it stands: it is all marked deleted.
      if (f.folder)
        c.AppendFolder(f.name, sector, id, parent, date, u"0", u"0", u"16", spare, u"FOLDER", u"1",
                       sequence++);
      else
        ntfs::Keep(session_.conditionFacts,
                   c.AppendFile(f.name, sector, id, parent, date, u"0", ToText(f.size), u"16",
                                spare, u"FILE", u"1", sequence),
                   f.place);
      // Named streams beside their file (a folder's in the folder's parent), as the MFT walk
      // lists them.
      for (std::size_t i = 0; i < f.streams.size(); ++i) {
        const ntfs::NamedStream& s = f.streams[i];
        const CatalogueNode* file =
            c.AppendFile(f.name + u":" + s.name, sector, id, parent, date, u"0", ToText(s.size),
                         u"16", u"0", u"FILE", u"1", sequence, s.name);
        ntfs::Keep(session_.conditionFacts, file,
                   i < f.streamPlaces.size() ? f.streamPlaces[i] : ntfs::Placement{});
      }
    }
  }

  std::u16string ParentText(
      const Found& f,
      const std::unordered_map<std::uint64_t, std::vector<const Found*>>& foldersByRecord) const {
    const FileReference p = f.parent;
    if (auto it = foldersByRecord.find(p.record); it != foldersByRecord.end()) {
      for (const Found* candidate : it->second)
        if (candidate != &f && (p.sequence == 0 || candidate->sequence == p.sequence ||
                                candidate->sequence == static_cast<std::uint16_t>(p.sequence + 1)))
          return ToText(static_cast<std::uint64_t>(candidate->id));
    }
    // The root keeps its number through a reformat; other current folders may be parents too.
    if (p.record == ntfs::kRootRecord || currentFolders_.count(p.record)) return ToText(p.record);
    return std::u16string(ntfs::kLostFolderIdText);
  }

  RecoverySession& session_;
  RecoveryView& view_;
  ntfs::Volume volume_;
  NtfsSweepOptions options_;
  Checkpointer checkpointer_;
  std::map<std::uint64_t, std::uint64_t> mft_;  // current MFT extents: first sector -> end
  std::set<std::u16string> known_;              // record/parent/name of catalogued entries
  std::set<std::uint64_t> knownRecords_;
  std::set<std::uint64_t> currentFolders_;
  std::set<std::u16string> seen_;
  std::vector<Found> found_;
  std::vector<Found> indexEntries_;
  ntfs::RecordInfo info_;
  ntfs::Placement place_;
  std::vector<ntfs::Placement> streamPlaces_;
};

}  // namespace

void SweepNtfsVolume(RecoverySession& session, RecoveryView& view,
                     const NtfsSweepOptions& options) {
  // A checkpoint of this sweep is used once: the run goes on from it.
  std::optional<SweepCheckpoint> resume;
  if (session.resumeFrom && session.resumeFrom->sweep == "ntfs") {
    resume = std::move(session.resumeFrom);
    session.resumeFrom.reset();
  }
  VolumeSweep(session, view, options).Run(resume ? &*resume : nullptr);
}

}  // namespace brevant

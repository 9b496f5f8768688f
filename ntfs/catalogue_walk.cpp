// The quick NTFS scan: every MFT record, in MFT order, read extent by extent in large batches
// and decoded from memory once.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "core/read_sectors.h"
#include "core/text.h"
#include "ntfs/conditions.h"
#include "ntfs/extents.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_ids.h"
#include "ntfs/record_info.h"

namespace brevant {
namespace {

using ntfs::Bytes;

constexpr std::uint64_t kBatchBytes = 2u << 20;
constexpr std::uint64_t kBitmapRecord = 6;  // $Bitmap: the volume's allocation map

// Decimal text without allocating; the catalogue copies it.
class Number {
 public:
  explicit Number(std::uint64_t v) {
    do {
      buf_[--begin_] = static_cast<char16_t>(u'0' + v % 10);
      v /= 10;
    } while (v != 0);
  }
  static Number Signed(std::int64_t v) {
    if (v >= 0) return Number(static_cast<std::uint64_t>(v));
    Number n(0 - static_cast<std::uint64_t>(v));
    n.buf_[--n.begin_] = u'-';
    return n;
  }
  std::u16string_view View() const { return {buf_ + begin_, kSize - begin_}; }

 private:
  static constexpr std::size_t kSize = 21;
  char16_t buf_[kSize];
  std::size_t begin_ = kSize;
};

// What the walk learned about each record it saw, for the parent checks.
class RecordStates {
 public:
  struct State {
    bool known = false;  // a base FILE record was there
    bool inUse = false;
    bool directory = false;
    std::uint16_t sequence = 0;
  };
  void Set(std::uint64_t record, State s) {
    const std::uint32_t packed =
        0x80000000u | (s.inUse ? 0x40000000u : 0) | (s.directory ? 0x20000000u : 0) | s.sequence;
    // Dense for the records of a real MFT; a hostile numbering far past them goes to a map.
    if (record < dense_.size() || record < dense_.size() * 2 + (1u << 20)) {
      if (record >= dense_.size()) dense_.resize(record + 1, 0);
      dense_[record] = packed;
    } else {
      sparse_[record] = packed;
    }
  }
  State Get(std::uint64_t record) const {
    std::uint32_t packed = 0;
    if (record < dense_.size()) {
      packed = dense_[record];
    } else if (auto it = sparse_.find(record); it != sparse_.end()) {
      packed = it->second;
    }
    State s;
    s.known = (packed & 0x80000000u) != 0;
    s.inUse = (packed & 0x40000000u) != 0;
    s.directory = (packed & 0x20000000u) != 0;
    s.sequence = static_cast<std::uint16_t>(packed & 0xFFFF);
    return s;
  }

 private:
  std::vector<std::uint32_t> dense_;
  std::unordered_map<std::uint64_t, std::uint32_t> sparse_;
};

// Whether the parent reference names the folder that now lives in its record. A deleted
// folder's record has had its sequence number raised by one when it was freed.
enum class ParentCheck { Matches, Wrong, Unknown };
ParentCheck CheckParent(const RecordStates& states, ntfs::FileReference parent) {
  const auto s = states.Get(parent.record);
  if (!s.known) return ParentCheck::Unknown;
  if (!s.directory) return ParentCheck::Wrong;
  if (parent.sequence == 0 || parent.sequence == s.sequence) return ParentCheck::Matches;
  if (!s.inUse) {
    const std::uint16_t before =
        s.sequence == 1 ? 0xFFFF : static_cast<std::uint16_t>(s.sequence - 1);
    if (parent.sequence == before) return ParentCheck::Matches;
  }
  return ParentCheck::Wrong;
}

// An entry whose parent's record comes later in the MFT: appended once that record was seen.
struct PendingEntry {
  std::u16string name;
  std::uint64_t record = 0;
  std::uint64_t sector = 0;
  ntfs::FileReference parent;
  std::int64_t creationTime = 0;
  std::uint64_t size = 0;
  bool folder = false;
  bool deleted = false;
  std::u16string_view spare;  // one of the walk's constant marks
  std::u16string stream;
  ntfs::Placement place;  // where a deleted file's data lies
};

// One entry the walk appends: a folder, a file, or one named stream of either.
struct EntryText {
  std::u16string_view name;
  std::uint64_t size = 0;
  bool folder = false;
  std::u16string_view spare = u"0";
  std::u16string_view stream;
  const ntfs::Placement* place = nullptr;  // a deleted file's data, for its condition
};

class CatalogueWalk {
 public:
  CatalogueWalk(RecoverySession& session, RecoveryView& view)
      : session_(session),
        view_(view),
        progress_(view),
        table_(session.mftExtents),
        volume_(ntfs::VolumeOf(session)),
        facts_(session.conditionFacts) {}

  void Run();

 private:
  bool ProcessRecord(std::uint64_t record, std::uint64_t sector, ntfs::MutableBytes bytes);
  // Appends `entry` under the folder `name` names (or holds it back until that folder's record
  // was seen). False when a stop ends the walk.
  bool Place(const EntryText& entry, const ntfs::FileNameValue& name, std::uint64_t record,
             std::uint64_t sector, bool deleted);
  // Appends with the walk's stop checks: after a folder, before a file. False when a stop ends
  // the walk.
  bool Append(const EntryText& entry, std::uint64_t record, std::uint64_t sector,
              std::u16string_view parentText, std::int64_t creationTime, bool deleted);
  // Appends the catalogue entry itself.
  void Write(const EntryText& entry, std::uint64_t record, std::uint64_t sector,
             std::u16string_view parentText, std::int64_t creationTime, bool deleted);
  // The mark of a deleted record's stream `stream` whose pieces are joined from extension
  // records freed with it, when they map all of its `size` bytes; "0" otherwise.
  std::u16string_view FreedMark(ntfs::Bytes record, const ntfs::FileRecordHeader& header,
                                const ntfs::ExtensionSource& source, std::u16string_view stream,
                                std::uint64_t size) const;
  void AppendPending();
  // Notes what an in-use record tells about allocation: the clusters its runs claim, and where
  // $Bitmap lies.
  void NoteLiveRecord(std::uint64_t record, ntfs::Bytes bytes, const ntfs::FileRecordHeader& header);
  // Notes that MFT record `record` could not be read whole; `sector` is its first bad sector.
  void NoteReadError(std::uint64_t record, std::uint64_t sector);
  // Counts and names, in the session, the records that could not be read before MFT sector
  // `reached`: read errors and the MFT's unreachable stretches.
  void ReportUnreadable(std::uint64_t reached);
  // Fills `buffer` with the MFT's sectors [first, first + count), sparse and unreadable ones as
  // zeros, and the first sector of each record in it (0 when it lies in a sparse extent).
  void ReadBatch(std::uint64_t first, std::uint64_t count, std::vector<std::uint8_t>& buffer,
                 std::vector<std::uint64_t>& recordSectors);

  RecoverySession& session_;
  RecoveryView& view_;
  ProgressReporter progress_;
  const MftExtentTable& table_;
  ntfs::Volume volume_;
  ConditionFacts& facts_;
  ntfs::Placement dataPlace_;               // the current deleted record's unnamed stream
  std::vector<ntfs::Placement> streamPlaces_;  // and its named ones
  RecordStates states_;
  std::vector<PendingEntry> pending_;
  ntfs::RecordInfo info_;
  std::vector<std::u16string_view> streamMarks_;
  std::u16string streamName_;
  std::int32_t folderCounter_ = 1;
  // Cursor over the extents for the batches, which only move forward.
  std::size_t extent_ = 0;
  std::uint64_t extentVirtualStart_ = 0;
  std::vector<std::uint32_t> badSectors_;
  std::vector<UnreadableRecords> readErrors_;  // in record order, joined where they touch
  std::uint64_t deviceSectors_ = 0;             // the device's size, 0 when unknown
};

void CatalogueWalk::NoteReadError(std::uint64_t record, std::uint64_t sector) {
  if (!readErrors_.empty()) {
    UnreadableRecords& last = readErrors_.back();
    const std::uint64_t end = last.firstRecord + last.count;
    if (record < end) return;  // another bad sector of a record already noted
    if (record == end && (last.cause == UnreadableCause::BeyondEnd) ==
                             (deviceSectors_ != 0 && sector >= deviceSectors_)) {
      ++last.count;
      return;
    }
  }
  // Sectors past the end of an image cut short cannot be read either, for another reason.
  readErrors_.push_back({record, 1, sector,
                         deviceSectors_ != 0 && sector >= deviceSectors_
                             ? UnreadableCause::BeyondEnd
                             : UnreadableCause::ReadError});
}

void CatalogueWalk::ReportUnreadable(std::uint64_t reached) {
  const std::uint64_t perRecord = volume_.RecordSectors();
  std::vector<UnreadableRecords> stretches = readErrors_;
  for (const MftExtentTable::Gap& gap : table_.gaps) {
    if (gap.length == 0 || gap.virtualStart >= reached) continue;
    const std::uint64_t last = std::min(gap.virtualStart + gap.length, reached) - 1;
    const std::uint64_t first = gap.virtualStart / perRecord;
    stretches.push_back({first, last / perRecord - first + 1, gap.beyondEnd ? gap.sector : 0,
                         gap.beyondEnd ? UnreadableCause::BeyondEnd : UnreadableCause::Unmapped});
  }
  std::stable_sort(stretches.begin(), stretches.end(),
                   [](const UnreadableRecords& a, const UnreadableRecords& b) {
                     return a.firstRecord < b.firstRecord;
                   });
  // A record on the edge of two stretches is counted once.
  std::uint64_t next = 0;
  for (UnreadableRecords r : stretches) {
    const std::uint64_t end = r.firstRecord + r.count;
    if (end <= next) continue;
    if (r.firstRecord < next) {
      r.count = end - next;
      r.firstRecord = next;
    }
    session_.unreadable.Add(r.firstRecord, r.count, r.firstSector, r.cause);
    next = end;
  }
}

void CatalogueWalk::ReadBatch(std::uint64_t first, std::uint64_t count,
                              std::vector<std::uint8_t>& buffer,
                              std::vector<std::uint64_t>& recordSectors) {
  const std::uint32_t perRecord = volume_.RecordSectors();
  std::fill(recordSectors.begin(), recordSectors.end(), 0);
  std::uint64_t v = first;
  while (v < first + count && extent_ < table_.mftRunCount) {
    const std::uint64_t start = table_.mftRunStart[extent_], length = table_.mftRunLength[extent_];
    if (v >= extentVirtualStart_ + length) {
      extentVirtualStart_ += length;
      ++extent_;
      continue;
    }
    const std::uint64_t offset = v - extentVirtualStart_;
    const std::uint64_t piece = std::min(length - offset, first + count - v);
    std::uint8_t* into = buffer.data() + (v - first) * ntfs::kSectorBytes;
    // Sparse and unreadable sectors read as zeros and so hold no record; a failed read still
    // fills in every sector it can, in place, so nothing is read twice on a failing disk.
    std::memset(into, 0, piece * ntfs::kSectorBytes);
    if (start != 0) {
      badSectors_.clear();
      ReadSectorsListingUnreadable(volume_.device, into, start + offset,
                                   static_cast<std::uint32_t>(piece), badSectors_);
      const std::uint64_t firstRecordSector = (v + perRecord - 1) / perRecord * perRecord;
      for (std::uint64_t r = firstRecordSector; r < v + piece; r += perRecord)
        recordSectors[(r - first) / perRecord] = start + offset + (r - v);
      // A record with a bad sector is still read for what it holds (a torn record is evidence),
      // but it is counted as not read whole.
      for (std::uint32_t bad : badSectors_)
        NoteReadError((v + bad) / perRecord, start + offset + bad);
    }
    v += piece;
  }
}

void CatalogueWalk::Run() {
  Catalogue& catalogue = session_.catalogue;
  // The folder that collects whatever cannot be placed; no MFT record has its id.
  catalogue.AppendFolder(ui::kLostFolderName, u"0", ntfs::kLostFolderIdText, u"5", u"0", u"0", u"0",
                         u"16", u"0", u"FOLDER", u"NULL", 1);

  const std::size_t extents =
      std::min({table_.mftRunCount, table_.mftRunStart.size(), table_.mftRunLength.size()});
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < extents; ++i) total += table_.mftRunLength[i];
  const std::uint32_t perRecord = volume_.RecordSectors();
  if (total == 0 || volume_.sectorsPerCluster == 0) return;
  deviceSectors_ = DeviceSectorCount(volume_.device);
  if (facts_.enabled) facts_.liveClaims.Resize(ntfs::VolumeClusters(volume_));

  const std::uint64_t batchSectors =
      std::max<std::uint64_t>(kBatchBytes / ntfs::kSectorBytes / perRecord, 1) * perRecord;
  std::vector<std::uint8_t> buffer(batchSectors * ntfs::kSectorBytes);
  std::vector<std::uint64_t> recordSectors(batchSectors / perRecord);

  // The system files before the root directory name it as their parent: knowing its record
  // first keeps them in MFT order instead of waiting for it.
  std::vector<std::uint8_t> root;
  if (ntfs::ReadMftRecord(volume_, table_, ntfs::kRootRecord, root))
    if (auto header = ntfs::FileRecordHeader::Parse(root); header && !header->IsExtension())
      states_.Set(ntfs::kRootRecord,
                  {true, header->InUse(), header->IsDirectory(), header->sequence});

  std::uint64_t v = 0;  // MFT sector, counted across the extents
  bool stopped = false;
  std::size_t extent = 0;
  std::uint64_t extentStart = 0;
  while (v + perRecord <= total) {
    // Skip sparse extents whole: they hold no records, however long a damaged table says they are.
    while (extent < extents && v >= extentStart + table_.mftRunLength[extent]) {
      extentStart += table_.mftRunLength[extent];
      ++extent;
    }
    if (extent < extents && table_.mftRunStart[extent] == 0) {
      const std::uint64_t end = extentStart + table_.mftRunLength[extent];
      const std::uint64_t next = end / perRecord * perRecord;  // a record may start inside it
      if (next > v) {
        v = next;
        progress_.Report(v, total);
        if (HonourStop(session_, view_)) {
          stopped = true;
          break;
        }
        continue;
      }
    }
    const std::uint64_t count = std::min(batchSectors, (total - v) / perRecord * perRecord);
    ReadBatch(v, count, buffer, recordSectors);
    for (std::uint64_t j = 0; j < count / perRecord; ++j) {
      const std::uint64_t record = v / perRecord + j;
      if (HonourStop(session_, view_)) {
        stopped = true;
        break;
      }
      if (recordSectors[j] != 0) {
        ntfs::MutableBytes bytes(buffer.data() + j * volume_.recordBytes, volume_.recordBytes);
        if (!ProcessRecord(record, recordSectors[j], bytes)) {
          stopped = true;
          break;
        }
      }
      progress_.Report(v + (j + 1) * perRecord, total);
    }
    if (stopped) break;
    v += count;
  }
  // Entries waiting for a later parent record: what the walk saw decides, even after a stop.
  AppendPending();
  ReportUnreadable(stopped ? v : total);
}

bool CatalogueWalk::ProcessRecord(std::uint64_t record, std::uint64_t sector,
                                  ntfs::MutableBytes bytes) {
  auto header = ntfs::FileRecordHeader::Parse(bytes);
  if (!header) return true;
  // A torn record (sector ends not matching) is still evidence; every read below is bounded.
  ntfs::ApplyFixups(bytes);
  if (facts_.enabled && header->InUse()) NoteLiveRecord(record, bytes, *header);
  if (header->IsExtension()) return true;  // its attributes belong to its base record
  states_.Set(record, {true, header->InUse(), header->IsDirectory(), header->sequence});

  ntfs::ExtensionSource source{&volume_, &table_, record};
  ntfs::DescribeRecord(bytes, *header, source, info_);
  if (!info_.hasName) return true;
  const bool folder = header->IsDirectory();
  const bool deleted = !header->InUse();
  const std::size_t streams = info_.streamCount;
  // A deleted file may be whole only through extension records freed with it: say so.
  std::u16string_view dataMark = u"0";
  streamMarks_.assign(streams, u"0");
  if (deleted && info_.hasAttributeList) {
    if (!folder) dataMark = FreedMark(bytes, *header, source, {}, info_.dataSize);
    for (std::size_t i = 0; i < streams; ++i)
      streamMarks_[i] =
          FreedMark(bytes, *header, source, info_.streams[i].name, info_.streams[i].size);
  }
  // Where a deleted record's data lies is kept now, while the record is at hand.
  const bool place = facts_.enabled && deleted;
  if (place) {
    if (!folder) ntfs::PlaceStream(bytes, *header, source, {}, dataPlace_);
    if (streamPlaces_.size() < streams) streamPlaces_.resize(streams);
    for (std::size_t i = 0; i < streams; ++i)
      ntfs::PlaceStream(bytes, *header, source, info_.streams[i].name, streamPlaces_[i]);
  }
  // A file is listed under each of its names; a folder has one. Named streams follow the entry
  // they belong to, as "name:stream" files beside it (a folder's in the folder's own parent).
  for (std::size_t k = 0; k < (folder ? 1 : info_.linkCount); ++k) {
    const ntfs::FileNameValue& name =
        folder ? info_.Name() : info_.links[(info_.primary + k) % info_.linkCount];
    if (!Place({name.name, folder ? 0 : info_.dataSize, folder, dataMark, {},
                place && !folder ? &dataPlace_ : nullptr},
               name, record, sector, deleted))
      return false;
    for (std::size_t i = 0; i < streams; ++i) {
      if (record == ntfs::kBadClusterRecord && info_.streams[i].name == ntfs::kBadClusterStream)
        continue;
      // The root directory is "." in the catalogue; its streams are ":stream" in it.
      streamName_.assign(record == ntfs::kRootRecord ? std::u16string_view() : name.name);
      streamName_ += u':';
      streamName_ += info_.streams[i].name;
      if (!Place({streamName_, info_.streams[i].size, false, streamMarks_[i],
                  info_.streams[i].name, place ? &streamPlaces_[i] : nullptr},
                 name, record, sector, deleted))
        return false;
    }
  }
  return true;
}

std::u16string_view CatalogueWalk::FreedMark(ntfs::Bytes record,
                                             const ntfs::FileRecordHeader& header,
                                             const ntfs::ExtensionSource& source,
                                             std::u16string_view stream, std::uint64_t size) const {
  auto data = ntfs::GatherDataStream(record, header, source, nullptr, stream);
  if (!data || !data->fromFreedRecords) return u"0";
  if (!data->resident) {
    const std::uint64_t clusters =
        data->runs.empty() ? 0 : data->runs.back().vcn + data->runs.back().length;
    const unsigned __int128 mapped =
        static_cast<unsigned __int128>(clusters) * volume_.sectorsPerCluster * ntfs::kSectorBytes;
    if (mapped < size) return u"0";
  }
  return ntfs::kFreedRecordsMark;
}

bool CatalogueWalk::Place(const EntryText& entry, const ntfs::FileNameValue& name,
                          std::uint64_t record, std::uint64_t sector, bool deleted) {
  const ntfs::FileReference parent = name.parent;
  if (record == ntfs::kRootRecord) {
    // The root directory names itself as its parent; it is catalogued but never shown.
    return Append(entry, record, sector, ntfs::kRootIdText, name.creationTime, deleted);
  }
  if (parent.record == record)
    return Append(entry, record, sector, ntfs::kLostFolderIdText, name.creationTime, deleted);
  if (parent.record > record && !states_.Get(parent.record).known) {
    pending_.push_back({std::u16string(entry.name), record, sector, parent, name.creationTime,
                        entry.size, entry.folder, deleted, entry.spare,
                        std::u16string(entry.stream),
                        entry.place ? *entry.place : ntfs::Placement{}});
    return true;
  }
  const Number parentNumber(parent.record);
  return Append(entry, record, sector,
                CheckParent(states_, parent) == ParentCheck::Wrong ? ntfs::kLostFolderIdText
                                                                   : parentNumber.View(),
                name.creationTime, deleted);
}

bool CatalogueWalk::Append(const EntryText& entry, std::uint64_t record, std::uint64_t sector,
                           std::u16string_view parentText, std::int64_t creationTime,
                           bool deleted) {
  if (entry.folder) {
    Write(entry, record, sector, parentText, creationTime, deleted);
    // The folder is kept; a stop seen now ends the walk after it.
    return !HonourStop(session_, view_);
  }
  // A stop seen while a file is being prepared ends the walk before it is appended.
  if (HonourStop(session_, view_)) return false;
  Write(entry, record, sector, parentText, creationTime, deleted);
  return true;
}

void CatalogueWalk::Write(const EntryText& entry, std::uint64_t record, std::uint64_t sector,
                          std::u16string_view parentText, std::int64_t creationTime,
                          bool deleted) {
  Catalogue& catalogue = session_.catalogue;
  const Number sectorText(sector), idText(record), dateText = Number::Signed(creationTime),
                                                   sizeText(entry.size);
  const std::u16string_view deletedText = deleted ? u"1" : u"NULL";
  if (entry.folder) {
    catalogue.AppendFolder(entry.name, sectorText.View(), idText.View(), parentText,
                           dateText.View(), u"0", u"0", u"16", entry.spare, u"FOLDER", deletedText,
                           folderCounter_++);
  } else {
    const CatalogueNode* file = catalogue.AppendFile(
        entry.name, sectorText.View(), idText.View(), parentText, dateText.View(), u"0",
        sizeText.View(), u"16", entry.spare, u"FILE", deletedText, folderCounter_, entry.stream);
    if (deleted) ntfs::Keep(facts_, file, entry.place ? *entry.place : ntfs::Placement{});
  }
}

void CatalogueWalk::NoteLiveRecord(std::uint64_t record, ntfs::Bytes bytes,
                                   const ntfs::FileRecordHeader& header) {
  ntfs::MarkLiveRuns(bytes, header, facts_.liveClaims);
  if (record != kBitmapRecord || header.IsExtension()) return;
  ntfs::ExtensionSource source{&volume_, &table_, record};
  auto bitmap = ntfs::GatherDataStream(bytes, header, source, nullptr);
  if (!bitmap || bitmap->resident) return;
  facts_.mapRuns.clear();
  for (const ntfs::DataRun& run : bitmap->runs)
    if (!run.sparse) facts_.mapRuns.push_back({run.vcn, run.lcn, run.length});
  facts_.mapBytes = std::min(bitmap->realSize, bitmap->initializedSize);
}

void CatalogueWalk::AppendPending() {
  // Stop requests were honoured by the walk; these were found before it ended.
  for (const PendingEntry& e : pending_) {
    const Number parentNumber(e.parent.record);
    const std::u16string_view parentText = CheckParent(states_, e.parent) == ParentCheck::Wrong
                                               ? ntfs::kLostFolderIdText
                                               : parentNumber.View();
    Write({e.name, e.size, e.folder, e.spare, e.stream, &e.place}, e.record, e.sector, parentText,
          e.creationTime, e.deleted);
  }
  pending_.clear();
}

}  // namespace

void BuildNtfsCatalogue(RecoverySession& session, RecoveryView& view) {
  CatalogueWalk walk(session, view);
  walk.Run();
}

}  // namespace brevant

#include "ntfs/record_info.h"

#include <algorithm>
#include <unordered_set>

namespace brevant::ntfs {
namespace {

// The catalogue looks for names and first data pieces: a few extension records at most. A file
// with many hard links or streams keeps them in more; beyond these bounds the list is taken as
// damaged or crafted.
constexpr std::size_t kMaxDescribeReads = 256;
constexpr std::uint64_t kDescribeListLimit = 256u << 10;
constexpr std::size_t kMaxExtensionReads = 1u << 16;
// Four million runs of one file: far beyond any real fragmentation.
constexpr std::size_t kMaxRuns = 1u << 22;
// Names of one record that are catalogued: NTFS allows 1024 hard links.
constexpr std::size_t kMaxLinks = 1024;
// Named streams of one record that are catalogued; real files have a few.
constexpr std::size_t kMaxStreams = 256;
// Attribute-list entries the catalogue follows: every name, every stream and the data.
constexpr std::size_t kMaxWanted = kMaxLinks + kMaxStreams + 1;

constexpr std::uint8_t kNameSpaceWin32 = 1;
constexpr std::uint8_t kNameSpaceDos = 2;
constexpr std::uint8_t kNameSpaceWin32AndDos = 3;

// Freeing a record raises its sequence number by one, skipping 0.
std::uint16_t NextSequence(std::uint16_t s) {
  return s == 0xFFFF ? 1 : static_cast<std::uint16_t>(s + 1);
}

bool FollowExtensions(const ExtensionSource& source) {
  return source.volume != nullptr && source.table != nullptr;
}

// Reads the extension record named by an attribute-list entry; nothing unless it still belongs
// to the base record. `freed` is set when it was freed with it.
std::optional<FileRecordHeader> ReadExtension(const ExtensionSource& source,
                                              const FileRecordHeader& base,
                                              const AttributeListEntry& entry,
                                              std::vector<std::uint8_t>& buffer, bool* freed) {
  if (!ReadMftRecord(*source.volume, *source.table, entry.record.record, buffer))
    return std::nullopt;
  auto header = FileRecordHeader::Parse(buffer);
  if (!header) return std::nullopt;
  switch (CheckExtension(base, source.recordNumber, entry, *header)) {
    case ExtensionLink::Foreign:
      return std::nullopt;
    case ExtensionLink::Freed:
      if (freed) *freed = true;
      break;
    case ExtensionLink::Belongs:
      break;
  }
  return header;
}

bool IsSelf(const ExtensionSource& source, const AttributeListEntry& entry) {
  return source.recordNumber && entry.record.record == *source.recordNumber;
}

// Orders attribute-list entries, and finds them, by the record they point to.
struct ByRecord {
  bool operator()(const AttributeListEntry& e, std::uint64_t n) const {
    return e.record.record < n;
  }
  bool operator()(std::uint64_t n, const AttributeListEntry& e) const {
    return n < e.record.record;
  }
};

bool SameReference(FileReference a, FileReference b) {
  return a.record == b.record && a.sequence == b.sequence;
}

struct Piece {
  std::uint64_t lowestVcn = 0;
  std::uint64_t highestVcn = 0;
  std::uint16_t flags = 0;
  std::uint16_t compressionUnit = 0;
  std::uint64_t realSize = 0;
  std::uint64_t initializedSize = 0;
  std::vector<DataRun> runs;
  bool runsDamaged = false;
};

Piece PieceOf(const AttributeHeader& a) {
  Piece p;
  p.lowestVcn = a.lowestVcn;
  p.highestVcn = a.highestVcn;
  p.flags = a.flags;
  p.compressionUnit = a.compressionUnit;
  p.realSize = a.realSize;
  p.initializedSize = a.initializedSize;
  RunListWalk walk(a.RunList(), a.lowestVcn);
  while (auto run = walk.Next()) p.runs.push_back(*run);
  p.runsDamaged = walk.Damaged();
  return p;
}

// The entries of a record's attribute list; `stated` of them lie within its stated length. A
// deleted record's list is read to its allocated end: taking a file apart, a driver shortens
// the stated length without writing the list again, so entries past it may still name pieces
// of the file. Those are only taken where every link agrees.
struct ListEntries {
  std::vector<AttributeListEntry> entries;
  std::size_t stated = 0;
};

std::optional<ListEntries> ReadList(const Volume& volume, Bytes record,
                                    const FileRecordHeader& header, std::uint64_t limit) {
  AttributeWalk walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type != kAttrAttributeList) continue;
    auto value = ReadAttributeValue(volume, *a, limit);
    if (!value) return std::nullopt;
    ListEntries out;
    AttributeListWalk entries(*value);
    while (auto e = entries.Next()) out.entries.push_back(std::move(*e));
    out.stated = out.entries.size();
    if (!header.InUse() && a->nonResident && a->allocatedSize > a->realSize) {
      AttributeHeader whole = *a;
      whole.realSize = whole.allocatedSize;
      if (auto more = ReadAttributeValue(volume, whole, limit)) {
        std::vector<AttributeListEntry> all;
        AttributeListWalk walkAll(*more);
        while (auto e = walkAll.Next()) all.push_back(std::move(*e));
        if (all.size() > out.entries.size()) out.entries = std::move(all);
      }
    }
    return out;
  }
  return std::nullopt;
}

// A $FILE_NAME removed in place from a freed extension record: the driver wrote the end marker
// over its type and length and left the rest. Taken only when every field still there fits a
// resident $FILE_NAME with the attribute id the list gives.
std::optional<Bytes> RemovedFileName(Bytes record, const FileRecordHeader& header,
                                     std::uint16_t attributeId) {
  if (header.InUse() || header.bytesInUse < 8) return std::nullopt;
  const std::size_t at = header.bytesInUse - 8;
  if (at < header.firstAttribute || at % 8 != 0 || at + 0x18 > record.size()) return std::nullopt;
  const std::uint8_t* p = record.data() + at;
  if (Le32(p) != kAttrEnd || p[8] != 0 || p[9] != 0 || Le16(p + 0x0E) != attributeId)
    return std::nullopt;
  const std::uint32_t length = Le32(p + 0x10);
  if (Le16(p + 0x14) != 0x18 || length < 0x42 || at + 0x18 + length > record.size())
    return std::nullopt;
  Bytes value = record.subspan(at + 0x18, length);
  if (0x42 + 2 * static_cast<std::size_t>(value[0x40]) != length || value[0x40] == 0)
    return std::nullopt;
  return value;
}

DataStream ResidentStream(const AttributeHeader& a, bool freed) {
  DataStream stream;
  stream.resident = true;
  Bytes value = a.Value();
  stream.residentValue.assign(value.begin(), value.end());
  stream.flags = a.flags;
  stream.realSize = stream.initializedSize = value.size();
  stream.fromFreedRecords = freed;
  return stream;
}

// Collects what DescribeRecord reports, attribute by attribute, from the base record and its
// extensions alike.
class Describer {
 public:
  explicit Describer(RecordInfo& out) : out_(out) {}

  void Consider(const AttributeHeader& a) {
    switch (a.type) {
      case kAttrStandardInformation:
        if (!out_.hasStandardInformation && !a.nonResident)
          if (auto si = StandardInformation::Parse(a.Value())) {
            out_.standardInformation = *si;
            out_.hasStandardInformation = true;
          }
        break;
      case kAttrAttributeList:
        out_.hasAttributeList = true;
        break;
      case kAttrFileName:
        if (!a.nonResident) ConsiderName(a.Value());
        break;
      case kAttrData:
        // The first piece gives the size; later pieces repeat nothing of use.
        if (a.nonResident && a.lowestVcn != 0) break;
        if (a.Unnamed()) {
          if (!out_.hasData) {
            out_.hasData = true;
            out_.dataSize = a.nonResident ? a.realSize : a.valueLength;
          }
        } else {
          ConsiderStream(a);
        }
        break;
      default:
        break;
    }
  }

  void ConsiderName(Bytes value) {
    if (value.size() < 0x42 || 0x42 + 2 * static_cast<std::size_t>(value[0x40]) > value.size())
      return;
    if (out_.linkCount == kMaxLinks) return;
    const std::size_t i = out_.linkCount;
    if (out_.links.size() <= i) {
      out_.links.resize(i + 1);
      out_.linkRanks.resize(i + 1);
    }
    FileNameValue& n = out_.links[i];
    if (!FileNameValue::ParseInto(value, n)) return;
    const int rank = NameSpaceRank(n.nameSpace);
    // The same name twice in one folder is one entry, in its best name space.
    for (std::size_t j = 0; j < i; ++j) {
      if (!SameReference(out_.links[j].parent, n.parent) || out_.links[j].name != n.name) continue;
      if (rank < out_.linkRanks[j]) {
        std::swap(out_.links[j], n);
        out_.linkRanks[j] = rank;
      }
      return;
    }
    out_.linkRanks[i] = rank;
    ++out_.linkCount;
  }

  // Drops the DOS names that pair with a long name (Win32, or Win32-and-DOS) of the same folder
  // and picks the primary.
  void Finish() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out_.linkCount; ++i) {
      const FileNameValue& n = out_.links[i];
      bool paired = false;
      if (n.nameSpace == kNameSpaceDos)
        for (std::size_t j = 0; j < out_.linkCount && !paired; ++j)
          paired = (out_.links[j].nameSpace == kNameSpaceWin32 ||
                    out_.links[j].nameSpace == kNameSpaceWin32AndDos) &&
                   SameReference(out_.links[j].parent, n.parent);
      if (paired) continue;
      if (kept != i) {
        std::swap(out_.links[kept], out_.links[i]);
        std::swap(out_.linkRanks[kept], out_.linkRanks[i]);
      }
      ++kept;
    }
    out_.linkCount = kept;
    out_.hasName = kept > 0;
    for (std::size_t i = 1; i < out_.linkCount; ++i)
      if (out_.linkRanks[i] < out_.linkRanks[out_.primary]) out_.primary = i;
  }

 private:
  void ConsiderStream(const AttributeHeader& a) {
    for (std::size_t i = 0; i < out_.streamCount; ++i)
      if (a.NameIs(out_.streams[i].name)) return;
    if (out_.streamCount == kMaxStreams) return;
    if (out_.streams.size() <= out_.streamCount) out_.streams.resize(out_.streamCount + 1);
    NamedStream& s = out_.streams[out_.streamCount++];
    s.name = a.Name();
    s.size = a.nonResident ? a.realSize : a.valueLength;
  }

  RecordInfo& out_;
};

}  // namespace

ExtensionLink CheckExtension(const FileRecordHeader& base, std::optional<std::uint64_t> baseRecord,
                             const AttributeListEntry& entry, const FileRecordHeader& extension) {
  if (!extension.IsExtension()) return ExtensionLink::Foreign;
  if (baseRecord && extension.baseRecord.record != *baseRecord) return ExtensionLink::Foreign;
  if (base.InUse()) {
    if (entry.record.sequence != 0 && extension.sequence != entry.record.sequence)
      return ExtensionLink::Foreign;
    return ExtensionLink::Belongs;
  }
  // A deleted file's links are followed only as far as every number still agrees: the record
  // it names may have been reused by now.
  if (!baseRecord || entry.record.sequence == 0) return ExtensionLink::Foreign;
  const std::uint16_t named = extension.baseRecord.sequence;
  if (named != base.sequence && NextSequence(named) != base.sequence) return ExtensionLink::Foreign;
  if (extension.sequence == entry.record.sequence)
    return extension.InUse() ? ExtensionLink::Belongs : ExtensionLink::Freed;
  if (!extension.InUse() && extension.sequence == NextSequence(entry.record.sequence))
    return ExtensionLink::Freed;
  return ExtensionLink::Foreign;
}

void DescribeRecord(Bytes record, const FileRecordHeader& header, const ExtensionSource& source,
                    RecordInfo& out) {
  out.hasName = out.hasData = out.hasStandardInformation = out.hasAttributeList = false;
  out.dataSize = 0;
  out.linkCount = 0;
  out.primary = 0;
  out.streamCount = 0;
  Describer describer(out);
  AttributeWalk walk(record, header);
  while (auto a = walk.Next()) describer.Consider(*a);

  // Names, streams and the first data piece may live in extension records: the names of a
  // file with many links, the data size of a heavily fragmented file. Each is read once.
  if (out.hasAttributeList && FollowExtensions(source)) {
    auto list = ReadList(*source.volume, record, header, kDescribeListLimit);
    const bool wantData = !out.hasData && !header.IsDirectory();
    std::vector<AttributeListEntry> wanted;
    for (AttributeListEntry& e : list ? list->entries : std::vector<AttributeListEntry>{}) {
      if (IsSelf(source, e)) continue;
      const bool firstPiece = e.type == kAttrData && e.lowestVcn == 0 && (!e.Unnamed() || wantData);
      if (e.type != kAttrFileName && !firstPiece) continue;
      if (wanted.size() == kMaxWanted) break;
      wanted.push_back(std::move(e));
    }
    std::vector<std::uint64_t> records;  // in list order, each once
    for (const AttributeListEntry& e : wanted)
      if (std::find(records.begin(), records.end(), e.record.record) == records.end()) {
        if (records.size() == kMaxDescribeReads) break;
        records.push_back(e.record.record);
      }
    // Grouped by record, so each record's attributes are matched against its own entries only.
    std::stable_sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) {
      return a.record.record < b.record.record;
    });
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint16_t> found;
    for (std::uint64_t number : records) {
      const auto [from, to] = std::equal_range(wanted.begin(), wanted.end(), number, ByRecord{});
      auto h = ReadExtension(source, header, *from, buffer, nullptr);
      if (!h) continue;
      found.clear();
      AttributeWalk extension(buffer, *h);
      while (auto a = extension.Next()) {
        // Only what the list places in this record.
        const bool listed = std::any_of(from, to, [&](const auto& e) {
          return e.type == a->type && e.attributeId == a->attributeId;
        });
        if (!listed || (a->type != kAttrFileName && a->type != kAttrData)) continue;
        describer.Consider(*a);
        if (a->type == kAttrFileName) found.push_back(a->attributeId);
      }
      // A deleted file's name may survive only where the driver removed it.
      if (header.InUse()) continue;
      for (auto e = from; e != to; ++e)
        if (e->type == kAttrFileName &&
            std::find(found.begin(), found.end(), e->attributeId) == found.end())
          if (auto value = RemovedFileName(buffer, *h, e->attributeId))
            describer.ConsiderName(*value);
    }
  }
  describer.Finish();
}

std::optional<DataStream> GatherDataStream(Bytes record, const FileRecordHeader& header,
                                           const ExtensionSource& source, std::string* error,
                                           std::u16string_view name) {
  auto fail = [error](std::string text) -> std::optional<DataStream> {
    if (error) *error = std::move(text);
    return std::nullopt;
  };
  std::vector<Piece> pieces;
  std::unordered_set<std::uint64_t> pieceVcns;
  std::size_t runCount = 0;
  auto addPiece = [&](const AttributeHeader& a) {
    if (!pieceVcns.insert(a.lowestVcn).second) return true;
    pieces.push_back(PieceOf(a));
    runCount += pieces.back().runs.size();
    return runCount <= kMaxRuns;
  };
  bool hasList = false;
  AttributeWalk walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type == kAttrAttributeList) hasList = true;
    if (a->type != kAttrData || !a->NameIs(name)) continue;
    if (!a->nonResident) {
      if (!pieces.empty()) continue;
      return ResidentStream(*a, false);
    }
    if (!addPiece(*a)) return fail("its run list is too long to be real");
  }

  bool freed = false;
  if (hasList) {
    if (!FollowExtensions(source))
      return fail("its data is spread over several MFT records that could not be located");
    auto list = ReadList(*source.volume, record, header, kAttributeListLimit);
    if (!list) return fail("its attribute list cannot be read");
    std::vector<std::uint8_t> buffer;
    std::size_t reads = 0;
    for (std::size_t i = 0; i < list->entries.size(); ++i) {
      const AttributeListEntry& e = list->entries[i];
      if (e.type != kAttrData || e.name != name || IsSelf(source, e)) continue;
      if (pieceVcns.count(e.lowestVcn)) continue;
      if (++reads > kMaxExtensionReads) return fail("its attribute list is too long to be real");
      // Past the stated length an entry is a hint: it counts only where it still holds.
      const bool hint = i >= list->stated;
      bool pieceFreed = false;
      auto h = ReadExtension(source, header, e, buffer, &pieceFreed);
      if (!h) {
        if (hint) continue;
        return fail("MFT record " + std::to_string(e.record.record) +
                    ", which holds part of its data, is unreadable or reused");
      }
      bool found = false;
      AttributeWalk extension(buffer, *h);
      while (auto a = extension.Next()) {
        if (a->type == kAttrData && a->NameIs(name) && a->lowestVcn == e.lowestVcn) {
          if (!a->nonResident) {
            // A resident value is the whole stream; as a piece among others it is damage.
            if (!pieces.empty() || e.lowestVcn != 0) break;
            return ResidentStream(*a, pieceFreed);
          }
          if (!addPiece(*a)) return fail("its run list is too long to be real");
          found = true;
          break;
        }
      }
      if (!found && hint) continue;
      if (!found)
        return fail("MFT record " + std::to_string(e.record.record) +
                    " no longer holds the part of its data it should");
      freed = freed || pieceFreed;
    }
  }

  if (pieces.empty())
    return fail(name.empty() ? "it has no unnamed data stream" : "it has no such named stream");
  std::sort(pieces.begin(), pieces.end(),
            [](const Piece& a, const Piece& b) { return a.lowestVcn < b.lowestVcn; });
  if (pieces.front().lowestVcn != 0) return fail("the first part of its data is missing");
  DataStream stream;
  stream.fromFreedRecords = freed;
  stream.flags = pieces.front().flags;
  stream.compressionUnit = pieces.front().compressionUnit;
  stream.realSize = pieces.front().realSize;
  stream.initializedSize = std::min(pieces.front().initializedSize, pieces.front().realSize);
  std::uint64_t expected = 0;
  for (const Piece& p : pieces) {
    if (p.lowestVcn != expected)
      return fail("a part of its data is missing (virtual cluster " + std::to_string(expected) +
                  ")");
    for (const DataRun& run : p.runs) {
      if (run.vcn > p.highestVcn) break;  // runs past what the piece claims to map
      stream.runs.push_back(run);
      expected = run.vcn + run.length;
    }
    // A damaged run list maps less than the piece claims; the next piece would not join.
    if (p.runsDamaged && expected <= p.highestVcn && &p != &pieces.back())
      return fail("the run list of a part of its data is damaged");
  }
  return stream;
}

}  // namespace brevant::ntfs

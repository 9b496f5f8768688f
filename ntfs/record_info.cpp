#include "ntfs/record_info.h"

#include <algorithm>
#include <unordered_set>

namespace brevant::ntfs {
namespace {

// The catalogue only looks for names and the first data piece: a few records at most. A very
// fragmented file's data may fill thousands of extension records; beyond these bounds the list
// is taken as damaged or crafted.
constexpr std::size_t kMaxDescribeReads = 64;
constexpr std::uint64_t kDescribeListLimit = 256u << 10;
constexpr std::size_t kMaxExtensionReads = 1u << 16;
// Four million runs of one file: far beyond any real fragmentation.
constexpr std::size_t kMaxRuns = 1u << 22;
// Hard links of one file that are catalogued; NTFS allows 1024, real volumes have a few.
constexpr std::size_t kMaxLinks = 64;

bool FollowExtensions(const ExtensionSource& source) {
  return source.volume != nullptr && source.table != nullptr;
}

// Reads an extension record named by an attribute-list entry and checks that it belongs to
// the base record.
std::optional<FileRecordHeader> ReadExtension(const ExtensionSource& source,
                                              const AttributeListEntry& entry,
                                              std::vector<std::uint8_t>& buffer) {
  if (!ReadMftRecord(*source.volume, *source.table, entry.record.record, buffer))
    return std::nullopt;
  auto header = FileRecordHeader::Parse(buffer);
  if (!header || !header->IsExtension()) return std::nullopt;
  if (source.recordNumber && header->baseRecord.record != *source.recordNumber) return std::nullopt;
  if (entry.record.sequence != 0 && header->sequence != entry.record.sequence) return std::nullopt;
  return header;
}

bool IsSelf(const ExtensionSource& source, const AttributeListEntry& entry) {
  return source.recordNumber && entry.record.record == *source.recordNumber;
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

}  // namespace

void DescribeRecord(Bytes record, const FileRecordHeader& header, const ExtensionSource& source,
                    RecordInfo& out) {
  out.hasName = out.hasData = out.hasStandardInformation = out.hasAttributeList = false;
  out.dataSize = 0;
  out.linkCount = 0;
  out.primary = 0;
  // Keeps the best name of each parent directory.
  auto considerName = [&out](Bytes value) {
    if (value.size() < 0x42 || 0x42 + 2 * static_cast<std::size_t>(value[0x40]) > value.size())
      return;
    const int rank = NameSpaceRank(value[0x41]);
    const FileReference parent = FileReference::From(Le64(value.data()));
    std::size_t i = 0;
    while (i < out.linkCount && (out.links[i].parent.record != parent.record ||
                                 out.links[i].parent.sequence != parent.sequence))
      ++i;
    if (i < out.linkCount && rank >= out.linkRanks[i]) return;
    if (i == out.linkCount) {
      if (out.linkCount == kMaxLinks) return;
      if (out.links.size() <= i) {
        out.links.resize(i + 1);
        out.linkRanks.resize(i + 1);
      }
    }
    if (!FileNameValue::ParseInto(value, out.links[i])) return;
    out.linkRanks[i] = rank;
    if (i == out.linkCount) ++out.linkCount;
    out.hasName = true;
  };
  AttributeWalk walk(record, header);
  while (auto a = walk.Next()) {
    switch (a->type) {
      case kAttrStandardInformation:
        if (!out.hasStandardInformation && !a->nonResident)
          if (auto si = StandardInformation::Parse(a->Value())) {
            out.standardInformation = *si;
            out.hasStandardInformation = true;
          }
        break;
      case kAttrAttributeList:
        out.hasAttributeList = true;
        break;
      case kAttrFileName:
        if (!a->nonResident) considerName(a->Value());
        break;
      case kAttrData:
        if (out.hasData || !a->Unnamed()) break;
        if (!a->nonResident) {
          out.hasData = true;
          out.dataSize = a->valueLength;
        } else if (a->lowestVcn == 0) {
          out.hasData = true;
          out.dataSize = a->realSize;
        }
        break;
      default:
        break;
    }
  }

  // Names and the first data piece may live in extension records: the names of a file with
  // many links, or the data size of a heavily fragmented file.
  const bool wantData = !out.hasData && !header.IsDirectory();
  if (out.hasAttributeList && FollowExtensions(source)) {
    auto entries = ReadAttributeList(*source.volume, record, header, kDescribeListLimit);
    std::vector<std::uint8_t> buffer;
    std::size_t reads = 0;
    for (const AttributeListEntry& e : entries ? *entries : std::vector<AttributeListEntry>{}) {
      if (reads >= kMaxDescribeReads) break;
      if (IsSelf(source, e)) continue;
      const bool nameEntry = e.type == kAttrFileName;
      const bool dataEntry =
          e.type == kAttrData && e.Unnamed() && e.lowestVcn == 0 && wantData && !out.hasData;
      if (!nameEntry && !dataEntry) continue;
      ++reads;
      auto h = ReadExtension(source, e, buffer);
      if (!h) continue;
      AttributeWalk extension(buffer, *h);
      while (auto a = extension.Next()) {
        if (a->attributeId != e.attributeId) continue;
        if (nameEntry && a->type == kAttrFileName && !a->nonResident) considerName(a->Value());
        if (dataEntry && a->type == kAttrData && a->Unnamed()) {
          out.hasData = true;
          out.dataSize = a->nonResident ? a->realSize : a->valueLength;
        }
      }
    }
  }
  for (std::size_t i = 1; i < out.linkCount; ++i)
    if (out.linkRanks[i] < out.linkRanks[out.primary]) out.primary = i;
}

std::optional<DataStream> GatherDataStream(Bytes record, const FileRecordHeader& header,
                                           const ExtensionSource& source, std::string* error) {
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
    if (a->type != kAttrData || !a->Unnamed()) continue;
    if (!a->nonResident) {
      if (!pieces.empty()) continue;
      DataStream stream;
      stream.resident = true;
      Bytes value = a->Value();
      stream.residentValue.assign(value.begin(), value.end());
      stream.flags = a->flags;
      stream.realSize = stream.initializedSize = value.size();
      return stream;
    }
    if (!addPiece(*a)) return fail("its run list is too long to be real");
  }

  if (hasList) {
    if (!FollowExtensions(source))
      return fail("its data is spread over several MFT records that could not be located");
    auto entries = ReadAttributeList(*source.volume, record, header);
    if (!entries) return fail("its attribute list cannot be read");
    std::vector<std::uint8_t> buffer;
    std::size_t reads = 0;
    for (const AttributeListEntry& e : *entries) {
      if (e.type != kAttrData || !e.Unnamed() || IsSelf(source, e)) continue;
      if (pieceVcns.count(e.lowestVcn)) continue;
      if (++reads > kMaxExtensionReads) return fail("its attribute list is too long to be real");
      auto h = ReadExtension(source, e, buffer);
      if (!h)
        return fail("MFT record " + std::to_string(e.record.record) +
                    ", which holds part of its data, is unreadable or reused");
      bool found = false;
      AttributeWalk extension(buffer, *h);
      while (auto a = extension.Next()) {
        if (a->type == kAttrData && a->Unnamed() && a->nonResident && a->lowestVcn == e.lowestVcn) {
          if (!addPiece(*a)) return fail("its run list is too long to be real");
          found = true;
          break;
        }
      }
      if (!found)
        return fail("MFT record " + std::to_string(e.record.record) +
                    " no longer holds the part of its data it should");
    }
  }

  if (pieces.empty()) return fail("it has no unnamed data stream");
  std::sort(pieces.begin(), pieces.end(),
            [](const Piece& a, const Piece& b) { return a.lowestVcn < b.lowestVcn; });
  if (pieces.front().lowestVcn != 0) return fail("the first part of its data is missing");
  DataStream stream;
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

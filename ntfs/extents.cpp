#include "ntfs/extents.h"

#include <algorithm>
#include <cstring>

#include "core/read_sectors.h"
#include "ntfs/ntfs_engine.h"

namespace brevant::ntfs {
namespace {

// Bounds a hostile $MFT run list; a real one has at most a few thousand runs.
constexpr std::size_t kMaxMftExtents = 1u << 20;
// 2^48 records of 4 KiB: more than any MFT can hold.
constexpr std::uint64_t kMaxMftSectors = 1ULL << 51;

struct Piece {
  std::uint64_t lowestVcn = 0;
  std::vector<DataRun> runs;
};

// The runs of an unnamed, non-resident $DATA piece starting at `lowestVcn`, if the record has one.
std::optional<Piece> FindDataPiece(Bytes record, const FileRecordHeader& header,
                                   std::uint64_t lowestVcn) {
  AttributeWalk walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type != kAttrData || !a->Unnamed() || !a->nonResident || a->lowestVcn != lowestVcn)
      continue;
    Piece piece;
    piece.lowestVcn = a->lowestVcn;
    RunListWalk runs(a->RunList(), a->lowestVcn);
    while (auto run = runs.Next()) {
      if (piece.runs.size() >= kMaxMftExtents) break;
      piece.runs.push_back(*run);
    }
    return piece;
  }
  return std::nullopt;
}

bool ReadRecordBytes(const Volume& volume, std::uint64_t sector, std::vector<std::uint8_t>& out) {
  out.assign(volume.recordBytes, 0);
  return ReadSectors(volume.device, out.data(), sector, volume.RecordSectors()) != 0;
}

// Builds the table from record 0 as read at `sector`; false when that copy is of no use.
bool BuildFromRecord0(const Volume& volume, std::uint64_t sector, MftExtentTable& table) {
  std::vector<std::uint8_t> record;
  ReadRecordBytes(volume, sector, record);
  auto header = FileRecordHeader::Parse(record);
  if (!header || header->IsExtension()) return false;
  ApplyFixups(record);
  auto first = FindDataPiece(record, *header, 0);
  if (!first || first->runs.empty()) return false;

  std::vector<Piece> pieces{std::move(*first)};
  auto rebuild = [&] {
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.lowestVcn < b.lowestVcn; });
    table.Clear();
    std::uint64_t vcn = 0;
    for (const Piece& p : pieces) vcn = AppendRunsAsExtents(volume, p.runs, vcn, table);
  };
  rebuild();

  // A fragmented $MFT keeps further $DATA pieces in extension records, which lie in the part
  // of the MFT already mapped; each piece found may map the records of the next ones.
  std::vector<AttributeListEntry> pending = CollectMftExtensionRecords(volume, record, *header);
  pending.erase(std::remove_if(pending.begin(), pending.end(),
                               [](const AttributeListEntry& e) { return e.record.record == 0; }),
                pending.end());
  bool progress = true;
  std::vector<std::uint8_t> extension;
  while (progress && !pending.empty()) {
    progress = false;
    for (auto it = pending.begin(); it != pending.end();) {
      if (!MapRecordToSector(table, it->record.record, table.mftRunCount, volume.recordBytes)) {
        ++it;
        continue;
      }
      std::optional<Piece> piece;
      if (ReadMftRecord(volume, table, it->record.record, extension)) {
        // Only an extension record of the $MFT itself may add to its map.
        auto h = FileRecordHeader::Parse(extension);
        if (h && h->IsExtension() && h->baseRecord.record == 0)
          piece = FindDataPiece(extension, *h, it->lowestVcn);
      }
      it = pending.erase(it);
      bool duplicate = piece && std::any_of(pieces.begin(), pieces.end(), [&](const Piece& p) {
                         return p.lowestVcn == piece->lowestVcn;
                       });
      if (piece && !duplicate && !piece->runs.empty()) {
        pieces.push_back(std::move(*piece));
        rebuild();
        progress = true;
      }
    }
  }
  return table.mftRunCount > 0;
}

}  // namespace

std::optional<std::uint64_t> Volume::ClusterSector(std::uint64_t lcn,
                                                   std::uint64_t clusters) const {
  if (sectorsPerCluster == 0) return std::nullopt;
  const unsigned __int128 start =
      static_cast<unsigned __int128>(lcn) * sectorsPerCluster + firstSector;
  const unsigned __int128 end =
      start + static_cast<unsigned __int128>(clusters) * sectorsPerCluster;
  if (end > endSector) return std::nullopt;
  return static_cast<std::uint64_t>(start);
}

std::uint32_t RecordBytes(const ScanParameters& params) {
  switch (params.sectorsPerFileRecord) {
    case 2:
      return 1024;
    case 4:
      return 2048;
    case 8:
      return 4096;
    default:
      return 1024;
  }
}

Volume VolumeOf(const RecoverySession& session) {
  Volume v;
  v.device = session.SelectedDevice();
  v.firstSector = session.scanParams.clusterBase;
  if (session.selectedPartitionEnd > v.firstSector) v.endSector = session.selectedPartitionEnd;
  v.sectorsPerCluster = session.scanParams.sectorsPerCluster;
  v.recordBytes = RecordBytes(session.scanParams);
  return v;
}

std::optional<std::uint64_t> MapMftSector(const MftExtentTable& table, std::uint64_t virtualSector,
                                          std::size_t extentCount) {
  extentCount = std::min(
      {extentCount, table.mftRunCount, table.mftRunStart.size(), table.mftRunLength.size()});
  std::uint64_t before = 0;
  for (std::size_t i = 0; i < extentCount; ++i) {
    const std::uint64_t length = table.mftRunLength[i];
    if (virtualSector >= before && virtualSector - before < length) {
      if (table.mftRunStart[i] == 0) return std::nullopt;  // sparse: nothing on disk
      return table.mftRunStart[i] + (virtualSector - before);
    }
    before += length;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> MapRecordToSector(const MftExtentTable& table, std::uint64_t record,
                                               std::size_t extentCount, std::uint32_t recordBytes) {
  const std::uint64_t perRecord = std::max<std::uint32_t>(recordBytes, kSectorBytes) / kSectorBytes;
  if (record > UINT64_MAX / perRecord) return std::nullopt;
  return MapMftSector(table, record * perRecord, extentCount);
}

std::optional<std::uint64_t> RecordNumberAtSector(const MftExtentTable& table, std::uint64_t sector,
                                                  std::uint32_t recordBytes) {
  const std::uint64_t perRecord = std::max<std::uint32_t>(recordBytes, kSectorBytes) / kSectorBytes;
  const std::size_t count =
      std::min({table.mftRunCount, table.mftRunStart.size(), table.mftRunLength.size()});
  std::uint64_t before = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t start = table.mftRunStart[i], length = table.mftRunLength[i];
    if (start != 0 && sector >= start && sector - start < length) {
      const std::uint64_t virtualSector = before + (sector - start);
      if (virtualSector % perRecord != 0) return std::nullopt;
      return virtualSector / perRecord;
    }
    before += length;
  }
  return std::nullopt;
}

bool ReadMftRecord(const Volume& volume, const MftExtentTable& table, std::uint64_t record,
                   std::vector<std::uint8_t>& out, FixupResult* fixups) {
  const std::uint32_t sectors = volume.RecordSectors();
  out.assign(volume.recordBytes, 0);
  if (record > UINT64_MAX / sectors) return false;
  const std::uint64_t first = record * sectors;
  for (std::uint32_t j = 0; j < sectors;) {
    auto sector = MapMftSector(table, first + j, table.mftRunCount);
    if (!sector) return false;
    // Read as many sectors as stay contiguous on disk.
    std::uint32_t run = 1;
    while (j + run < sectors) {
      auto next = MapMftSector(table, first + j + run, table.mftRunCount);
      if (!next || *next != *sector + run) break;
      ++run;
    }
    if (!ReadSectors(volume.device, out.data() + j * kSectorBytes, *sector, run)) return false;
    j += run;
  }
  FixupResult f = ApplyFixups(out);
  if (fixups) *fixups = f;
  return true;
}

bool RecordWindow::Read(const Volume& volume, std::uint64_t sector, std::uint32_t sectors,
                        std::uint8_t* out) {
  if (device_ != volume.device || sector < first_ || sector + sectors > first_ + count_) {
    if (sector >= volume.endSector || sectors > kSectors) return false;
    // A window that held an unreadable sector is not asked for again: its records are read
    // one by one.
    if (device_ == volume.device && sector >= failedFirst_ && sector < failedEnd_) return false;
    const auto count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kSectors, volume.endSector - sector));
    if (count < sectors) return false;
    bytes_.resize(static_cast<std::size_t>(kSectors) * kSectorBytes);
    count_ = 0;
    device_ = volume.device;
    if (!ReadSectors(volume.device, bytes_.data(), sector, count)) {
      failedFirst_ = sector;
      failedEnd_ = sector + count;
      return false;
    }
    first_ = sector;
    count_ = count;
  }
  std::memcpy(out, bytes_.data() + (sector - first_) * kSectorBytes,
              static_cast<std::size_t>(sectors) * kSectorBytes);
  return true;
}

bool ReadRecordAtSector(const Volume& volume, const MftExtentTable& table, std::uint64_t sector,
                        std::vector<std::uint8_t>& out, FixupResult* fixups,
                        RecordWindow* window) {
  const std::uint32_t sectors = volume.RecordSectors();
  // A record that crosses the end of an MFT extent continues in the next one.
  std::uint64_t before = 0;
  const std::size_t count =
      std::min({table.mftRunCount, table.mftRunStart.size(), table.mftRunLength.size()});
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t start = table.mftRunStart[i], length = table.mftRunLength[i];
    if (start != 0 && sector >= start && sector - start < length) {
      const std::uint64_t virtualSector = before + (sector - start);
      if (sector - start + sectors > length && virtualSector % sectors == 0)
        return ReadMftRecord(volume, table, virtualSector / sectors, out, fixups);
      break;
    }
    before += length;
  }
  out.assign(volume.recordBytes, 0);
  if (!(window && window->Read(volume, sector, sectors, out.data())) &&
      !ReadSectors(volume.device, out.data(), sector, sectors))
    return false;
  FixupResult f = ApplyFixups(out);
  if (fixups) *fixups = f;
  return true;
}

std::optional<std::vector<std::uint8_t>> ReadAttributeValue(const Volume& volume,
                                                            const AttributeHeader& attribute,
                                                            std::uint64_t limit) {
  if (!attribute.nonResident) {
    Bytes value = attribute.Value();
    return std::vector<std::uint8_t>(value.begin(),
                                     value.begin() + std::min<std::uint64_t>(value.size(), limit));
  }
  if (attribute.lowestVcn != 0 || volume.sectorsPerCluster == 0) return std::nullopt;
  const std::uint64_t wanted = std::min(attribute.realSize, limit);
  const std::uint64_t clusterBytes = volume.sectorsPerCluster * kSectorBytes;
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(wanted));
  RunListWalk runs(attribute.RunList());
  while (out.size() < wanted) {
    auto run = runs.Next();
    if (!run) return std::nullopt;  // the runs end before the value does
    const std::uint64_t runBytes = std::min<unsigned __int128>(
        static_cast<unsigned __int128>(run->length) * clusterBytes, wanted - out.size());
    if (run->sparse) {
      out.resize(out.size() + runBytes, 0);
      continue;
    }
    const std::uint64_t clusters = (runBytes + clusterBytes - 1) / clusterBytes;
    auto sector = volume.ClusterSector(run->lcn, clusters);
    if (!sector) return std::nullopt;
    const std::uint64_t sectors = (runBytes + kSectorBytes - 1) / kSectorBytes;
    std::vector<std::uint8_t> buffer(sectors * kSectorBytes);
    if (!ReadSectors(volume.device, buffer.data(), *sector, static_cast<std::uint32_t>(sectors)))
      return std::nullopt;
    out.insert(out.end(), buffer.begin(), buffer.begin() + runBytes);
  }
  return out;
}

std::optional<std::vector<AttributeListEntry>> ReadAttributeList(const Volume& volume, Bytes record,
                                                                 const FileRecordHeader& header,
                                                                 std::uint64_t limit) {
  AttributeWalk walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type != kAttrAttributeList) continue;
    auto value = ReadAttributeValue(volume, *a, limit);
    if (!value) return std::nullopt;
    std::vector<AttributeListEntry> entries;
    AttributeListWalk list(*value);
    while (auto e = list.Next()) entries.push_back(*e);
    return entries;
  }
  return std::nullopt;
}

std::vector<AttributeListEntry> CollectMftExtensionRecords(const Volume& volume, Bytes record0,
                                                           const FileRecordHeader& header) {
  std::vector<AttributeListEntry> out;
  auto entries = ReadAttributeList(volume, record0, header);
  if (!entries) return out;
  for (const auto& e : *entries)
    if (e.type == kAttrData && e.Unnamed()) out.push_back(e);
  return out;
}

MftExtentTable LocateMft(const Volume& volume, std::uint64_t mftStart, std::uint64_t mftMirrStart) {
  // Record 0 at the MFT's start; when that copy is unusable, the mirror's copy exists for
  // exactly this. The root directory's record is no gate: a damaged one hides nothing else.
  // A table that does not put record 0 where the boot sector says the MFT starts is taken
  // only when nothing better is found.
  MftExtentTable fallback;
  for (std::uint64_t sector : {mftStart, mftMirrStart}) {
    if (sector == 0 || volume.sectorsPerCluster == 0) continue;
    MftExtentTable built;
    if (!BuildFromRecord0(volume, sector, built)) continue;
    auto record0 = MapRecordToSector(built, 0, built.mftRunCount, volume.recordBytes);
    if (!record0) continue;
    if (mftStart == 0 || *record0 == mftStart) return built;
    if (fallback.mftRunCount == 0) fallback = std::move(built);
  }
  return fallback;
}

std::uint64_t AppendRunsAsExtents(const Volume& volume, const std::vector<DataRun>& runs,
                                  std::uint64_t expectedVcn, MftExtentTable& table) {
  const std::uint64_t spc = volume.sectorsPerCluster;
  if (spc == 0) return expectedVcn;
  // A real MFT lies inside its partition; a run list that claims more is damaged or crafted,
  // and a walk over it would never end.
  std::uint64_t mapped = 0, virtualSectors = 0;
  for (std::size_t i = 0; i < table.mftRunCount; ++i) {
    virtualSectors += table.mftRunLength[i];
    if (table.mftRunStart[i] != 0) mapped += table.mftRunLength[i];
  }
  const std::uint64_t partitionSectors =
      volume.endSector > volume.firstSector ? volume.endSector - volume.firstSector : UINT64_MAX;
  bool full = false;
  // `gap` names a stretch no read can reach (see MftExtentTable::gaps): unmapped, or beyond the
  // end at `beyondAt`.
  enum class Gap { None, Unmapped, BeyondEnd };
  auto push = [&](std::uint64_t start, std::uint64_t clusters, Gap gap = Gap::None,
                  std::uint64_t beyondAt = 0) {
    if (static_cast<unsigned __int128>(clusters) * spc > kMaxMftSectors) {
      full = true;
      return;
    }
    const std::uint64_t sectors = clusters * spc;
    if (table.mftRunCount >= kMaxMftExtents || virtualSectors + sectors > kMaxMftSectors ||
        (start != 0 && mapped + sectors > partitionSectors)) {
      full = true;
      return;
    }
    if (gap != Gap::None)
      table.gaps.push_back({virtualSectors, sectors, gap == Gap::BeyondEnd, beyondAt});
    virtualSectors += sectors;
    if (start != 0) mapped += sectors;
    table.mftRunStart.resize(table.mftRunCount);
    table.mftRunLength.resize(table.mftRunCount);
    table.mftRunStart.push_back(start);
    table.mftRunLength.push_back(sectors);
    ++table.mftRunCount;
  };
  for (const DataRun& run : runs) {
    if (full) break;
    if (run.vcn < expectedVcn) continue;                        // overlaps what is mapped already
    if (run.vcn > expectedVcn) push(0, run.vcn - expectedVcn, Gap::Unmapped);  // a piece we could not read
    if (run.sparse) {
      push(0, run.length);
    } else if (auto start = volume.ClusterSector(run.lcn, run.length)) {
      push(*start, run.length);
    } else {
      // The run ends beyond the partition (an image cut short, a table that claims too much):
      // the clusters before the end are read, the rest are named as unreachable.
      std::uint64_t inside = 0;
      const unsigned __int128 first =
          static_cast<unsigned __int128>(run.lcn) * spc + volume.firstSector;
      if (first < volume.endSector)
        inside = static_cast<std::uint64_t>((volume.endSector - first) / spc);
      inside = std::min(inside, run.length);
      if (inside > 0) push(*volume.ClusterSector(run.lcn, inside), inside);
      const unsigned __int128 beyond = first + static_cast<unsigned __int128>(inside) * spc;
      push(0, run.length - inside, Gap::BeyondEnd,
           beyond > UINT64_MAX ? 0 : static_cast<std::uint64_t>(beyond));
    }
    expectedVcn = run.vcn + run.length;
  }
  return expectedVcn;
}

}  // namespace brevant::ntfs

namespace brevant {

void BuildMftExtentTable(RecoverySession& session, RecoveryView& /*view*/) {
  session.mftExtents.Clear();
  ScanParameters& params = session.scanParams;
  // The record size comes from the boot sector; when that value is unusable, record 0 says
  // how large it is.
  if (params.sectorsPerFileRecord != 2 && params.sectorsPerFileRecord != 4 &&
      params.sectorsPerFileRecord != 8) {
    for (std::uint64_t sector : {params.mftStart, params.mftMirrStart}) {
      if (sector == 0) continue;
      std::vector<std::uint8_t> first(8 * ntfs::kSectorBytes, 0);
      ReadSectors(session.SelectedDevice(), first.data(), sector, 8);
      auto header = ntfs::FileRecordHeader::Parse(first);
      if (header && (header->bytesAllocated == 1024 || header->bytesAllocated == 2048 ||
                     header->bytesAllocated == 4096)) {
        params.sectorsPerFileRecord = header->bytesAllocated / ntfs::kSectorBytes;
        break;
      }
    }
  }
  session.mftExtents =
      ntfs::LocateMft(ntfs::VolumeOf(session), params.mftStart, params.mftMirrStart);
}

}  // namespace brevant

#include "ntfs/conditions.h"

#include <algorithm>

#include "core/read_sectors.h"
#include "core/text.h"

namespace brevant::ntfs {

std::uint64_t VolumeClusters(const Volume& volume) {
  if (volume.sectorsPerCluster == 0 || volume.endSector == UINT64_MAX ||
      volume.endSector <= volume.firstSector)
    return 0;
  return (volume.endSector - volume.firstSector) / volume.sectorsPerCluster;
}

void PlaceStream(Bytes record, const FileRecordHeader& header, const ExtensionSource& source,
                 std::u16string_view name, Placement& out) {
  out.kind = DataPlacements::Kind::Unknown;
  out.runs.clear();
  auto stream = GatherDataStream(record, header, source, nullptr, name);
  if (!stream) return;
  if (stream->resident) {
    out.kind = DataPlacements::Kind::InRecord;
    return;
  }
  for (const DataRun& run : stream->runs)
    if (!run.sparse) out.runs.push_back({run.vcn, run.lcn, run.length});
  out.kind = DataPlacements::Kind::Runs;
}

void PlaceInSweptRecord(const Volume& volume, std::uint64_t recordSector, Placement& out) {
  out.kind = DataPlacements::Kind::Unknown;
  out.runs.clear();
  if (volume.sectorsPerCluster == 0 || recordSector < volume.firstSector) return;
  const std::uint64_t first = (recordSector - volume.firstSector) / volume.sectorsPerCluster;
  const std::uint64_t last =
      (recordSector + volume.RecordSectors() - 1 - volume.firstSector) / volume.sectorsPerCluster;
  out.runs.push_back({0, first, last - first + 1});
  out.kind = DataPlacements::Kind::Runs;
}

void MarkLiveRuns(Bytes record, const FileRecordHeader& header, ClusterMap& claims) {
  // Read straight from the bytes: this runs for every record in use, and only the run lists
  // of non-resident attributes matter. Every offset is checked against the attribute.
  const std::size_t end = header.AttributesEnd(record.size());
  std::size_t at = header.firstAttribute;
  for (int guard = 0; guard < 256 && at + 16 <= end; ++guard) {
    const std::uint8_t* a = record.data() + at;
    const std::uint32_t type = Le32(a), length = Le32(a + 4);
    if (type == kAttrEnd || type == 0 || length < 16 || length > end - at) break;
    if (a[8] == 1 && length >= 0x40) {
      const std::size_t runs = Le16(a + 0x20);
      if (runs >= 0x40 && runs < length) {
        RunListWalk walk(record.subspan(at + runs, length - runs), Le64(a + 0x10));
        for (int n = 0; n < 65536; ++n) {
          auto run = walk.Next();
          if (!run) break;
          if (!run->sparse) claims.Mark(run->lcn, run->length);
        }
      }
    }
    at += length;
  }
}

void Keep(ConditionFacts& facts, const CatalogueNode* file, const Placement& placement) {
  if (file == nullptr || !facts.enabled) return;
  facts.deletedFiles.push_back(file);
  DataPlacements& placements = facts.placements;
  if (placement.kind == DataPlacements::Kind::Runs)
    placements.SetRuns(file->order, placement.runs);
  else if (placement.kind == DataPlacements::Kind::InRecord)
    placements.SetInRecord(file->order);
}

namespace {

// $Bitmap, a bit per cluster, read along its runs in pieces of at most 1 MiB; nothing when a
// piece cannot be read or the runs do not cover the volume.
std::optional<ClusterMap> ReadBitmap(const Volume& volume, const ConditionFacts& facts,
                                     std::uint64_t clusters) {
  if (facts.mapBytes == 0 || clusters == 0) return std::nullopt;
  const std::uint64_t wanted = std::min<std::uint64_t>(clusters, facts.mapBytes * 8);
  ClusterMap map(wanted);
  const std::uint64_t clusterBytes = volume.sectorsPerCluster * kSectorBytes;
  const std::uint64_t chunkClusters = std::max<std::uint64_t>(1, (1u << 20) / clusterBytes);
  std::vector<std::uint8_t> buffer;
  std::uint64_t done = 0;  // clusters of the volume described so far
  std::uint64_t vcnNext = 0;
  for (const ClusterRun& run : facts.mapRuns) {
    if (done >= wanted) break;
    if (run.vcn != vcnNext) return std::nullopt;  // a sparse piece: those bits are unknown
    vcnNext = run.vcn + run.length;
    for (std::uint64_t k = 0; k < run.length && done < wanted; k += chunkClusters) {
      const std::uint64_t n = std::min(chunkClusters, run.length - k);
      auto sector = volume.ClusterSector(run.lcn + k, n);
      if (!sector) return std::nullopt;
      buffer.resize(n * clusterBytes);
      if (!ReadSectors(volume.device, buffer.data(), *sector,
                       static_cast<std::uint32_t>(n * volume.sectorsPerCluster)))
        return std::nullopt;
      const std::uint64_t bytes = std::min<std::uint64_t>(buffer.size(), (wanted - done + 7) / 8);
      map.MarkBytes(done, buffer.data(), static_cast<std::size_t>(bytes));
      done = std::min(wanted, done + bytes * 8);
    }
  }
  if (done < wanted) return std::nullopt;
  return map;
}

}  // namespace
}  // namespace brevant::ntfs

namespace brevant {

void JudgeNtfsConditions(RecoverySession& session, RunResult& result) {
  ConditionFacts& facts = session.conditionFacts;
  if (!facts.enabled) return;
  const ntfs::Volume volume = ntfs::VolumeOf(session);
  const std::uint64_t clusterBytes = volume.sectorsPerCluster * ntfs::kSectorBytes;
  std::optional<ClusterMap> inUse = ntfs::ReadBitmap(volume, facts, ntfs::VolumeClusters(volume));
  if (inUse) inUse->Merge(facts.liveClaims);
  // Only the deleted files the walk and the sweep kept: a pass over every file of a large
  // volume would cost the scan more than the judgement itself.
  for (const CatalogueNode* n : facts.deletedFiles) {
    const std::int64_t size = TextToInt(n->size);
    if (size < 0) continue;
    FileState state;
    if (size == 0) {
      state = {FileCondition::Intact, 0};
    } else {
      switch (facts.placements.KindOf(n->order)) {
        case DataPlacements::Kind::Unknown:
          continue;
        case DataPlacements::Kind::InRecord:
          state = {FileCondition::Intact, 0};
          break;
        case DataPlacements::Kind::Runs:
          if (!inUse) continue;
          state = JudgeRuns(*inUse, facts.placements.RunsOf(n->order),
                            static_cast<std::uint64_t>(size), clusterBytes);
          break;
      }
    }
    result.SetState(*n, state);
    if (state.condition == FileCondition::Intact) {
      ++result.files.intactFiles;
      result.files.intactBytes += static_cast<std::uint64_t>(size);
    }
  }
  facts.Clear();
}

}  // namespace brevant

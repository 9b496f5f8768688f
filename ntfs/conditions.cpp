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
  AttributeWalk walk(record, header);
  // A record holds a few dozen attributes at most; the walk stops at the first bad header.
  for (int guard = 0; guard < 256; ++guard) {
    auto attribute = walk.Next();
    if (!attribute) break;
    if (!attribute->nonResident) continue;
    RunListWalk runs(attribute->RunList(), attribute->lowestVcn);
    for (int n = 0; n < 65536; ++n) {
      auto run = runs.Next();
      if (!run) break;
      if (!run->sparse) claims.Mark(run->lcn, run->length);
    }
  }
}

void Keep(DataPlacements& placements, const CatalogueNode* file, const Placement& placement) {
  if (file == nullptr) return;
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
  for (const CatalogueNode* n = result.catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    if (!n->IsDeleted()) continue;
    const std::int64_t size = TextToInt(n->size);
    if (size < 0) continue;
    if (size == 0) {
      result.SetState(*n, {FileCondition::Intact, 0});
      continue;
    }
    switch (facts.placements.KindOf(n->order)) {
      case DataPlacements::Kind::Unknown:
        break;
      case DataPlacements::Kind::InRecord:
        result.SetState(*n, {FileCondition::Intact, 0});
        break;
      case DataPlacements::Kind::Runs:
        if (inUse)
          result.SetState(*n, JudgeRuns(*inUse, facts.placements.RunsOf(n->order),
                                        static_cast<std::uint64_t>(size), clusterBytes));
        break;
    }
  }
  facts.Clear();
}

}  // namespace brevant

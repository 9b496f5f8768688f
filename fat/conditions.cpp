// The condition of deleted FAT files: a deleted file's clusters are taken to follow its first
// one, as they do when it was written in one piece (its chain is cleared, nothing else says
// where it lay); a cluster is in use when either FAT copy says so or a live entry starts there.
#include <algorithm>

#include "core/read_sectors.h"
#include "core/run_result.h"
#include "core/text.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"

namespace brevant {
namespace {

constexpr std::uint32_t kChunkSectors = 2048;  // 1 MiB per read

// Marks the clusters the FAT copy at `fatStart` gives a value (anything but free). False when
// a sector of it cannot be read: a copy read in part says nothing about the rest.
bool MarkFromFat(const fat::FatVolume& v, std::uint64_t fatStart, ClusterMap& inUse) {
  if (fatStart == 0 || v.fatSize == 0) return false;
  const std::uint64_t entries = std::min<std::uint64_t>(std::uint64_t{v.lastCluster} + 1,
                                                        v.EntriesIn(v.fatSize * fat::kSectorBytes));
  if (entries == 0) return false;
  const std::uint64_t bytes = v.EntryOffset(entries - 1) + v.EntrySpan();
  const std::uint64_t sectors = (bytes + fat::kSectorBytes - 1) / fat::kSectorBytes;
  if (fatStart + sectors > v.partEnd) return false;
  // `buffer` holds the FAT from byte `base` on: a FAT12 entry may straddle two reads, so the
  // bytes of an entry not yet whole are kept for the next one.
  std::vector<std::uint8_t> buffer;
  std::uint64_t base = 0, entry = 0;
  for (std::uint64_t done = 0; done < sectors;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkSectors, sectors - done));
    const std::size_t kept = buffer.size();
    buffer.resize(kept + std::size_t{n} * fat::kSectorBytes);
    if (ReadSectors(v.device, buffer.data() + kept, fatStart + done, n) == 0) return false;
    done += n;
    for (; entry < entries; ++entry) {
      const std::uint64_t at = v.EntryOffset(entry) - base;
      if (at + v.EntrySpan() > buffer.size()) break;
      if (v.DecodeEntry(buffer.data() + at, entry) != 0) inUse.Mark(entry, 1);
    }
    const std::uint64_t keepFrom = std::min<std::uint64_t>(v.EntryOffset(entry) - base, buffer.size());
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(keepFrom));
    base += keepFrom;
  }
  return true;
}

}  // namespace

void JudgeFatConditions(RecoverySession& session, RunResult& result) {
  if (!session.conditionFacts.enabled) return;
  auto volume = fat::VolumeFromParameters(session.scanParams, session.scanParams.fsName,
                                          session.SelectedDevice(), session.selectedPartitionStart,
                                          session.selectedPartitionEnd);
  if (!volume || volume->lastCluster < 2) return;
  const fat::FatVolume& v = *volume;
  ClusterMap inUse(std::uint64_t{v.lastCluster} + 1);
  inUse.Mark(0, 2);  // no data lies in clusters 0 and 1
  const bool first = MarkFromFat(v, v.fat1Start, inUse);
  const bool second = v.fat2Start != v.fat1Start && MarkFromFat(v, v.fat2Start, inUse);
  if (!first && !second) return;  // no allocation map: every deleted file stays unknown
  const Catalogue& catalogue = result.catalogue;
  // A live entry claims its first cluster even where its chain is broken there.
  for (const CatalogueNode* n = catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    if (n->IsDeleted() || TextToInt(n->size) <= 0) continue;
    const std::int64_t start = TextToInt(n->id);
    if (start >= 2 && start <= v.lastCluster) inUse.Mark(static_cast<std::uint64_t>(start), 1);
  }
  for (const CatalogueNode* n = catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    if (!n->IsDeleted()) continue;
    const std::int64_t size = TextToInt(n->size), start = TextToInt(n->id);
    if (size < 0) continue;
    const std::uint64_t bytes = static_cast<std::uint64_t>(size);
    FileState state{FileCondition::Intact, 0};
    if (size != 0) {
      // A first cluster outside the volume (a cleared entry) says nothing about where it lay.
      if (start < 2 || start > v.lastCluster) continue;
      const std::uint64_t clusterBytes = v.ClusterBytes();
      const ClusterRun run{0, static_cast<std::uint64_t>(start),
                           bytes / clusterBytes + (bytes % clusterBytes != 0)};
      state = JudgeRuns(inUse, std::span<const ClusterRun>(&run, 1), bytes, clusterBytes);
    }
    result.SetState(*n, state);
    if (state.condition == FileCondition::Intact) {
      ++result.files.intactFiles;
      result.files.intactBytes += bytes;
    }
  }
}

}  // namespace brevant

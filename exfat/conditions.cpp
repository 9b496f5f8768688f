// The condition of deleted exFAT files: a cluster is in use when the allocation bitmap marks
// it or a live file's data lies there; a deleted file's data lies where extraction reads it.
#include "core/run_result.h"
#include "core/text.h"
#include "disk/exfat_boot.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"

namespace brevant {

void JudgeExfatConditions(RecoverySession& session, RunResult& result) {
  if (!session.conditionFacts.enabled) return;
  auto volume = exfat::VolumeFromParameters(session.scanParams, session.SelectedDevice(),
                                            session.selectedPartitionStart,
                                            session.selectedPartitionEnd);
  if (!volume) return;
  auto boot = disk::ReadExfatBoot(volume->device, volume->partStart, volume->partEnd);
  if (!boot) return;
  auto bitmap = disk::ReadExfatBitmap(volume->device, volume->partStart, volume->partEnd, *boot);
  if (!bitmap) return;  // no allocation map: every deleted file stays unknown
  const exfat::ExfatVolume& v = *volume;
  ClusterMap inUse(v.LastCluster() + 1);
  inUse.Mark(0, 2);  // no data lies in clusters 0 and 1
  // Bit k of byte j is cluster 2 + 8j + k.
  for (std::size_t j = 0; j < bitmap->size(); ++j)
    for (unsigned k = 0; (*bitmap)[j] != 0 && k < 8; ++k)
      if (((*bitmap)[j] >> k) & 1) inUse.Mark(2 + 8 * std::uint64_t{j} + k, 1);
  inUse.Merge(session.conditionFacts.liveClaims);
  exfat::FatTable fat(v);
  for (const CatalogueNode* n = result.catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    if (!n->IsDeleted()) continue;
    const std::int64_t size = TextToInt(n->size), first = TextToInt(n->id);
    if (size < 0) continue;
    const auto bytes = static_cast<std::uint64_t>(size);
    FileState state{FileCondition::Intact, 0};
    if (bytes != 0) {
      if (first < 2 || first > static_cast<std::int64_t>(v.LastCluster())) continue;
      const exfat::SpareFacts facts = exfat::ParseSpareText(n->spareText);
      std::string error;
      auto layout = exfat::LayoutOf(v, fat, static_cast<std::uint32_t>(first), bytes,
                                    facts.noFatChain, true, &error, &*bitmap);
      if (!layout) continue;
      state = JudgeRuns(inUse, layout->runs, bytes, v.ClusterBytes());
    }
    result.SetState(*n, state);
    if (state.condition == FileCondition::Intact) {
      ++result.files.intactFiles;
      result.files.intactBytes += bytes;
    }
  }
}

}  // namespace brevant

// exFAT file extraction: a contiguous run (NoFatChain) or the FAT chain; for a deleted file
// the chain only where it is still whole and agrees with the size, else the clusters from its
// first on. Bytes past the valid data length are written as zeros.
#include <algorithm>

#include "core/text.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"

namespace brevant {

std::optional<ExtractPlan> PlanExfatFile(RecoverySession& session, const CatalogueNode& file,
                                         std::string* error) {
  const std::int64_t size = TextToInt(file.size), first = TextToInt(file.id);
  if (file.IsFolder() || size < 0 || first < 0 || first > 0xFFFFFFFFLL) {
    *error = "not an exFAT file entry";
    return std::nullopt;
  }
  auto volume = exfat::VolumeFromParameters(session.scanParams, session.SelectedDevice(),
                                            session.selectedPartitionStart,
                                            session.selectedPartitionEnd);
  if (!volume) {
    *error = "the exFAT volume's layout is unknown; scan the partition first";
    return std::nullopt;
  }
  const exfat::SpareFacts facts = exfat::ParseSpareText(file.spareText);
  const auto bytes = static_cast<std::uint64_t>(size);
  // The zeros past the valid data length count too: a size no cluster run of this volume can
  // hold is no file of it (and would write without end).
  if (volume->ClustersFor(bytes) > volume->clusterCount) {
    *error = "the file is larger than the volume";
    return std::nullopt;
  }
  const std::uint64_t valid = std::min(facts.validDataLength, bytes);
  ExtractPlan plan;
  plan.device = volume->device;
  plan.modifiedTime = ExfatEntryModifiedTime(file);
  // Only the clusters holding valid data are read; the rest of the file is zeros whatever
  // its clusters hold.
  if (valid > 0) {
    exfat::FatTable fat(*volume);
    std::shared_ptr<const exfat::Bitmap> bitmap;
    if (file.IsDeleted() && facts.chainGone) bitmap = exfat::VolumeBitmap(*volume);
    // The whole size decides whether a deleted file's chain agrees; only the valid part is read.
    auto layout = exfat::LayoutOf(*volume, fat, static_cast<std::uint32_t>(first),
                                  file.IsDeleted() ? bytes : valid, facts.noFatChain,
                                  file.IsDeleted(), error, bitmap.get());
    if (!layout) return std::nullopt;
    std::uint64_t left = valid;
    for (const ClusterRun& r : layout->runs) {
      if (left == 0) break;
      const std::uint64_t n = std::min(r.length * volume->ClusterBytes(), left);
      plan.AddSource(volume->ClusterSector(r.lcn) * exfat::kSectorBytes, n);
      left -= n;
    }
    if (!layout->broken.empty()) {
      plan.incomplete = layout->broken;
      return plan;
    }
  }
  if (bytes > valid) plan.AddZeros(bytes - valid);
  return plan;
}

ExtractResult ExtractExfatFileTo(RecoverySession& session, ByteSink& sink,
                                 const CatalogueNode& file) {
  ExtractResult result;
  auto plan = PlanExfatFile(session, file, &result.error);
  if (!plan) return result;
  return WritePlan(*plan, sink, &session.stopRequested);
}

std::optional<std::int64_t> ExfatEntryModifiedTime(const CatalogueNode& entry) {
  return ListedTime(entry, true);
}

}  // namespace brevant

// FAT file extraction: the cluster chain in FAT #1, else in FAT #2, else consecutive clusters
// (a deleted file's chain is cleared), copied in runs of consecutive clusters.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/extract_plan.h"
#include "core/text.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"

namespace brevant {
namespace {

using fat::kSectorBytes;

struct Run {
  std::uint32_t first;
  std::uint32_t count;
};

struct Plan {
  fat::FatVolume volume;
  std::vector<Run> runs;
};

std::vector<Run> ToRuns(const std::vector<std::uint32_t>& clusters) {
  std::vector<Run> runs;
  for (std::uint32_t c : clusters) {
    if (!runs.empty() && runs.back().first + runs.back().count == c)
      ++runs.back().count;
    else
      runs.push_back({c, 1});
  }
  return runs;
}

std::optional<Plan> MakePlan(RecoverySession& session, std::uint64_t size, std::uint32_t start,
                             std::string* error) {
  auto volume = fat::VolumeFromParameters(session.scanParams, session.scanParams.fsName,
                                          session.SelectedDevice(), session.selectedPartitionStart,
                                          session.selectedPartitionEnd);
  if (!volume) {
    *error = "the FAT volume's layout is unknown; scan the partition first";
    return std::nullopt;
  }
  Plan plan{std::move(*volume), {}};
  const fat::FatVolume& v = plan.volume;
  if (size == 0) return plan;
  if (!v.IsDataCluster(start)) {
    *error = "starting cluster " + std::to_string(start) + " lies outside the volume";
    return std::nullopt;
  }
  const std::uint64_t needed = (size + v.ClusterBytes() - 1) / v.ClusterBytes();
  if (needed > v.lastCluster - 1ULL) {
    *error = "the file is larger than the volume";
    return std::nullopt;
  }
  // A volume with one FAT copy has fat2Start == fat1Start: no second try.
  const std::uint64_t copies[2] = {v.fat1Start, v.fat2Start != v.fat1Start ? v.fat2Start : 0};
  for (std::uint64_t fatStart : copies) {
    if (fatStart == 0) continue;
    fat::FatTable table(v, fatStart);
    auto chain = fat::BuildClusterChain(table, start, static_cast<std::size_t>(needed));
    if (chain.size() == needed) {
      plan.runs = ToRuns(chain);
      return plan;
    }
  }
  // No chain: the file's chain was cleared (deleted) or is broken. A cleared chain starts at a
  // free cluster; its data then lies in the free clusters from there on, since a cluster that
  // is allocated now belongs to some other file. A broken chain of a file still allocated is
  // read as consecutive clusters.
  fat::FatTable table(v, v.fat1Start);
  auto startValue = table.Entry(start);
  const bool cleared = startValue && *startValue == 0;
  std::vector<std::uint32_t> clusters{start};
  for (std::uint64_t c = static_cast<std::uint64_t>(start) + 1; clusters.size() < needed; ++c) {
    if (c > v.lastCluster) {
      *error = "the file's clusters would run past the end of the volume";
      return std::nullopt;
    }
    if (cleared) {
      auto value = table.Entry(static_cast<std::uint32_t>(c));
      if (value && *value != 0) continue;
    }
    clusters.push_back(static_cast<std::uint32_t>(c));
  }
  plan.runs = ToRuns(clusters);
  return plan;
}

// The clusters as stretches of the source, cut at the file's size.
ExtractPlan ToExtractPlan(const Plan& plan, std::uint64_t size) {
  ExtractPlan out;
  const fat::FatVolume& v = plan.volume;
  out.device = v.device;
  std::uint64_t left = size;
  for (const Run& run : plan.runs) {
    if (left == 0) break;
    const std::uint64_t bytes = std::min<std::uint64_t>(run.count * v.ClusterBytes(), left);
    out.AddSource(v.ClusterSector(run.first) * kSectorBytes, bytes);
    left -= bytes;
  }
  return out;
}

}  // namespace

std::optional<ExtractPlan> PlanFatFile(RecoverySession& session, std::uint64_t size,
                                       std::uint32_t startCluster, std::string* error) {
  auto plan = MakePlan(session, size, startCluster, error);
  if (!plan) return std::nullopt;
  return ToExtractPlan(*plan, size);
}

ExtractResult ExtractFatFileTo(RecoverySession& session, ByteSink& sink, std::uint64_t size,
                               std::uint32_t startCluster) {
  ExtractResult result;
  auto plan = PlanFatFile(session, size, startCluster, &result.error);
  if (!plan) return result;
  return WritePlan(*plan, sink, &session.stopRequested);
}

ExtractResult ExtractFatFile(RecoverySession& session, const std::filesystem::path& folder,
                             std::u16string_view name, std::uint64_t size,
                             std::uint32_t startCluster,
                             std::optional<std::int64_t> modifiedTime) {
  ExtractResult result;
  auto plan = PlanFatFile(session, size, startCluster, &result.error);
  if (!plan) return result;  // nothing is created for a file that cannot be copied
  plan->modifiedTime = modifiedTime;
  auto out = platform::OpenOutputFolder(folder, false, &result.error);
  if (!out) return result;
  return WritePlanToFolder(*plan, *out, name, &session.stopRequested);
}

std::optional<std::int64_t> FatEntryModifiedTime(const CatalogueNode& entry) {
  const std::int64_t date = TextToInt(entry.date), time = TextToInt(entry.time);
  if (date < 0 || date > 0xFFFF || time < 0 || time > 0xFFFF) return std::nullopt;
  return FatTimeToUnix(static_cast<std::uint16_t>(date), static_cast<std::uint16_t>(time));
}

ExtractResult ExtractFatEntry(RecoverySession& session, const std::filesystem::path& folder,
                              const CatalogueNode& file) {
  ExtractResult result;
  const std::int64_t size = TextToInt(file.size), cluster = TextToInt(file.id);
  if (file.IsFolder() || size < 0 || cluster < 0 || cluster > 0xFFFFFFFFLL) {
    result.error = "not a FAT file entry";
    return result;
  }
  return ExtractFatFile(session, folder, file.name, static_cast<std::uint64_t>(size),
                        static_cast<std::uint32_t>(cluster), FatEntryModifiedTime(file));
}

}  // namespace brevant

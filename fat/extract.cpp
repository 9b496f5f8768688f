// FAT file extraction: the cluster chain in FAT #1, else in FAT #2; for a deleted file (whose
// chain is cleared) consecutive clusters; for a live file whose chain breaks off, what comes
// before the break. Copied in runs of consecutive clusters.
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

// Why a live file's chain stops short, for the message.
std::string WhyBroken(const fat::FatVolume& v, std::uint32_t last, const fat::ChainEnd& end) {
  const std::string at = "cluster " + std::to_string(last);
  switch (end.kind) {
    case fat::ChainEnd::Kind::EndMark:
      return "the chain ends at " + at;
    case fat::ChainEnd::Kind::Loop:
      return at + " links back to cluster " + std::to_string(end.value);
    case fat::ChainEnd::Kind::Limit:
      break;
    case fat::ChainEnd::Kind::Broken: {
      if (!end.readable) return "the FAT entry of " + at + " cannot be read";
      if (end.value == 0) return at + " is marked free";
      if (end.value == v.EndMark() - 1) return at + " is marked bad";
      return at + " links to " + std::to_string(end.value) + ", no cluster of this volume";
    }
  }
  return at;
}

// `deleted`: the file (or a folder above it) is deleted, so its chain was cleared and its
// data is looked for where a deleted file's lies. A live file's chain is its data: where it
// loops, leaves the volume or stops short, the file ends there and the plan says so.
std::optional<Plan> MakePlan(RecoverySession& session, std::uint64_t size, std::uint32_t start,
                             bool deleted, std::string* error, std::string* incomplete) {
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
  std::vector<std::uint32_t> longest;  // the longest sound start of a chain, and how it ended
  fat::ChainEnd longestEnd;
  bool anyTable = false;
  for (std::uint64_t fatStart : copies) {
    if (fatStart == 0) continue;
    anyTable = true;
    fat::FatTable table(v, fatStart);
    fat::ChainEnd end;
    auto chain =
        fat::BuildClusterChain(table, start, static_cast<std::size_t>(needed), nullptr, &end);
    // A live file's chain may run on past its size (the size is what counts); a deleted
    // file's cleared chain only matches when it is exactly as long.
    if (chain.size() == needed || (!deleted && chain.size() > needed)) {
      chain.resize(static_cast<std::size_t>(needed));
      plan.runs = ToRuns(chain);
      return plan;
    }
    if (chain.size() > longest.size()) {
      longest = std::move(chain);
      longestEnd = end;
    }
  }
  // No chain: the file's chain was cleared (deleted) or is broken. A cleared chain starts at a
  // free cluster; its data then lies in the free clusters from there on, since a cluster that
  // is allocated now belongs to some other file. With no FAT to read, or for a deleted file
  // whose first cluster was taken again, consecutive clusters are all there is to go on.
  fat::FatTable table(v, v.fat1Start);
  auto startValue = table.Entry(start);
  const bool cleared = startValue && *startValue == 0;
  if (!deleted && !cleared && anyTable && !longest.empty()) {
    // A live file: its bytes end where its chain stops being sound.
    plan.runs = ToRuns(longest);
    const std::uint64_t sound = static_cast<std::uint64_t>(longest.size()) * v.ClusterBytes();
    *incomplete = "chain broken after " + std::to_string(sound) + " bytes (" +
                  WhyBroken(v, longest.back(), longestEnd) + ")";
    return plan;
  }
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
                                       std::uint32_t startCluster, std::string* error,
                                       bool deleted) {
  std::string incomplete;
  auto plan = MakePlan(session, size, startCluster, deleted, error, &incomplete);
  if (!plan) return std::nullopt;
  ExtractPlan out = ToExtractPlan(*plan, size);
  out.incomplete = std::move(incomplete);
  return out;
}

ExtractResult ExtractFatFileTo(RecoverySession& session, ByteSink& sink, std::uint64_t size,
                               std::uint32_t startCluster, bool deleted) {
  ExtractResult result;
  auto plan = PlanFatFile(session, size, startCluster, &result.error, deleted);
  if (!plan) return result;
  return WritePlan(*plan, sink, &session.stopRequested);
}

ExtractResult ExtractFatFile(RecoverySession& session, const std::filesystem::path& folder,
                             std::u16string_view name, std::uint64_t size,
                             std::uint32_t startCluster, std::optional<std::int64_t> modifiedTime,
                             bool deleted) {
  ExtractResult result;
  auto plan = PlanFatFile(session, size, startCluster, &result.error, deleted);
  if (!plan) return result;  // nothing is created for a file that cannot be copied
  plan->modifiedTime = modifiedTime;
  auto out = platform::OpenOutputFolder(folder, false, &result.error);
  if (!out) return result;
  return WritePlanToFolder(*plan, *out, name, &session.stopRequested);
}

std::optional<std::int64_t> FatEntryModifiedTime(const CatalogueNode& entry) {
  return ListedTime(entry, true);
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
                        static_cast<std::uint32_t>(cluster), FatEntryModifiedTime(file),
                        file.IsDeleted());
}

}  // namespace brevant

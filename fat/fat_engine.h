#pragma once
// FAT12/FAT16/FAT32 engine: geometry, directory sweep, result tree, extraction.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/extract_plan.h"
#include "core/output_file.h"
#include "core/recovery_session.h"
#include "model/result_tree.h"

namespace brevant {
class RunResult;

// How the FAT engine reads a range. Results never depend on it; tests use one-sector batches
// to prove that.
struct FatReadOptions {
  std::uint32_t batchSectors = 0;  // sectors per read when sweeping; 0 for the default (4 MiB)
  // The extensive scan: directories whose chain is gone are followed into the clusters after
  // them, and stray directory entries are looked for in every cluster nothing accounts for.
  bool extensive = false;
};

// Confirms or derives the FAT geometry in partParams. 1 on success, 0 otherwise.
int FindFatGeometry(RecoverySession& session, RecoveryView& view);
int FindFatGeometry(RecoverySession& session, RecoveryView& view, const FatReadOptions& options);
// Sweeps the volume and appends its folders and files to the catalogue.
void ScanFatClusters(RecoverySession& session, RecoveryView& view);
void ScanFatClusters(RecoverySession& session, RecoveryView& view, const FatReadOptions& options);
// Why the root directory is not where partParams put it ("no root directory at sector N ..."),
// or empty when a directory is there (an empty volume's root holds at least its label).
std::string FatRootDirectoryProblem(RecoverySession& session);
// Fills `tree` with the catalogued folder hierarchy. Returns 1.
int BuildFatResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree);

// Judges the condition of every deleted file of `result` (a FAT run) from both FAT copies and
// the live entries, and counts the intact ones in its figures; leaves them unknown when no FAT
// copy can be read.
void JudgeFatConditions(RecoverySession& session, RunResult& result);

// Where the `size` bytes of the file that starts at `startCluster` lie; nothing (with the
// reason) when they cannot be found inside the volume. `deleted`: the file or a folder above
// it is deleted (its chain is cleared: its data is looked for in the clusters from its first
// on). A live file whose chain loops, leaves the volume or stops short ends there: the plan
// holds the bytes before the break and says why in `incomplete` ("chain broken after N bytes").
std::optional<ExtractPlan> PlanFatFile(RecoverySession& session, std::uint64_t size,
                                       std::uint32_t startCluster, std::string* error,
                                       bool deleted = false);
// Writes the `size` bytes of the file that starts at `startCluster` to `sink` (those before
// the break of a broken chain, and then fails with the reason).
ExtractResult ExtractFatFileTo(RecoverySession& session, ByteSink& sink, std::uint64_t size,
                               std::uint32_t startCluster, bool deleted = false);
// The same into a new file named `name` (sanitised, never overwriting) inside `folder`.
ExtractResult ExtractFatFile(RecoverySession& session, const std::filesystem::path& folder,
                             std::u16string_view name, std::uint64_t size,
                             std::uint32_t startCluster,
                             std::optional<std::int64_t> modifiedTime = std::nullopt,
                             bool deleted = false);
// Recovers a catalogued FAT file into `folder` under its own name (sanitised, never
// overwriting) and gives it the entry's write date and time as its modification time.
ExtractResult ExtractFatEntry(RecoverySession& session, const std::filesystem::path& folder,
                              const CatalogueNode& file);
// The write date and time of a catalogued FAT entry as Unix seconds (the stored local time
// taken as UTC), when they are a valid date.
std::optional<std::int64_t> FatEntryModifiedTime(const CatalogueNode& entry);

}  // namespace brevant

#pragma once
// exFAT engine: parameters from the boot region, directory scan, result tree, extraction.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/extract_plan.h"
#include "core/output_file.h"
#include "core/recovery_session.h"
#include "model/result_tree.h"

namespace brevant {
class RunResult;

struct ExfatReadOptions {
  std::uint32_t batchSectors = 0;  // sectors per read when sweeping; 0 for the default (4 MiB)
  // The extensive scan: entry sets with valid checksums are looked for in every cluster nothing
  // accounts for (a quick format leaves the old directories there).
  bool extensive = false;
};

// Reads the boot region (the backup when the main one fails its checksum) into partParams.
// 1 on success; 0 with the reason in session.failureReason otherwise.
int FindExfatGeometry(RecoverySession& session, RecoveryView& view);
// Walks the directories from the root and appends their folders and files to the catalogue.
void ScanExfatVolume(RecoverySession& session, RecoveryView& view, const ExfatReadOptions& options);
// Why the root directory is not where the parameters put it, or empty when one is there.
std::string ExfatRootDirectoryProblem(RecoverySession& session);
// Fills `tree` with the catalogued folder hierarchy. Returns 1.
int BuildExfatResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree);
// Judges the condition of every deleted file of `result` from the allocation bitmap and the
// clusters of the live files; leaves them unknown when the bitmap cannot be read.
void JudgeExfatConditions(RecoverySession& session, RunResult& result);

// Where the bytes of a catalogued exFAT file lie: its contiguous run (NoFatChain) or its FAT
// chain; a deleted file's FAT chain only where it is still there and agrees with its size,
// else the clusters from its first on. Bytes past the valid data length are zeros.
std::optional<ExtractPlan> PlanExfatFile(RecoverySession& session, const CatalogueNode& file,
                                         std::string* error);
ExtractResult ExtractExfatFileTo(RecoverySession& session, ByteSink& sink,
                                 const CatalogueNode& file);

// The entry's last-modified time as Unix seconds (the stored clock taken as UTC, 10 ms
// increment included), when it is a valid date.
std::optional<std::int64_t> ExfatEntryModifiedTime(const CatalogueNode& entry);

}  // namespace brevant

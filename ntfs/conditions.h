#pragma once
// What the NTFS engine keeps, while it reads the records, to judge deleted files' condition:
// the clusters live records claim, where $Bitmap lies, where each deleted stream's data lies.
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/allocation.h"
#include "core/catalogue.h"
#include "core/run_result.h"
#include "ntfs/extents.h"
#include "ntfs/record_info.h"

namespace brevant::ntfs {

// Where one stream of a deleted record keeps its data.
struct Placement {
  DataPlacements::Kind kind = DataPlacements::Kind::Unknown;
  std::vector<ClusterRun> runs;
};

// The clusters of the volume, from the partition's size.
std::uint64_t VolumeClusters(const Volume& volume);

// The stream `name` (empty: the unnamed one) of a deleted base record: its runs, or "in its
// record" when resident; unknown when it cannot be gathered.
void PlaceStream(Bytes record, const FileRecordHeader& header, const ExtensionSource& source,
                 std::u16string_view name, Placement& out);
// A record found outside the MFT: resident data lies in the clusters that hold the record.
void PlaceInSweptRecord(const Volume& volume, std::uint64_t recordSector, Placement& out);

// Marks every cluster that a non-resident attribute of the in-use record `record` names.
void MarkLiveRuns(Bytes record, const FileRecordHeader& header, ClusterMap& claims);

// Files deleted catalogue file `file` for the judgement, with where its data lies.
void Keep(ConditionFacts& facts, const CatalogueNode* file, const Placement& placement);

}  // namespace brevant::ntfs

namespace brevant {

// Judges every deleted file of `result` (an NTFS run) from $Bitmap, read once along the runs
// the walk kept, and the clusters of live records, and counts the intact ones in its figures;
// then lets the gathered facts go.
void JudgeNtfsConditions(RecoverySession& session, RunResult& result);

}  // namespace brevant

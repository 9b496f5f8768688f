#pragma once
// NTFS engine: MFT extents, catalogue walk, result tree, extraction.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/extract_plan.h"
#include "core/output_file.h"
#include "core/recovery_session.h"
#include "model/result_tree.h"

namespace brevant {

// Maps the MFT's extents from record 0 (or its mirror copy) of the partition in scanParams.
void BuildMftExtentTable(RecoverySession& session, RecoveryView& view);
// Decodes every MFT record and appends folders and files to the catalogue.
void BuildNtfsCatalogue(RecoverySession& session, RecoveryView& view);
// Why the volume's anchors are missing from the MFT of scanParams: record 0 ($MFT) and the root
// directory's record 5 must be file records; empty when both are.
std::string NtfsAnchorProblem(RecoverySession& session);
// Fills `tree` from the folder catalogue. 1 when it ran to its end, 0 on a stop.
int BuildNtfsResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree);

namespace ntfs {
class RecordWindow;
}
// Where the `size` bytes of the data stream `stream` (empty: the unnamed one; else a named
// stream) of the record at `recordSector` lie, and the file's time. `window` (optional) keeps
// MFT reads for the records that follow. Nothing (with the reason) when the record gives no
// data to copy.
std::optional<ExtractPlan> PlanNtfsFile(RecoverySession& session, std::uint64_t size,
                                        std::uint64_t recordSector, ntfs::RecordWindow* window,
                                        std::string* error, std::u16string_view stream = {});
// Writes exactly `size` bytes of that stream of the record at `recordSector`.
ExtractResult ExtractNtfsFileTo(RecoverySession& session, ByteSink& sink, std::uint64_t size,
                                std::uint64_t recordSector, std::u16string_view stream = {});
ExtractResult ExtractNtfsFile(RecoverySession& session, const std::filesystem::path& folder,
                              std::u16string_view name, std::uint64_t size,
                              std::uint64_t recordSector, std::u16string_view stream = {});

}  // namespace brevant

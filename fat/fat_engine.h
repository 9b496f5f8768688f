#pragma once
// FAT16/FAT32 engine: geometry, directory sweep, result tree, extraction.
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "app/output_file.h"
#include "app/recovery_session.h"
#include "ui/result_tree.h"

namespace brevant {

// Confirms or derives the FAT geometry in partParams. 1 on success, 0 otherwise.
int FindFatGeometry(RecoverySession& session, RecoveryView& view);
// Sweeps the volume and appends its folders and files to the catalogue.
void ScanFatClusters(RecoverySession& session, RecoveryView& view);
// Fills `tree` with the catalogued folder hierarchy. Returns 1.
int BuildFatResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree);

// Writes exactly `size` bytes of the file that starts at `startCluster` to `sink`.
ExtractResult ExtractFatFileTo(RecoverySession& session, ByteSink& sink, std::uint64_t size,
                               std::uint32_t startCluster);
// The same into a new file named `name` (sanitised, never overwriting) inside `folder`.
ExtractResult ExtractFatFile(RecoverySession& session, const std::filesystem::path& folder,
                             std::u16string_view name, std::uint64_t size,
                             std::uint32_t startCluster);

}  // namespace brevant

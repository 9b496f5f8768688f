#pragma once
#include <filesystem>

#include "core/output_file.h"
#include "core/recovery_session.h"

namespace brevant {
// One recovery run on the selected partition. 1 after a normal end, 0 after an abort.
int RecoveryWorker(RecoverySession& session, RecoveryView& view);

// A catalogued file of the last run, by the engine of its file system: its bytes to `sink`,
// or a new file inside `folder` that carries the file's modification time.
ExtractResult ExtractCatalogueFileTo(RecoverySession& session, ByteSink& sink,
                                     const CatalogueNode& file);
ExtractResult ExtractCatalogueFile(RecoverySession& session, const std::filesystem::path& folder,
                                   const CatalogueNode& file);
}

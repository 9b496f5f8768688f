#pragma once
#include <filesystem>
#include <string_view>

#include "core/output_file.h"
#include "core/recovery_session.h"
#include "core/run_result.h"

namespace brevant {
// One recovery run on the selected partition. Says how it ended to the caller and, through
// RunEnded, to the view; a completed or stopped run hands its result over (HandOverResult) and
// makes it the session's current result. A call while another run is in progress is refused.
RunOutcome RecoveryWorker(RecoverySession& session, RecoveryView& view);

// The text of a failed run's message box.
inline constexpr std::u16string_view kParametersFailureText = u"Unable to calculate partition parameters";

// A catalogued file of a result, by the engine of the result's file system: its bytes to
// `sink`, or a new file inside `folder` that carries the file's modification time. Reads only
// the result, so it may run on any thread while another run works.
ExtractResult ExtractResultFileTo(const RunResult& result, ByteSink& sink, const CatalogueNode& file);
ExtractResult ExtractResultFile(const RunResult& result, const std::filesystem::path& folder,
                                const CatalogueNode& file);

// The same from the session's last run (single-threaded callers: the command line).
ExtractResult ExtractCatalogueFileTo(RecoverySession& session, ByteSink& sink,
                                     const CatalogueNode& file);
ExtractResult ExtractCatalogueFile(RecoverySession& session, const std::filesystem::path& folder,
                                   const CatalogueNode& file);
}  // namespace brevant

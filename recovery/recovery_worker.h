#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "core/output_file.h"
#include "core/recovery_session.h"
#include "core/run_result.h"

namespace brevant {
// One recovery run on the selected partition. Says how it ended to the caller and, through
// RunEnded, to the view; a completed or stopped run hands its result over (HandOverResult) and
// makes it the session's current result. A call while another run is in progress is refused.
// When session.resumeFrom names the run's sweep ("fat", or "ntfs" for an extensive NTFS run),
// the run goes on from it: the steps before the sweep are not run again (their results are
// back in the session), the sweep decodes its state and goes on from the checkpoint's
// position, and the rest runs as usual. A checkpoint of another sweep, or one whose state
// cannot be used, fails the run with the reason. resumeFrom is cleared when the run ends.
RunOutcome RecoveryWorker(RecoverySession& session, RecoveryView& view);

// How the engines read; results never depend on it (tests make many small batches).
struct RecoveryWorkerOptions {
  std::uint32_t fatBatchSectors = 0;   // the FAT sweep's reads; 0 for its default
  std::uint32_t ntfsBatchSectors = 0;  // the NTFS record sweep's; 0 for its default
};
RunOutcome RecoveryWorker(RecoverySession& session, RecoveryView& view,
                          const RecoveryWorkerOptions& options);

// Builds the folder tree of the session's catalogue, by its file system's engine (nothing for
// another file system).
void BuildResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree);

// Moves what the session's run gathered into `result`, with `tree` built from it: entry paths,
// file figures, the deleted files' states (`judge` records them), the unreadable records and
// what reading the files needs. The worker hands every run over this way; a saved result read
// back is made the same way.
void AssembleResult(RecoverySession& session, RunResult& result,
                    std::shared_ptr<ui::ResultTree> tree,
                    const std::function<void(RunResult&)>& judge);

// The text of a failed run's message box.
inline constexpr std::u16string_view kParametersFailureText = u"Unable to calculate partition parameters";

// A catalogued file of a result, by the engine of the result's file system: its bytes to
// `sink`. Reads only the result, so it may run on any thread while another run works. Files
// recovered into a folder go through FileRecoverer.
ExtractResult ExtractResultFileTo(const RunResult& result, ByteSink& sink, const CatalogueNode& file);

// The byte count of a catalogued file whose data can be looked for; false with the reason for
// a folder, a size that is no count, or an entry that only a folder index still names.
bool RecoverableSize(const CatalogueNode& file, std::uint64_t* size, std::string* error);

// The same from the session's last run (single-threaded callers: the command line).
ExtractResult ExtractCatalogueFileTo(RecoverySession& session, ByteSink& sink,
                                     const CatalogueNode& file);
}  // namespace brevant

#include "recovery/recovery_worker.h"

#include <atomic>
#include <functional>

#include "core/file_systems.h"
#include "core/text.h"

#include "exfat/exfat_engine.h"
#include "fat/fat_engine.h"
#include "ntfs/conditions.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_ids.h"
#include "ntfs/record_sweep.h"
#include "model/file_listing.h"
#include "model/result_tree.h"

namespace brevant {
namespace {

std::atomic<std::uint64_t> gNextWorkerId{1};

bool IsFatRun(const RecoverySession& session) {
  return IsFatFamily(session.scanFsName);
}

void ReportCompleted(RecoveryView& view) {
  view.SetStatusText(u"Scan Completed...");
  view.ShowMessage(u"Scan Completed Successfully\r\n", u"Calverin Brevant", MessageIcon::Question,
                   MessageButtons::Ok);
}

// The end of a run that could not read some MFT records: it says how many and where the first
// stretch lies, never that it succeeded.
void ReportUnreadable(RecoveryView& view, const UnreadableIndex& unreadable) {
  view.SetStatusText(u"Scan Completed With Unreadable Records...");
  std::string text = "Scan completed, but " + std::to_string(unreadable.records) + " MFT record" +
                     (unreadable.records == 1 ? "" : "s") + " could not be read";
  if (!unreadable.named.empty()) {
    const UnreadableRecords& first = unreadable.named.front();
    text += " (" + std::string(unreadable.stretches == 1 ? "" : "the first: ") + "records " +
            std::to_string(first.firstRecord) + " to " +
            std::to_string(first.firstRecord + first.count - 1) + ", " +
            UnreadableCauseText(first.cause) + ")";
  }
  text += ". What they held is missing from the results.\r\n";
  view.ShowMessage(FromUtf8(text), u"Calverin Brevant", MessageIcon::Information,
                   MessageButtons::Ok);
}

// A run that swept to its end: completed, unless MFT records could not be read.
RunOutcome EndOfSweep(const RecoverySession& session) {
  if (session.stopHonoured.load() == 1) return RunOutcome::Stopped;
  return session.unreadable.Empty() ? RunOutcome::Completed : RunOutcome::CompletedWithUnreadable;
}

// Ends the run as failed, saying why (the parameters, unless another reason is given).
RunOutcome Fail(RecoverySession& session, RecoveryView& view, std::string reason = {}) {
  session.failureReason = reason.empty() ? ToUtf8(kParametersFailureText) : std::move(reason);
  view.ShowMessage(FromUtf8(session.failureReason), u"Brevant", MessageIcon::Error,
                   MessageButtons::Ok);
  return RunOutcome::Failed;
}

// A file, or a folder other than the engine's own "Lost".
bool FoundAnything(const Catalogue& catalogue) {
  if (catalogue.fileList.First() != nullptr) return true;
  for (auto* n = catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    if (std::u16string_view(n->id) != ntfs::kLostFolderIdText) return true;
  return false;
}

// A completed run that found nothing, on a volume whose root (or MFT) is not where its
// parameters say, found no volume at all: that is a failure, never "0 files".
RunOutcome CheckSomethingFound(RecoverySession& session, RecoveryView& view, RunOutcome outcome) {
  if ((outcome != RunOutcome::Completed && outcome != RunOutcome::CompletedWithUnreadable) ||
      FoundAnything(session.catalogue))
    return outcome;
  const bool fat = IsFatRun(session);
  const std::string problem = fat                              ? FatRootDirectoryProblem(session)
                              : session.scanFsName == "exFAT" ? ExfatRootDirectoryProblem(session)
                                                               : NtfsAnchorProblem(session);
  if (problem.empty()) return outcome;  // an empty volume, intact
  return Fail(session, view,
              "nothing found where the " + session.scanFsName + " volume was expected: " + problem);
}

// Honours a stop at the worker's own check, or reports one an engine step honoured.
bool Stopped(RecoverySession& session, RecoveryView& view) {
  return HonourStop(session, view) || session.stopHonoured.load() == 1;
}

// The tree is built from what was found either way; after a stop the status text stays
// "Process Aborted...".
void StoringStatus(RecoverySession& session, RecoveryView& view) {
  if (session.stopHonoured.load() != 1)
    view.SetStatusText(u"Storing Directory Information.Please Wait...");
}

// What became of each deleted file's data, judged once from the allocation facts the run
// read; the engines count the intact ones.
void JudgeConditions(RecoverySession& session, RunResult& result) {
  if (IsFatRun(session))
    JudgeFatConditions(session, result);
  else if (session.scanFsName == "NTFS")
    JudgeNtfsConditions(session, result);
  else if (session.scanFsName == "exFAT")
    JudgeExfatConditions(session, result);
  session.conditionFacts.Clear();
}

// The result of the run: the run's catalogue and tree, and what reading its files needs.
void Complete(RecoverySession& session, RunResult& result, std::shared_ptr<ui::ResultTree> tree) {
  AssembleResult(session, result, std::move(tree),
                 [&session](RunResult& r) { JudgeConditions(session, r); });
}

// The engine steps of a FAT run. The tree is built from what was found, stopped or not (a
// stop at the worker's own check leaves an empty catalogue: the tree holds the top item).
RunOutcome RunFat(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree,
                  bool extensive, bool resuming, const RecoveryWorkerOptions& workerOptions) {
  // A stop during the search is no failure: the search ended because it was asked to. Going
  // on from a checkpoint, the geometry is the one the checkpoint was taken with.
  if (!resuming && FindFatGeometry(session, view) == 0 && !Stopped(session, view))
    return Fail(session, view);
  if (!Stopped(session, view)) {
    FatReadOptions options;
    options.batchSectors = workerOptions.fatBatchSectors;
    options.extensive = extensive;
    ScanFatClusters(session, view, options);
    if (!session.failureReason.empty()) return Fail(session, view, session.failureReason);
    StoringStatus(session, view);
  }
  static_cast<PartitionParameters&>(session.scanParams) = session.partParams;
  // Only the FAT values belong to this run.
  session.scanParams.mftStart = session.scanParams.mftMirrStart = 0;
  session.scanParams.sectorsPerFileRecord = session.scanParams.sectorsPerIndexRecord = 0;
  session.scanParams.fsName = session.scanFsName;
  BuildFatResultTree(session, view, tree);
  return session.stopHonoured.load() == 1 ? RunOutcome::Stopped : RunOutcome::Completed;
}

// The engine steps of an exFAT run: the boot region (or its backup), the directory walk and
// the tree of what was found, stopped or not.
RunOutcome RunExfat(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree,
                    bool extensive) {
  if (FindExfatGeometry(session, view) == 0)
    return Fail(session, view,
                ToUtf8(kParametersFailureText) + ": " + session.failureReason);
  if (!Stopped(session, view)) {
    static_cast<PartitionParameters&>(session.scanParams) = session.partParams;
    session.scanParams.fsName = session.scanFsName;
    ExfatReadOptions options;
    options.extensive = extensive;
    ScanExfatVolume(session, view, options);
    StoringStatus(session, view);
  }
  BuildExfatResultTree(session, view, tree);
  return session.stopHonoured.load() == 1 ? RunOutcome::Stopped : RunOutcome::Completed;
}

RunOutcome RunNtfs(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree,
                   bool extensive, bool resuming, const RecoveryWorkerOptions& workerOptions) {
  NtfsSweepOptions sweepOptions;
  sweepOptions.batchSectors = workerOptions.ntfsBatchSectors;
  if (resuming) {
    // The parameters, the MFT's extents and what the MFT walk catalogued are back in the
    // session as the checkpoint found them: only the sweep goes on.
    if (!Stopped(session, view)) {
      SweepNtfsVolume(session, view, sweepOptions);
      if (!session.failureReason.empty()) return Fail(session, view, session.failureReason);
      StoringStatus(session, view);
    }
    BuildNtfsResultTree(session, view, tree);
    return EndOfSweep(session);
  }
  static_cast<PartitionParameters&>(session.scanParams) = session.partParams;
  session.scanParams.fsName = session.scanFsName;
  // Neither the MFT nor its mirror was found where the boot sectors say. The extensive run
  // still sweeps the volume for what the MFT held.
  if (session.scanParams.mftStart == 0 && session.scanParams.mftMirrStart == 0 && !extensive)
    return Fail(session, view);
  BuildMftExtentTable(session, view);
  if (!Stopped(session, view)) {
    if (session.mftExtents.mftRunCount == 0 && !extensive)
      return Fail(session, view,
                  "no MFT found: neither record 0 at sector " +
                      std::to_string(session.scanParams.mftStart) +
                      " nor its mirror copy at sector " +
                      std::to_string(session.scanParams.mftMirrStart) + " maps the MFT");
    BuildNtfsCatalogue(session, view);
    // The extensive run goes on beyond the MFT unless the walk was stopped.
    if (extensive && session.stopHonoured.load() != 1)
      SweepNtfsVolume(session, view, sweepOptions);
    StoringStatus(session, view);
  }
  BuildNtfsResultTree(session, view, tree);
  return EndOfSweep(session);
}

// Which sweep a checkpoint of this run must be of: the FAT sweep, or the extensive NTFS run's.
std::string ResumableSweep(const RecoverySession& session, bool extensive) {
  if (IsFatRun(session)) return "fat";
  if (session.scanFsName == "NTFS" && extensive) return "ntfs";
  return {};
}

}  // namespace

void AssembleResult(RecoverySession& session, RunResult& result,
                    std::shared_ptr<ui::ResultTree> tree,
                    const std::function<void(RunResult&)>& judge) {
  result.catalogue.TakeFrom(session.catalogue);
  result.tree = std::move(tree);
  ui::BuildEntryPaths(result);
  result.files = CountFiles(result.catalogue);
  judge(result);
  result.unreadable = std::move(session.unreadable);
  session.unreadable = {};
  result.TakeReaderState(session);
}

void BuildResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree) {
  if (IsFatRun(session))
    BuildFatResultTree(session, view, tree);
  else if (session.scanFsName == "NTFS")
    BuildNtfsResultTree(session, view, tree);
  else if (session.scanFsName == "exFAT")
    BuildExfatResultTree(session, view, tree);
}

RunOutcome RecoveryWorker(RecoverySession& session, RecoveryView& view) {
  return RecoveryWorker(session, view, RecoveryWorkerOptions{});
}

RunOutcome RecoveryWorker(RecoverySession& session, RecoveryView& view,
                          const RecoveryWorkerOptions& options) {
  std::int32_t idle = 0;
  if (!session.runInProgress.compare_exchange_strong(idle, 1)) return RunOutcome::Refused;
  // A "Yes" to Stop given while no run worked must not end this one.
  session.stopRequested.store(0);
  session.stopHonoured.store(0);
  session.recoveryThread.store(gNextWorkerId.fetch_add(1));
  // The mode the run was asked for: 2 is the extensive run, anything else the quick one.
  const bool extensive = session.recoveryMode.load() == 2;
  session.recoveryMode.store(extensive ? 2 : 1);
  view.SetStopEnabled(true);
  session.scanFsName = session.selectedFsName;
  // A run that goes on from a checkpoint finds the catalogue and the rest of what was found
  // before it in the session; the deep search's checkpoints are the volume search's.
  const bool resuming = session.resumeFrom && session.resumeFrom->sweep != "deep";
  if (!resuming) {
    // Every run starts from an empty catalogue: entries found twice would be wrong results.
    session.catalogue.Clear();
    session.mftExtents.Clear();
    session.unreadable = {};
  }
  session.conditionFacts.Clear();

  auto result = std::make_shared<RunResult>();
  result->disk = session.selectedDisk;
  result->devicePath = session.SelectedDevice();
  result->partitionStart = session.selectedPartitionStart;
  result->partitionEnd = session.selectedPartitionEnd;
  result->fsName = session.scanFsName;
  result->partition = session.SelectedFigures();
  auto tree = std::make_shared<ui::ResultTree>();

  session.failureReason.clear();
  RunOutcome outcome = RunOutcome::Completed;
  if (!session.selectedProblem.empty() && !session.scanFsName.empty())
    // Reading where the table says would read something else: nothing is scanned.
    outcome = Fail(session, view, "the partition cannot be scanned: " + session.selectedProblem);
  else if (resuming && session.resumeFrom->sweep != ResumableSweep(session, extensive))
    outcome = Fail(session, view,
                   "the checkpoint to go on from is of the \"" + session.resumeFrom->sweep +
                       "\" sweep, which a" + (extensive ? "n extensive " : " quick ") +
                       (session.scanFsName.empty() ? "" : session.scanFsName + " ") +
                       "run does not make");
  else if (IsFatRun(session))
    outcome = CheckSomethingFound(
        session, view, RunFat(session, view, *tree, extensive, resuming, options));
  else if (session.scanFsName == "NTFS")
    outcome = CheckSomethingFound(
        session, view, RunNtfs(session, view, *tree, extensive, resuming, options));
  else if (session.scanFsName == "exFAT")
    outcome = CheckSomethingFound(session, view, RunExfat(session, view, *tree, extensive));
  // Used or refused, a checkpoint is gone once the run is over.
  if (resuming) session.resumeFrom.reset();

  if (outcome != RunOutcome::Failed) {
    // Stopped runs hand over what was found: it stays browsable.
    result->outcome = outcome;
    Complete(session, *result, std::move(tree));
    session.SetCurrentResult(result);
    view.HandOverResult(result);
  } else {
    session.catalogue.Clear();
    session.unreadable = {};
    session.conditionFacts.Clear();
  }
  if (outcome == RunOutcome::Completed || outcome == RunOutcome::CompletedWithUnreadable) {
    if (outcome == RunOutcome::CompletedWithUnreadable)
      ReportUnreadable(view, result->unreadable);
    else if (!result->fsName.empty())
      ReportCompleted(view);
    if (result->fsName == "NTFS") view.SetProgress(0);
    session.scanDone.store(1);
  }
  view.SetStopEnabled(false);
  session.runInProgress.store(0);
  view.RunEnded(outcome);
  return outcome;
}

ExtractResult ExtractResultFileTo(const RunResult& result, ByteSink& sink,
                                  const CatalogueNode& file) {
  return ExtractCatalogueFileTo(result.Reader(), sink, file);
}

bool RecoverableSize(const CatalogueNode& file, std::uint64_t* size, std::string* error) {
  std::int64_t value = TextToInt(file.size);
  if (file.IsFolder() || value < 0) {
    *error = "not a file entry";
    return false;
  }
  // An entry known only from a folder index has a name and a size, and nothing says where
  // its data lies.
  if (std::u16string_view(file.spareText) == kIndexEntryMark) {
    *error = "only its entry in a folder index survives; where its data lies is not known";
    return false;
  }
  *size = static_cast<std::uint64_t>(value);
  return true;
}

ExtractResult ExtractCatalogueFileTo(RecoverySession& session, ByteSink& sink,
                                     const CatalogueNode& file) {
  ExtractResult result;
  std::uint64_t size = 0;
  if (!RecoverableSize(file, &size, &result.error)) return result;
  if (IsFatRun(session))
    return ExtractFatFileTo(session, sink, size, static_cast<std::uint32_t>(TextToInt(file.id)),
                            file.IsDeleted());
  if (session.scanFsName == "exFAT") return ExtractExfatFileTo(session, sink, file);
  if (session.scanFsName == "NTFS")
    return ExtractNtfsFileTo(session, sink, size,
                             static_cast<std::uint64_t>(TextToInt(file.sector)), file.stream);
  result.error = "no scan of a FAT, exFAT or NTFS partition to recover from";
  return result;
}

}  // namespace brevant

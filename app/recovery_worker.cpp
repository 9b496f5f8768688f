#include "app/recovery_worker.h"

#include <atomic>

#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "ui/result_tree.h"

namespace brevant {
namespace {

std::atomic<std::uint64_t> gNextWorkerId{1};

void ReportCompleted(RecoveryView& view) {
  view.SetStatusText(u"Scan Completed...");
  view.ShowMessage(u"Scan Completed Successfully\r\n", u"Calverin Brevant", MessageIcon::Question,
                   MessageButtons::Ok);
}

void HandOver(RecoverySession& session, RecoveryView& view, std::shared_ptr<ui::ResultTree> tree) {
  session.resultTree = tree;
  view.HandOverTree(std::move(tree));
}

bool Abort(RecoverySession& session, RecoveryView& view) { return HonourStop(session, view); }

}  // namespace

int RecoveryWorker(RecoverySession& session, RecoveryView& view) {
  session.recoveryThread.store(gNextWorkerId.fetch_add(1));
  session.recoveryMode.store(1);
  view.SetStopEnabled(true);
  session.scanFsName = session.selectedFsName;
  // Every run starts from an empty catalogue: entries found twice would be wrong results.
  session.catalogue.Clear();
  session.mftExtents.Clear();

  if (session.scanFsName == "FAT32" || session.scanFsName == "FAT16") {
    // A stop during the search is not a failure to report: it ends the run below.
    if (FindFatGeometry(session, view) == 0 && session.stopRequested.load() != 1)
      view.ShowMessage(u"Unable to calculate partition parameters", u"Brevant", MessageIcon::Error,
                       MessageButtons::Ok);
    if (Abort(session, view)) return 0;
    ScanFatClusters(session, view);
    view.SetStatusText(u"Storing Directory Information.Please Wait...");
    static_cast<PartitionParameters&>(session.scanParams) = session.partParams;
    // Only the FAT values belong to this run.
    session.scanParams.mftStart = session.scanParams.mftMirrStart = 0;
    session.scanParams.sectorsPerFileRecord = session.scanParams.sectorsPerIndexRecord = 0;
    session.scanParams.fsName = session.scanFsName;
    auto tree = std::make_shared<ui::ResultTree>();
    BuildFatResultTree(session, view, *tree);
    HandOver(session, view, std::move(tree));
    ReportCompleted(view);
  } else if (session.scanFsName == "NTFS") {
    static_cast<PartitionParameters&>(session.scanParams) = session.partParams;
    session.scanParams.fsName = session.scanFsName;
    BuildMftExtentTable(session, view);
    if (Abort(session, view)) return 0;
    BuildNtfsCatalogue(session, view);
    view.SetStatusText(u"Storing Directory Information.Please Wait...");
    auto tree = std::make_shared<ui::ResultTree>();
    BuildNtfsResultTree(session, view, *tree);
    HandOver(session, view, std::move(tree));
    ReportCompleted(view);
    view.SetProgress(0);
  }
  session.scanDone.store(1);
  view.SetStopEnabled(false);
  return 1;
}

}  // namespace brevant

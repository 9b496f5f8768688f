#include "recovery/recovery_worker.h"

#include <atomic>

#include "core/text.h"

#include "fat/fat_engine.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/record_sweep.h"
#include "model/result_tree.h"

namespace brevant {
namespace {

std::atomic<std::uint64_t> gNextWorkerId{1};

bool IsFatRun(const RecoverySession& session) {
  return session.scanFsName == "FAT32" || session.scanFsName == "FAT16";
}

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
  // The mode the run was asked for: 2 is the extensive run, anything else the quick one.
  const bool extensive = session.recoveryMode.load() == 2;
  session.recoveryMode.store(extensive ? 2 : 1);
  view.SetStopEnabled(true);
  session.scanFsName = session.selectedFsName;
  // Every run starts from an empty catalogue: entries found twice would be wrong results.
  session.catalogue.Clear();
  session.mftExtents.Clear();

  if (IsFatRun(session)) {
    // A stop during the search is not a failure to report: it ends the run below.
    if (FindFatGeometry(session, view) == 0 && session.stopRequested.load() != 1)
      view.ShowMessage(u"Unable to calculate partition parameters", u"Brevant", MessageIcon::Error,
                       MessageButtons::Ok);
    if (Abort(session, view)) return 0;
    FatReadOptions fatOptions;
    fatOptions.extensive = extensive;
    ScanFatClusters(session, view, fatOptions);
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
    // The extensive run goes on beyond the MFT unless the walk was stopped (it cleared the id).
    if (extensive && session.recoveryThread.load() != 0) SweepNtfsVolume(session, view);
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

namespace {

// The catalogue's size text; false (with the reason) when it is no byte count.
bool EntrySize(const CatalogueNode& file, std::uint64_t* size, ExtractResult* result) {
  std::int64_t value = TextToInt(file.size);
  if (file.IsFolder() || value < 0) {
    result->error = "not a file entry";
    return false;
  }
  // An entry known only from a folder index has a name and a size, and nothing says where
  // its data lies.
  if (std::u16string_view(file.spareText) == kIndexEntryMark) {
    result->error = "only its entry in a folder index survives; where its data lies is not known";
    return false;
  }
  *size = static_cast<std::uint64_t>(value);
  return true;
}

}  // namespace

ExtractResult ExtractCatalogueFileTo(RecoverySession& session, ByteSink& sink,
                                     const CatalogueNode& file) {
  ExtractResult result;
  std::uint64_t size = 0;
  if (!EntrySize(file, &size, &result)) return result;
  if (IsFatRun(session))
    return ExtractFatFileTo(session, sink, size, static_cast<std::uint32_t>(TextToInt(file.id)));
  if (session.scanFsName == "NTFS")
    return ExtractNtfsFileTo(session, sink, size, static_cast<std::uint64_t>(TextToInt(file.sector)));
  result.error = "no scan of a FAT or NTFS partition to recover from";
  return result;
}

ExtractResult ExtractCatalogueFile(RecoverySession& session, const std::filesystem::path& folder,
                                   const CatalogueNode& file) {
  ExtractResult result;
  std::uint64_t size = 0;
  if (!EntrySize(file, &size, &result)) return result;
  if (IsFatRun(session)) return ExtractFatEntry(session, folder, file);
  if (session.scanFsName == "NTFS")
    return ExtractNtfsFile(session, folder, file.name, size,
                           static_cast<std::uint64_t>(TextToInt(file.sector)));
  result.error = "no scan of a FAT or NTFS partition to recover from";
  return result;
}

}  // namespace brevant

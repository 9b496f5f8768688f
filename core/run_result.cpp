#include "core/run_result.h"

#include "core/text.h"

namespace brevant {

RunResult::RunResult() : reader_(std::make_unique<RecoverySession>()) {}
RunResult::~RunResult() = default;

void RunResult::TakeReaderState(const RecoverySession& session) {
  RecoverySession& r = *reader_;
  r.devicePath = session.devicePath;
  r.selectedDisk = session.selectedDisk;
  r.selectedPartitionStart = session.selectedPartitionStart;
  r.selectedPartitionEnd = session.selectedPartitionEnd;
  r.selectedFsName = session.selectedFsName;
  r.selectedSectorSize = session.selectedSectorSize;
  r.partParams = session.partParams;
  r.scanFsName = session.scanFsName;
  r.scanParams = session.scanParams;
  r.searchRangeEnd = session.searchRangeEnd;
  r.deviceName = session.deviceName;
  r.osReadMethod.store(session.osReadMethod.load());
  r.mftExtents = session.mftExtents;
  r.oemCodePage = session.oemCodePage;
}

FileState RunResult::StateOf(const CatalogueNode& file) const {
  if (!file.IsDeleted()) return {FileCondition::Live, 0};
  if (file.IsFolder()) return {};  // folders are numbered apart and have no data to judge
  return states_.Get(file.order);
}

FileFigures CountFiles(const Catalogue& catalogue) {
  FileFigures f;
  for (const CatalogueNode* n = catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    const std::int64_t size = TextToInt(n->size);
    const std::uint64_t bytes = size < 0 ? 0 : static_cast<std::uint64_t>(size);
    if (n->IsDeleted()) {
      ++f.deletedFiles;
      f.deletedBytes += bytes;
    } else {
      ++f.liveFiles;
      f.liveBytes += bytes;
    }
  }
  return f;
}

}  // namespace brevant

#include "recovery/recover_files.h"

#include "core/output_file.h"
#include "platform/output_target.h"
#include "recovery/recovery_worker.h"

namespace brevant {

namespace fs = std::filesystem;

fs::path OutputFolder(const fs::path& root, std::u16string_view slashPath) {
  fs::path out = root;
  std::size_t begin = 0;
  while (begin <= slashPath.size()) {
    std::size_t slash = slashPath.find(u'/', begin);
    if (slash == std::u16string_view::npos) slash = slashPath.size();
    if (slash > begin) out /= PathFromText(SanitiseName(slashPath.substr(begin, slash - begin)));
    begin = slash + 1;
  }
  return out;
}

RecoverSummary RecoverFilesToFolder(const RunResult& result, const RecoverRequest& request,
                                    const fs::path& to, RecoverObserver& observer) {
  RecoverSummary summary;
  if (platform::FolderIsOnDevice(result.devicePath, to)) {
    summary.error =
        to.string() + ": is on the disk being recovered; choose a folder on another disk";
    return summary;
  }
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec || !fs::is_directory(to)) {
    summary.error = to.string() + ": cannot create the folder";
    return summary;
  }
  for (const auto& folder : request.folders) fs::create_directories(OutputFolder(to, folder), ec);
  const std::size_t total = request.files.size();
  for (std::size_t i = 0; i < total; ++i) {
    if (observer.StopRequested()) {
      summary.stopped = true;
      break;
    }
    const auto& file = request.files[i];
    const fs::path folder = OutputFolder(to, file.folder);
    fs::create_directories(folder, ec);
    observer.FileStarted(UniqueOutputPath(folder, file.node->name), i, total);
    ExtractResult r = ExtractResultFile(result, folder, *file.node);
    if (r.ok) {
      ++summary.recovered;
      summary.bytes += r.bytesWritten;
    } else {
      ++summary.failed;
      observer.FileFailed(file.folder + u"/" + file.node->name, r.error);
    }
  }
  return summary;
}

}  // namespace brevant

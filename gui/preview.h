#pragma once
// A click on a listed file previews that row's own catalogued file: refused names get the
// message, everything else is extracted off the user-interface thread into the private preview
// folder (a large file only from its first bytes) and the pane shows the file actually written.
// A newer click supersedes a pending one.
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "core/catalogue.h"
#include "core/run_result.h"
#include "model/preview_rules.h"
#include "platform/preview_folder.h"

class QWidget;

namespace brevant::gui {

class CBrevantDlg;
class CExplorer1;
class CPieChartCtrl;

// What one preview produced, handed to the user-interface thread.
struct PreviewOutcome {
  std::uint64_t generation = 0;
  QString name;     // the catalogued name
  QString path;     // the file written; empty when none was
  QString failure;  // why nothing, or not all, was written
  QString note;     // e.g. that only the first bytes were extracted
  std::uint64_t bytesWritten = 0;
};

class PreviewController : public QObject {
  Q_OBJECT

 public:
  // `pane` shows the previews; `messageOwner` owns the refusal message.
  PreviewController(CExplorer1* pane, QWidget* messageOwner, QObject* parent = nullptr);
  // Uses `folder` instead of a new private one (it must pass the same checks).
  PreviewController(CExplorer1* pane, QWidget* messageOwner,
                    std::unique_ptr<platform::PreviewFolder> folder, QObject* parent = nullptr);
  ~PreviewController() override;

  // Previews `record`, a file of `result` (held until the preview is done, whatever runs
  // meanwhile). A refused name shows the message and leaves the pane as it was (false).
  // Otherwise the extraction is queued, replacing and stopping any pending one, and the pane
  // shows the busy indicator until it is done.
  bool Preview(std::shared_ptr<const RunResult> result, const CatalogueNode& record);
  // Stops the pending preview, if any, and waits until nothing is being extracted.
  void CancelAndWait();

  void SetLimit(std::uint64_t bytes) { limit_.store(bytes); }
  std::uint64_t Limit() const { return limit_.load(); }
  bool Pending() const { return pending_; }
  const platform::PreviewFolder& Folder() const { return *folder_; }

 signals:
  void BusyChanged(bool busy);
  // The pane now shows this preview.
  void Shown(const brevant::gui::PreviewOutcome& outcome);
  void Refused(const QString& name);

 private:
  struct Request {
    std::uint64_t generation;
    std::shared_ptr<const RunResult> result;
    const CatalogueNode* record;
  };
  void Run();
  PreviewOutcome Extract(const Request& request);
  void Deliver(const PreviewOutcome& outcome);

  QPointer<CExplorer1> pane_;
  QPointer<QWidget> messageOwner_;
  std::unique_ptr<platform::PreviewFolder> folder_;
  std::atomic<std::uint64_t> limit_{ui::kDefaultPreviewLimit};
  std::atomic<std::uint64_t> generation_{0};
  bool pending_ = false;  // user-interface thread only

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::optional<Request> queued_;
  bool working_ = false;
  bool quit_ = false;
  std::thread worker_;
};

// The preview header's line about a deleted file's condition; empty for a live file.
QString DeletedFileNote(const FileState& state);

// The file list's click: previews the record of the lowest selected row (`recordOfRow` gives
// each row's own record). Nothing happens when no row is selected.
void PreviewClickedFile(PreviewController& controller, std::shared_ptr<const RunResult> result,
                        const std::function<const CatalogueNode*(int)>& recordOfRow,
                        std::span<const int> selectedRows);

// The main window's preview pane (control 1023), the preview of clicked rows of its file list
// (control 1020) and its pie chart (control 1002): files found, live against deleted, after a
// run; a partition's used against free space when its figures are known.
class WindowPreview : public QObject {
  Q_OBJECT

 public:
  explicit WindowPreview(CBrevantDlg* window);
  ~WindowPreview() override;

  CExplorer1* Pane() const { return pane_; }
  PreviewController& Controller() const { return *controller_; }
  CPieChartCtrl* Chart() const { return chart_; }

  // Live against deleted files, by bytes; the counts go into the legend texts.
  void ShowFileShares(std::uint64_t liveFiles, std::uint64_t liveBytes, std::uint64_t deletedFiles,
                      std::uint64_t deletedBytes);
  // Selects the file list's row named `name` and previews it, as a click on it does; false
  // when the list has no such row.
  bool PreviewRowNamed(const QString& name);
  // Stops a pending preview and empties the pane: a new run shows nothing of the last one.
  void ClearPreview();
  // A partition's used against free space; hides the chart when the free space is not known.
  void ShowPartitionSpace(std::uint64_t sizeBytes, std::optional<std::uint64_t> freeBytes);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnRowClicked();
  void OnRunEnded();

  CBrevantDlg* window_;
  CExplorer1* pane_;
  CPieChartCtrl* chart_;
  std::unique_ptr<PreviewController> controller_;
};

}  // namespace brevant::gui

Q_DECLARE_METATYPE(brevant::gui::PreviewOutcome)

#include "gui/preview.h"

#include <QFile>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QMetaObject>
#include <QTableView>
#include <algorithm>
#include <cstdio>

#include "core/output_file.h"
#include "core/run_result.h"
#include "core/text.h"
#include "gui/brevant_dlg.h"
#include "gui/control_ids.h"
#include "gui/display_text.h"
#include "gui/explorer.h"
#include "gui/file_list_model.h"
#include "gui/pie_chart.h"
#include "recovery/recovery_worker.h"

namespace brevant::gui {
namespace {

// Writes at most `limit` bytes, and stops the extraction as soon as a newer preview is asked
// for: the engines end a copy when their sink refuses bytes.
class PreviewSink : public ByteSink {
 public:
  PreviewSink(std::FILE* file, std::uint64_t limit, const std::atomic<std::uint64_t>& generation,
              std::uint64_t mine)
      : file_(file), limit_(limit), generation_(generation), mine_(mine) {}

  bool Write(const void* data, std::size_t length) override {
    if (generation_.load() != mine_) {
      superseded = true;
      return false;
    }
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, limit_ - written));
    if (take > 0 && std::fwrite(data, 1, take, file_) != take) {
      writeFailed = true;
      return false;
    }
    written += take;
    if (take < length) {
      limitReached = true;
      return false;
    }
    return true;
  }

  std::uint64_t written = 0;
  bool superseded = false;
  bool limitReached = false;
  bool writeFailed = false;

 private:
  std::FILE* file_;
  std::uint64_t limit_;
  const std::atomic<std::uint64_t>& generation_;
  std::uint64_t mine_;
};

QString Bytes(std::uint64_t n) {
  return QLocale::c().toString(static_cast<qulonglong>(n)) + " bytes";
}

}  // namespace

PreviewController::PreviewController(CExplorer1* pane, QWidget* messageOwner, QObject* parent)
    : PreviewController(pane, messageOwner, std::make_unique<platform::PreviewFolder>(), parent) {}

PreviewController::PreviewController(CExplorer1* pane, QWidget* messageOwner,
                                     std::unique_ptr<platform::PreviewFolder> folder,
                                     QObject* parent)
    : QObject(parent), pane_(pane), messageOwner_(messageOwner), folder_(std::move(folder)) {
  qRegisterMetaType<PreviewOutcome>();
  worker_ = std::thread([this] { Run(); });
}

PreviewController::~PreviewController() {
  generation_.fetch_add(1);  // a copy in progress stops at its next write
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    queued_.reset();
  }
  wake_.notify_all();
  worker_.join();
  // The folder goes with the controller (the program's end): PreviewFolder removes it.
}

bool PreviewController::Preview(std::shared_ptr<const RunResult> result,
                                const CatalogueNode& record) {
  const QString name = QString::fromUtf16(record.name);
  if (ui::IsPreviewRefused(record.name)) {
    auto* box = new QMessageBox(QMessageBox::Question,
                                QString::fromStdU16String(std::u16string(ui::kPreviewCaption)),
                                QString::fromStdU16String(std::u16string(ui::kPreviewRefusedText)),
                                QMessageBox::Ok, messageOwner_);
    box->setObjectName(QStringLiteral("previewRefusedMessage"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    emit Refused(name);
    return false;
  }
  const std::uint64_t generation = generation_.fetch_add(1) + 1;
  {
    std::lock_guard lock(mutex_);
    queued_ = Request{generation, result, &record};
  }
  wake_.notify_one();
  if (pane_) {
    pane_->SetOemCodePage(result->Reader().oemCodePage);
    pane_->SetBusy(name);
  }
  if (!pending_) {
    pending_ = true;
    emit BusyChanged(true);
  }
  return true;
}

void PreviewController::CancelAndWait() {
  generation_.fetch_add(1);
  {
    std::unique_lock lock(mutex_);
    queued_.reset();
    idle_.wait(lock, [this] { return !working_; });
  }
  if (pending_) {
    pending_ = false;
    if (pane_) pane_->Navigate(QString(), tr("The preview was stopped."));
    emit BusyChanged(false);
  }
}

void PreviewController::Run() {
  for (;;) {
    Request request;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return quit_ || queued_.has_value(); });
      if (quit_) return;
      request = *queued_;
      queued_.reset();
      working_ = true;
    }
    PreviewOutcome outcome = Extract(request);
    {
      std::lock_guard lock(mutex_);
      working_ = false;
    }
    idle_.notify_all();
    if (outcome.generation == generation_.load())
      QMetaObject::invokeMethod(
          this, [this, outcome] { Deliver(outcome); }, Qt::QueuedConnection);
  }
}

QString DeletedFileNote(const FileState& state) {
  switch (state.condition) {
    case FileCondition::Live:
      return {};
    case FileCondition::Intact:
      return PreviewController::tr("Deleted file, intact: its data is all still there.");
    case FileCondition::PartlyOverwritten:
      return PreviewController::tr(
                 "Deleted file, partly overwritten: %1 bytes of it lie where other data is "
                 "now, so the preview may show foreign data.")
          .arg(state.overwrittenBytes);
    case FileCondition::Overwritten:
      return PreviewController::tr(
          "Deleted file, overwritten: other data is where it was, so the preview most likely "
          "shows foreign data.");
    case FileCondition::Unknown:
      break;
  }
  return PreviewController::tr(
      "Deleted file, condition unknown: the allocation map could not be read, so the preview "
      "may show foreign data.");
}

PreviewOutcome PreviewController::Extract(const Request& request) {
  const CatalogueNode& record = *request.record;
  PreviewOutcome out;
  out.generation = request.generation;
  out.name = QString::fromUtf16(record.name);
  std::string why;
  if (!folder_->Clear(&why)) {
    out.failure = QString::fromStdString(why);
    return out;
  }
  // The name is sanitised and made unique: the file written may be named differently.
  const std::filesystem::path path = UniqueOutputPath(folder_->Path(), record.name);
  std::FILE* file = CreateOutputFile(path, &why);
  if (file == nullptr) {
    out.failure = QString::fromStdString(why);
    return out;
  }
  const std::uint64_t limit = limit_.load();
  PreviewSink sink(file, limit, generation_, request.generation);
  const ExtractResult result = ExtractResultFileTo(*request.result, sink, record);
  const bool closed = std::fclose(file) == 0;
  if (sink.superseded) {
    out.generation = 0;  // nobody waits for it
    return out;
  }
  const std::int64_t size = TextToInt(record.size);
  out.bytesWritten = sink.written;
  if (sink.limitReached) {
    out.note = tr("Only the first %1 of %2 were extracted for the preview.")
                   .arg(Bytes(sink.written), Bytes(static_cast<std::uint64_t>(size)));
  } else if (!result.ok || !closed || sink.writeFailed) {
    out.failure = QString::fromStdString(result.error.empty() ? "the preview file cannot be written"
                                                              : result.error);
  }
  if (sink.written == 0 && !out.failure.isEmpty()) {
    std::error_code ec;
    std::filesystem::remove(path, ec);  // an empty file would hide why nothing was written
    return out;
  }
  out.path = QFile::decodeName(path.c_str());
  if (!out.failure.isEmpty()) {
    out.note = tr("Incomplete: %1").arg(out.failure);
  }
  // What is shown of a deleted file is only as good as what is left of its data.
  const QString condition = DeletedFileNote(request.result->StateOf(record));
  if (!condition.isEmpty()) out.note = out.note.isEmpty() ? condition : out.note + u'\n' + condition;
  return out;
}

void PreviewController::Deliver(const PreviewOutcome& outcome) {
  if (outcome.generation != generation_.load()) return;  // a newer click superseded it
  pending_ = false;
  if (pane_) pane_->Navigate(outcome.path, outcome.failure, outcome.note);
  emit BusyChanged(false);
  emit Shown(outcome);
}

void PreviewClickedFile(PreviewController& controller, std::shared_ptr<const RunResult> result,
                        const std::function<const CatalogueNode*(int)>& recordOfRow,
                        std::span<const int> selectedRows) {
  const int row = ui::FirstSelectedRow(selectedRows);
  const CatalogueNode* record = row < 0 ? nullptr : recordOfRow(row);
  if (record != nullptr && result) controller.Preview(std::move(result), *record);
}

// ---- WindowPreview ----

namespace {

const QColor kLiveColour(46, 139, 87), kDeletedColour(205, 92, 92);
const QColor kUsedColour(70, 110, 180), kFreeColour(150, 200, 150);
const QColor kPercentColour(255, 255, 255);

QString Count(std::uint64_t n, const char* one, const char* many) {
  return QString::number(n) + u' ' + QLatin1String(n == 1 ? one : many);
}

}  // namespace

WindowPreview::WindowPreview(CBrevantDlg* window)
    : window_(window), pane_(new CExplorer1), chart_(new CPieChartCtrl) {
  window->SetPreviewWidget(pane_);
  window->SetPieChartWidget(chart_);
  chart_->setFixedSize(320, 120);
  chart_->setToolTip(tr("Drag with the left button to turn the chart."));
  chart_->setAccessibleName(tr("Chart"));
  chart_->setAccessibleDescription(
      tr("Files found, live against deleted; or a partition's used against free space"));
  pane_->setAccessibleName(tr("Preview"));
  pane_->setAccessibleDescription(tr("The file chosen in the list, as text, picture or bytes"));
  controller_ = std::make_unique<PreviewController>(pane_, window);
  if (auto* list = window->findChild<QTableView*>(ControlName(kIdFileList))) {
    connect(list, &QTableView::clicked, this, &WindowPreview::OnRowClicked);
    list->installEventFilter(this);  // Enter or Space on a row previews it, as a click does
  }
  connect(window, &CBrevantDlg::RunEnded, this, &WindowPreview::OnRunEnded);
}

WindowPreview::~WindowPreview() = default;

bool WindowPreview::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
         key->key() == Qt::Key_Space) &&
        key->modifiers() == Qt::NoModifier) {
      auto* list = qobject_cast<QTableView*>(watched);
      // The row under the keyboard's cursor is the one previewed.
      if (list && list->currentIndex().isValid() &&
          !list->selectionModel()->isRowSelected(list->currentIndex().row()))
        list->selectRow(list->currentIndex().row());
      OnRowClicked();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void WindowPreview::OnRowClicked() {
  auto* list = window_->findChild<QTableView*>(ControlName(kIdFileList));
  const std::shared_ptr<RunResult> result = window_->ShownResult();
  if (list == nullptr || !result) return;
  std::vector<int> rows;
  for (const QModelIndex& index : list->selectionModel()->selectedRows())
    rows.push_back(index.row());
  FileListModel* files = window_->Files();
  // The rows are the shown result's own records.
  PreviewClickedFile(
      *controller_, result, [files](int row) { return files->NodeAt(row); }, rows);
}

bool WindowPreview::PreviewRowNamed(const QString& name) {
  auto* list = window_->findChild<QTableView*>(ControlName(kIdFileList));
  FileListModel* files = window_->Files();
  for (int row = 0; list && row < files->rowCount(); ++row)
    if (files->index(row, FileListModel::kName).data().toString() == name) {
      list->selectRow(row);
      OnRowClicked();
      return true;
    }
  return false;
}

void WindowPreview::ClearPreview() {
  controller_->CancelAndWait();
  pane_->Clear();
}

void WindowPreview::OnRunEnded() {
  const std::shared_ptr<RunResult> result = window_->ShownResult();
  if (!result) return;
  const FileFigures& f = result->files;
  ShowFileShares(f.liveFiles, f.liveBytes, f.deletedFiles, f.deletedBytes);
}

void WindowPreview::ShowFileShares(std::uint64_t liveFiles, std::uint64_t liveBytes,
                                   std::uint64_t deletedFiles, std::uint64_t deletedBytes) {
  const std::vector<int> sweeps = ui::ShareSweeps({liveBytes, deletedBytes});
  chart_->RemoveAllPieces();
  chart_->SetTitle(tr("Files found"));
  chart_->AppendPiece(
      kLiveColour, kPercentColour, kLiveColour, sweeps[0],
      tr("Live: %1, %2")
          .arg(Count(liveFiles, "file", "files"), SizeText(static_cast<std::int64_t>(liveBytes))));
  chart_->AppendPiece(kDeletedColour, kPercentColour, kDeletedColour, sweeps[1],
                      tr("Deleted: %1, %2")
                          .arg(Count(deletedFiles, "file", "files"),
                               SizeText(static_cast<std::int64_t>(deletedBytes))));
  chart_->setVisible(true);
}

void WindowPreview::ShowPartitionSpace(std::uint64_t sizeBytes,
                                       std::optional<std::uint64_t> freeBytes) {
  chart_->RemoveAllPieces();
  if (!freeBytes || *freeBytes > sizeBytes) {
    chart_->setVisible(false);
    return;
  }
  const std::uint64_t used = sizeBytes - *freeBytes;
  const std::vector<int> sweeps = ui::ShareSweeps({used, *freeBytes});
  chart_->SetTitle(tr("Partition space"));
  chart_->AppendPiece(kUsedColour, kPercentColour, kUsedColour, sweeps[0],
                      tr("Used: %1").arg(SizeText(static_cast<std::int64_t>(used))));
  chart_->AppendPiece(kFreeColour, kPercentColour, kFreeColour, sweeps[1],
                      tr("Free: %1").arg(SizeText(static_cast<std::int64_t>(*freeBytes))));
  chart_->setVisible(true);
}

}  // namespace brevant::gui

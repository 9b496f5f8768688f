#include "gui/brevant_dlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QShortcut>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableView>
#include <QTextBrowser>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <set>
#include <unordered_set>

#include "core/text.h"
#include "disk/disks.h"
#include "exfat/exfat_volume.h"
#include "fat/stray_entries.h"
#include "gui/control_ids.h"
#include "gui/display_text.h"
#include "gui/file_list_model.h"
#include "gui/folder_tree_ctrl.h"
#include "gui/preview.h"
#include "model/file_filter.h"
#include "model/file_listing.h"
#include "platform/sector_device.h"
#include "recovery/file_recoverer.h"
#include "recovery/recovery_report.h"
#include "recovery/recovery_worker.h"
#include "recovery/results_file.h"

// The artwork is compiled into the static library; it registers only when asked to.
static void InitResources() { Q_INIT_RESOURCE(resources); }

namespace brevant::gui {
namespace {

const QString kCaption = QStringLiteral("Calverin Brevant");

QLabel* MakeLabel(QWidget* parent, int id, const QString& text, bool visible = true) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(ControlName(id));
  label->setVisible(visible);
  return label;
}

// Why `path` cannot be listed as a disk image, or empty when it can. A path that exists but
// cannot be read is listed (marked with its reason), so that what to do can be said there.
QString ImageRefusal(const QString& path) {
  const QFileInfo info(path);
  if (info.isDir()) return QStringLiteral("it is a folder, not a disk image file");
  std::string error;
  const auto device =
      platform::DeviceTable::Instance().Get(QFile::encodeName(path).toStdString(), &error);
  if (!device) {
    if (!info.exists()) return QStringLiteral("there is no such file");
    return {};
  }
  if (device->SizeBytes() < platform::kSectorSize)
    return QStringLiteral("it holds %1 bytes, less than one sector (%2 bytes)")
        .arg(device->SizeBytes())
        .arg(platform::kSectorSize);
  return {};
}

// What stands in the tree and the panel for a disk that cannot be read, with what to do.
QString UnreadableReason(const std::string& openError) {
  const QString error = QString::fromStdString(openError);
  if (error.contains(QStringLiteral("Permission denied")) ||
      error.contains(QStringLiteral("Operation not permitted")))
    return QStringLiteral(
        "Permission denied: start Brevant with administrator rights, or open a disk image");
  return error;
}

QString ShellQuoted(const QString& word) {
  static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./=:,+@%-]+$"));
  if (plain.match(word).hasMatch()) return word;
  QString quoted = word;
  quoted.replace(u'\'', QStringLiteral("'\\''"));
  return u'\'' + quoted + u'\'';
}

QString RefusalText(const QString& path, const QString& why) {
  return QStringLiteral("%1 was not opened: %2.").arg(QDir::toNativeSeparators(path), why);
}

// "/A/B" for the item "My Computer" > A > B: the folder the item stands for in the result.
std::u16string ItemSlashPath(const ui::TreeItem* item) {
  std::vector<const std::u16string*> names;
  for (const ui::TreeItem* i = item; i && i->parent && i->parent->parent; i = i->parent)
    names.push_back(&i->text);
  std::u16string out;
  for (auto it = names.rbegin(); it != names.rend(); ++it) out += u"/" + **it;
  return out;
}

std::uint64_t RecordBytes(const CatalogueNode& file) {
  const std::int64_t size = TextToInt(file.size);
  return size > 0 ? static_cast<std::uint64_t>(size) : 0;
}

// Where the user's choices are kept between starts.
std::unique_ptr<QSettings> UserSettings() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                     QStringLiteral("Calverin"), QStringLiteral("Brevant"));
}

// A filter field that cannot be read is marked and left out, rather than guessed at.
void MarkField(QLineEdit* field, bool bad, const QString& why) {
  field->setStyleSheet(bad ? QStringLiteral("QLineEdit { background: #ffd8d8; }") : QString());
  field->setToolTip(bad ? why : field->accessibleDescription());
}

QString DurationText(double seconds) {
  const qint64 s = static_cast<qint64>(seconds + 0.5);
  if (s < 60) return QStringLiteral("%1 s").arg(s);
  if (s < 3600) return QStringLiteral("%1 min %2 s").arg(s / 60).arg(s % 60);
  return QStringLiteral("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

// Save's side of a recovery through the routine `brevant recover` takes: the tasks in the
// same order (folders, then files in catalogue order), progress and the summary box's lines,
// and the files being written, so that Exit can remove one it leaves unfinished.
class SaveListener : public RecoverListener, public WriteWatch {
 public:
  SaveListener(SaveProgress& progress, std::vector<RecoverTask> tasks,
               const std::atomic<std::int32_t>& stop, const std::atomic<std::int32_t>& exitStop,
               std::mutex& mutex, std::set<std::filesystem::path>& writing)
      : progress_(progress),
        tasks_(std::move(tasks)),
        stop_(stop),
        exitStop_(exitStop),
        mutex_(mutex),
        writing_(writing) {}

  bool NextTask(RecoverTask& task) override {
    if (next_ == tasks_.size()) return false;
    task = std::move(tasks_[next_++]);
    return true;
  }
  void FolderMade(const RecoverTask& task, const std::string& error) override {
    if (!error.empty())
      failures.push_back(Q(Slash(task.folder)) + QStringLiteral(": ") + Utf8(error));
  }
  void FileRecovered(const RecoverTask& task, const ExtractResult& r) override {
    if (reports) reports->Add(task, r);
    const QString path = Q(Slash(task.folder) + u"/" + task.file->name);
    if (r.ok) {
      ++recovered;
      bytes += r.bytesWritten;
      const std::u16string_view spare(task.file->spareText);
      if (spare == fat::kChainGoneMark || spare.ends_with(exfat::kChainGoneWord))
        notes.push_back(path + QStringLiteral(": its cluster chain is gone; read from consecutive "
                                              "clusters (wrong if it was fragmented)"));
    } else if (!r.path.empty()) {
      // Kept in part: named and counted apart, never passed off as recovered.
      ++partial;
      unreadable += r.unreadableSectors;
      failures.push_back(path +
                         QStringLiteral(": partly recovered (kept as %1, %2 of %3 bytes): ")
                             .arg(QFile::decodeName(r.path.c_str()))
                             .arg(r.bytesWritten)
                             .arg(QString::fromUtf16(task.file->size)) +
                         Utf8(r.error));
    } else {
      ++failed;
      failures.push_back(path + QStringLiteral(": ") + Utf8(r.error));
    }
    stopped = stopped || r.stopped;
    // The window reads these as it pleases: a Save of many small files never floods it.
    progress_.doneBytes.fetch_add(RecordBytes(*task.file));
    progress_.doneFiles.fetch_add(1);
    if (r.ok) progress_.wholeFiles.fetch_add(1);
  }
  bool StopRequested() override {
    stopped = stopped || stop_.load() == 1 || exitStop_.load() == 1;
    return stopped;
  }
  WriteWatch* Watch() override { return this; }
  // The report needs each file's hash and byte runs, made while it is written.
  bool WantsDetails() override { return reports != nullptr; }
  void Opened(const std::filesystem::path& path) override {
    std::lock_guard lock(mutex_);
    writing_.insert(path);
  }
  void Closed(const std::filesystem::path& path) override {
    std::lock_guard lock(mutex_);
    writing_.erase(path);
  }

  // The summary box's text.
  QString Summary() const {
    QString text = QStringLiteral("Recovered %1 files (%2 bytes), %3 failed")
                       .arg(recovered)
                       .arg(bytes)
                       .arg(failed);
    if (partial > 0) text += QStringLiteral(", %1 partly recovered").arg(partial);
    if (partial > 0 && unreadable > 0)
      text += QStringLiteral(" (%1 unreadable sector%2)")
                  .arg(unreadable)
                  .arg(unreadable == 1 ? QString() : QStringLiteral("s"));
    if (stopped) text += QStringLiteral("; stopped before the end");
    text += QStringLiteral(".");
    if (!reportLine.isEmpty()) text += QStringLiteral("\n") + reportLine;
    const QStringList lines = failures + notes;
    const int shown = std::min<int>(10, static_cast<int>(lines.size()));
    for (int i = 0; i < shown; ++i) text += QStringLiteral("\n") + lines[i];
    if (lines.size() > shown) text += QStringLiteral("\n... and %1 more").arg(lines.size() - shown);
    return text;
  }

  std::size_t recovered = 0, failed = 0, partial = 0;
  std::uint64_t bytes = 0, unreadable = 0;
  bool stopped = false;
  QStringList failures, notes;
  RecoveryReports* reports = nullptr;  // fed every file's outcome when a report was asked for
  QString reportLine;                  // where the report went, or why there is none

 private:
  static QString Utf8(const std::string& text) { return QString::fromStdString(text); }
  static std::u16string Slash(const std::vector<std::u16string>& folder) {
    std::u16string out;
    for (const auto& name : folder) out += u"/" + name;
    return out;
  }

  SaveProgress& progress_;
  std::vector<RecoverTask> tasks_;
  std::size_t next_ = 0;
  const std::atomic<std::int32_t>& stop_;
  const std::atomic<std::int32_t>& exitStop_;
  std::mutex& mutex_;
  std::set<std::filesystem::path>& writing_;
};

}  // namespace

SaveFolderDialog::SaveFolderDialog(QWidget* parent)
    : QFileDialog(parent, QStringLiteral("Save Recovered Files To")) {
  setObjectName(QStringLiteral("SaveFolderDialog"));
  setFileMode(QFileDialog::Directory);
  setOption(QFileDialog::ShowDirsOnly);
  setOption(QFileDialog::DontUseNativeDialog);
  writeReport_ = new QCheckBox(QStringLiteral("Write a recovery &report"), this);
  writeReport_->setObjectName(QStringLiteral("WriteReportBox"));
  writeReport_->setAccessibleName(QStringLiteral("Write a recovery report"));
  writeReport_->setAccessibleDescription(
      QStringLiteral("Beside the saved files, a report of what was saved, from where, and "
                     "whether each file came back whole"));
  writeReport_->setToolTip(writeReport_->accessibleDescription());
  writeReport_->setChecked(UserSettings()->value(QStringLiteral("Save/writeReport"), true).toBool());
  // The stock dialog lays itself out in a grid: the box goes below everything it holds.
  if (auto* grid = qobject_cast<QGridLayout*>(layout()))
    grid->addWidget(writeReport_, grid->rowCount(), 0, 1, grid->columnCount());
  else if (layout())
    layout()->addWidget(writeReport_);
}

bool SaveFolderDialog::WriteReport() const { return writeReport_->isChecked(); }

void SaveFolderDialog::accept() {
  // A new folder's name typed in an existing folder is made, rather than refused as not found.
  const QStringList files = selectedFiles();
  if (files.size() == 1) {
    const QFileInfo info(files.front());
    if (!info.exists() && info.dir().exists() && !info.fileName().isEmpty())
      info.dir().mkdir(info.fileName());
  }
  UserSettings()->setValue(QStringLiteral("Save/writeReport"), writeReport_->isChecked());
  QFileDialog::accept();
}

CBrevantDlg::CBrevantDlg(const WindowOptions& options, QWidget* parent)
    : QMainWindow(parent), startupTree_(std::make_shared<ui::ResultTree>()), view_(this, this) {
  InitResources();
  setObjectName(QStringLiteral("CBrevantDlg"));
  setWindowTitle(kCaption);
  session_.mainWindow = &view_;
  BuildControls();
  BuildMenus();
  NameControls();
  LoadLogo();
  // "My Computer" heads the tree even on a machine without a readable disk.
  ui::InsertTreePath(*startupTree_, u"My Computer\\");
  // Sources that are no disk image are refused, said once the window is up, and not listed.
  std::vector<std::string> images;
  QStringList refused;
  for (const std::string& image : options.images) {
    const QString path = QString::fromStdString(image);
    const QString why = ImageRefusal(path);
    if (why.isEmpty()) {
      images.push_back(image);
      openedImages_ << path;
    } else
      refused << RefusalText(path, why);
  }
  EnumerateDisks(session_, *startupTree_, options.disks, images);
  tree_->ShowTree(startupTree_);
  MarkUnreadableDisks();
  keepLayout_ = options.keepLayout;
  if (keepLayout_) RestoreLayout();
  saveTimer_ = new QTimer(this);
  saveTimer_->setInterval(250);
  connect(saveTimer_, &QTimer::timeout, this, &CBrevantDlg::ShowSaveProgress);
  previewer_ = std::make_unique<WindowPreview>(this);
  UpdateCommands();
  if (!refused.isEmpty())
    QMetaObject::invokeMethod(
        this,
        [this, refused] {
          if (!closing_)
            AskUser(refused.join(QStringLiteral("\n")), kCaption, MessageIcon::Error,
                    MessageButtons::Ok);
        },
        Qt::QueuedConnection);
}

CBrevantDlg::~CBrevantDlg() {
  closing_ = true;
  previewer_.reset();  // stops and waits for a preview in progress
  if (!leftRunning_) {
    session_.stopRequested.store(1);
    saveStop_.store(1);
    view_.Close();
    // Queued reports still waiting are dropped; a worker blocked on one is released by it.
    while ((runThread_.joinable() && !runFinished_.load()) ||
           (saveThread_.joinable() && !saveFinished_.load()))
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (runThread_.joinable()) runThread_.join();
    if (saveThread_.joinable()) saveThread_.join();
  } else {
    if (runThread_.joinable()) runThread_.detach();
    if (saveThread_.joinable()) saveThread_.detach();
  }
  for (auto& t : paramThreads_)
    if (t.joinable()) t.join();
}

void CBrevantDlg::BuildControls() {
  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);

  logo_ = MakeLabel(central, kIdLogo, QString());
  logo_->setAlignment(Qt::AlignCenter);
  outer->addWidget(logo_);

  auto* splitter = new QSplitter(Qt::Horizontal, central);
  tree_ = new CFolderTreeCtrl1(splitter);
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { OnTreeSelection(current); });

  splitter->setObjectName(QStringLiteral("MainSplitter"));
  // The disk facts or the file list above, the preview below: the person moves the line
  // between them, and the one between the tree and both, to give room where it is needed.
  rightSplitter_ = new QSplitter(Qt::Vertical, splitter);
  rightSplitter_->setObjectName(QStringLiteral("RightSplitter"));
  rightSplitter_->setChildrenCollapsible(false);
  auto* right = new QWidget(rightSplitter_);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);

  group_ = new QGroupBox(QStringLiteral("Select Drive Information"), right);
  group_->setObjectName(ControlName(kIdGroup));
  auto* grid = new QGridLayout(group_);
  labels_[0] = MakeLabel(group_, kIdLabelModel, QStringLiteral("HDD Model"));
  labels_[1] = MakeLabel(group_, kIdLabelCapacity, QStringLiteral("Capacity"));
  labels_[2] = MakeLabel(group_, kIdLabelCylinders, QStringLiteral("Cylinders"));
  labels_[3] = MakeLabel(group_, kIdLabelHead, QStringLiteral("Head"), false);
  labels_[4] = MakeLabel(group_, kIdLabelSectors, QStringLiteral("Sector Per Track"));
  labels_[5] = MakeLabel(group_, kIdLabelTotal, QStringLiteral("Total Size:"), false);
  labels_[6] = MakeLabel(group_, kIdLabelFree, QStringLiteral("Free Size:"), false);
  labels_[7] = MakeLabel(group_, kIdLabelFs, QStringLiteral("File System:"), false);
  for (int i = 0; i < 5; ++i) {
    values_[i] = MakeLabel(group_, kIdValue1 + i, QStringLiteral("Static"));
    values_[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
  }
  // Disk and partition labels share the rows; heads and sectors per track get a row each.
  for (int row = 0; row < 3; ++row) {
    grid->addWidget(labels_[row], row, 0);
    grid->addWidget(labels_[5 + row], row, 0);
    grid->addWidget(values_[row], row, 1);
  }
  grid->addWidget(labels_[3], 3, 0);
  grid->addWidget(values_[3], 3, 1);
  grid->addWidget(labels_[4], 4, 0);
  grid->addWidget(values_[4], 4, 1);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(5, 1);
  grid->setColumnMinimumWidth(0, 140);
  // Disks that cannot be read, said at once with what to do about it.
  accessPanel_ = new QFrame(right);
  accessPanel_->setObjectName(QStringLiteral("UnreadablePanel"));
  accessPanel_->setFrameShape(QFrame::StyledPanel);
  auto* accessLayout = new QHBoxLayout(accessPanel_);
  accessText_ = new QLabel(accessPanel_);
  accessText_->setObjectName(QStringLiteral("UnreadableText"));
  accessText_->setWordWrap(true);
  accessText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  accessText_->setAccessibleName(QStringLiteral("Disks that cannot be read"));
  accessText_->setAccessibleDescription(QStringLiteral("Each such disk and why"));
  restart_ = new QPushButton(QStringLiteral("Restart as Administrator"), accessPanel_);
  restart_->setObjectName(QStringLiteral("RestartAsAdministratorButton"));
  restart_->setAccessibleName(QStringLiteral("Restart as Administrator"));
  restart_->setAccessibleDescription(
      QStringLiteral("Start Brevant again with the rights to read every disk"));
  connect(restart_, &QPushButton::clicked, this, &CBrevantDlg::OnRestartAsAdministrator);
  accessLayout->addWidget(accessText_, 1);
  accessLayout->addWidget(restart_, 0, Qt::AlignTop);
  accessPanel_->setVisible(false);
  rightLayout->addWidget(accessPanel_);
  rightLayout->addWidget(group_, 107);

  filterBar_ = BuildFilterBar(right);
  filterBar_->setVisible(false);
  rightLayout->addWidget(filterBar_);

  fileList_ = new QTableView(right);
  fileList_->setObjectName(ControlName(kIdFileList));
  fileModel_ = new FileListModel(fileList_);
  fileList_->setModel(fileModel_);
  fileList_->setSelectionBehavior(QAbstractItemView::SelectRows);
  fileList_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  fileList_->setShowGrid(false);
  fileList_->setWordWrap(false);
  fileList_->verticalHeader()->hide();
  fileList_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  fileList_->verticalHeader()->setDefaultSectionSize(fileList_->fontMetrics().height() + 6);
  fileList_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  fileList_->setColumnWidth(FileListModel::kName, 240);
  fileList_->setColumnWidth(FileListModel::kCreationTime, 150);
  fileList_->setColumnWidth(FileListModel::kType, 70);
  fileList_->setColumnWidth(FileListModel::kSize, 80);
  fileList_->setColumnWidth(FileListModel::kCondition, 170);
  fileList_->horizontalHeader()->setStretchLastSection(true);
  // Catalogue order until a header is clicked; a third click on it gives that order back.
  fileList_->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
  fileList_->horizontalHeader()->setSortIndicatorClearable(true);
  fileList_->setSortingEnabled(true);
  fileList_->setColumnHidden(FileListModel::kPath, true);  // shown while a filter is
  // Where a match lies matters next to its name, not past the right edge.
  fileList_->horizontalHeader()->moveSection(FileListModel::kPath, FileListModel::kName + 1);
  fileList_->setColumnWidth(FileListModel::kPath, 160);
  fileList_->setVisible(false);
  rightLayout->addWidget(fileList_, 107);

  auto* previewHost = new QWidget(rightSplitter_);
  previewSlot_ = new QVBoxLayout(previewHost);
  previewSlot_->setContentsMargins(0, 0, 0, 0);
  auto* placeholder = new QLabel(previewHost);
  placeholder->setFrameShape(QFrame::StyledPanel);
  SetPreviewWidget(placeholder);
  rightSplitter_->addWidget(right);
  rightSplitter_->addWidget(previewHost);
  rightSplitter_->setStretchFactor(0, 214);
  rightSplitter_->setStretchFactor(1, 84);

  splitter->addWidget(tree_);
  splitter->addWidget(rightSplitter_);
  splitter->setChildrenCollapsible(false);
  splitter->setStretchFactor(0, 148);
  splitter->setStretchFactor(1, 362);
  splitter->setSizes({280, 640});
  mainSplitter_ = splitter;
  outer->addWidget(splitter, 1);

  // Progress and the commands, framed together.
  auto* frame = new QGroupBox(central);
  auto* frameLayout = new QGridLayout(frame);
  progress_ = new QProgressBar(frame);
  progress_->setObjectName(ControlName(kIdProgress));
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);
  statusText_ = MakeLabel(frame, kIdStatusText, QString());
  statusText_->setMinimumWidth(200);
  frameLayout->addWidget(progress_, 0, 0, 1, 4);
  frameLayout->addWidget(statusText_, 0, 4);
  auto* buttons = new QHBoxLayout;
  next_ = new QPushButton(QStringLiteral("Next"), frame);
  next_->setObjectName(ControlName(kIdNext));
  stop_ = new QPushButton(QStringLiteral("Stop"), frame);
  stop_->setObjectName(ControlName(kIdStop));
  stop_->setEnabled(false);
  save_ = new QPushButton(QStringLiteral("Save"), frame);
  save_->setObjectName(ControlName(kIdSave));
  newScan_ = new QPushButton(QStringLiteral("New Scan"), frame);
  newScan_->setObjectName(QStringLiteral("NewScanButton"));
  newScan_->setVisible(false);  // shown beside Next once a result is
  buttons->addStretch();
  buttons->addWidget(newScan_);
  buttons->addWidget(next_);
  buttons->addWidget(stop_);
  buttons->addWidget(save_);
  buttons->addStretch();
  auto* pieHost = new QWidget(frame);
  pieSlot_ = new QVBoxLayout(pieHost);
  pieSlot_->setContentsMargins(0, 0, 0, 0);
  buttons->addWidget(pieHost);
  auto* pie = new QWidget(pieHost);
  pie->setFixedSize(24, 24);
  SetPieChartWidget(pie);
  frameLayout->addLayout(buttons, 1, 0, 1, 5);
  outer->addWidget(frame);
  connect(next_, &QPushButton::clicked, this, &CBrevantDlg::OnNext);
  connect(newScan_, &QPushButton::clicked, this, &CBrevantDlg::OnNewScan);
  connect(stop_, &QPushButton::clicked, this, &CBrevantDlg::OnStop);
  connect(save_, &QPushButton::clicked, this, &CBrevantDlg::OnSave);

  setCentralWidget(central);

  auto* name = MakeLabel(this, kIdStatusPaneName, QStringLiteral(" Calverin For Brevant"));
  auto* address =
      MakeLabel(this, kIdStatusPaneAddress, QStringLiteral("https://calverin-brevant.example"));
  name->setAccessibleName(QStringLiteral("Program name"));
  name->setAccessibleDescription(QStringLiteral("The program's name"));
  address->setAccessibleName(QStringLiteral("Web address"));
  address->setAccessibleDescription(QStringLiteral("Where the program's pages are"));
  statusBar()->addWidget(name, 0);
  statusBar()->addWidget(address, 1);
  name->setMinimumWidth(600);
  statusBar()->setSizeGripEnabled(true);
  resize(920, 640);
}

// Puts `widget` in the place of `current` in `slot`, named as the control `id`.
static void SwapInto(QVBoxLayout* slot, QWidget*& current, QWidget* widget, int id) {
  if (current) {
    slot->removeWidget(current);
    current->deleteLater();
  }
  current = widget;
  current->setObjectName(ControlName(id));
  current->setParent(slot->parentWidget());
  slot->addWidget(current);
}

void CBrevantDlg::SetPreviewWidget(QWidget* widget) {
  SwapInto(previewSlot_, preview_, widget, kIdPreview);
}

void CBrevantDlg::SetPieChartWidget(QWidget* widget) {
  // The chart keeps its room while hidden, so the buttons stay where they are when it shows.
  QSizePolicy policy = widget->sizePolicy();
  policy.setRetainSizeWhenHidden(true);
  widget->setSizePolicy(policy);
  SwapInto(pieSlot_, pieChart_, widget, kIdPieChart);
  pieChart_->setVisible(false);  // created hidden; nothing feeds it in this window
}

QWidget* CBrevantDlg::BuildFilterBar(QWidget* parent) {
  auto* bar = new QWidget(parent);
  bar->setObjectName(QStringLiteral("FilterBar"));
  auto* outer = new QVBoxLayout(bar);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(2);

  auto* line = new QHBoxLayout;
  auto* findLabel = new QLabel(QStringLiteral("F&ind:"), bar);
  search_ = new QLineEdit(bar);
  search_->setObjectName(QStringLiteral("SearchBox"));
  search_->setPlaceholderText(QStringLiteral("Name, or a pattern such as *.jpg"));
  search_->setClearButtonEnabled(true);
  findLabel->setBuddy(search_);
  filtersButton_ = new QToolButton(bar);
  filtersButton_->setObjectName(QStringLiteral("FiltersButton"));
  filtersButton_->setText(QStringLiteral("&Filters"));
  filtersButton_->setCheckable(true);
  filtersButton_->setToolButtonStyle(Qt::ToolButtonTextOnly);
  clearFilter_ = new QPushButton(QStringLiteral("C&lear"), bar);
  clearFilter_->setObjectName(QStringLiteral("ClearFilterButton"));
  line->addWidget(findLabel);
  line->addWidget(search_, 1);
  line->addWidget(filtersButton_);
  line->addWidget(clearFilter_);
  outer->addLayout(line);

  // The rest of the filter, one compact row shown on demand.
  filtersRow_ = new QWidget(bar);
  filtersRow_->setObjectName(QStringLiteral("FiltersRow"));
  // Two short lines rather than one long one, so the filters never squeeze the tree.
  auto* rows = new QVBoxLayout(filtersRow_);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(2);
  auto* row = new QHBoxLayout;
  auto* row2 = new QHBoxLayout;
  rows->addLayout(row);
  rows->addLayout(row2);
  stateBox_ = new QComboBox(filtersRow_);
  stateBox_->setObjectName(QStringLiteral("StateFilter"));
  stateBox_->addItems({QStringLiteral("Live and deleted"), QStringLiteral("Live only"),
                       QStringLiteral("Deleted only")});
  conditionBox_ = new QComboBox(filtersRow_);
  conditionBox_->setObjectName(QStringLiteral("ConditionFilter"));
  conditionBox_->addItem(QStringLiteral("Any condition"));
  conditionBox_->addItem(QStringLiteral("Intact"), static_cast<int>(FileCondition::Intact));
  conditionBox_->addItem(QStringLiteral("Partly overwritten"),
                         static_cast<int>(FileCondition::PartlyOverwritten));
  conditionBox_->addItem(QStringLiteral("Overwritten"),
                         static_cast<int>(FileCondition::Overwritten));
  conditionBox_->addItem(QStringLiteral("Condition unknown"),
                         static_cast<int>(FileCondition::Unknown));
  categoryBox_ = new QComboBox(filtersRow_);
  categoryBox_->setObjectName(QStringLiteral("CategoryFilter"));
  categoryBox_->addItem(QStringLiteral("Any kind"));
  for (ui::FileCategory c : {ui::FileCategory::Pictures, ui::FileCategory::Documents,
                             ui::FileCategory::Audio, ui::FileCategory::Video,
                             ui::FileCategory::Archives, ui::FileCategory::Email,
                             ui::FileCategory::Other}) {
    QString text = QString::fromUtf8(ui::CategoryText(c).data(),
                                     static_cast<qsizetype>(ui::CategoryText(c).size()));
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    categoryBox_->addItem(text, static_cast<int>(c));
  }
  auto field = [this](const char* name, const QString& accessibleName,
                      const QString& description) {
    auto* edit = new QLineEdit(filtersRow_);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setAccessibleName(accessibleName);
    edit->setAccessibleDescription(description);
    edit->setToolTip(description);
    edit->setMinimumWidth(90);
    edit->setMaximumWidth(130);
    return edit;
  };
  minSize_ = field("MinSizeFilter", QStringLiteral("Min size"),
                   QStringLiteral("Smallest size kept: bytes, or with K, M or G (10K, 2.5M)"));
  maxSize_ = field("MaxSizeFilter", QStringLiteral("Max size"),
                   QStringLiteral("Largest size kept: bytes, or with K, M or G (10K, 2.5M)"));
  since_ = field("SinceFilter", QStringLiteral("Since"),
                 QStringLiteral("Modified on or after this day: YYYY-MM-DD (times as the list "
                                "shows them)"));
  until_ = field("UntilFilter", QStringLiteral("Until"),
                 QStringLiteral("Modified on or before this day: YYYY-MM-DD (times as the list "
                                "shows them)"));
  showSystem_ = new QCheckBox(QStringLiteral("Show s&ystem files"), filtersRow_);
  showSystem_->setObjectName(QStringLiteral("ShowSystemFilesBox"));
  showSystem_->setChecked(UserSettings()->value(QStringLiteral("Filter/showSystem"), false).toBool());
  minSize_->setPlaceholderText(QStringLiteral("min, e.g. 10K"));
  maxSize_->setPlaceholderText(QStringLiteral("max, e.g. 2M"));
  since_->setPlaceholderText(QStringLiteral("from YYYY-MM-DD"));
  until_->setPlaceholderText(QStringLiteral("to YYYY-MM-DD"));
  auto* sizeLabel = new QLabel(QStringLiteral("&Size:"), filtersRow_);
  sizeLabel->setBuddy(minSize_);
  auto* timeLabel = new QLabel(QStringLiteral("&Modified:"), filtersRow_);
  timeLabel->setBuddy(since_);
  row->addWidget(stateBox_);
  row->addWidget(conditionBox_);
  row->addWidget(categoryBox_);
  row->addStretch();
  row2->addWidget(sizeLabel);
  row2->addWidget(minSize_);
  row2->addWidget(maxSize_);
  row2->addWidget(timeLabel);
  row2->addWidget(since_);
  row2->addWidget(until_);
  row2->addWidget(showSystem_);
  row2->addStretch();
  filtersRow_->setVisible(false);
  outer->addWidget(filtersRow_);

  const struct {
    QWidget* widget;
    const char* name;
    const char* description;
  } named[] = {
      {search_, "Find files",
       "Lists every file of the volume whose name matches: plain words anywhere in the name, or "
       "a pattern with * and ?"},
      {filtersButton_, "Filters", "Shows or hides the filters by state, condition, kind, size "
                                  "and time"},
      {clearFilter_, "Clear filter", "Back to browsing folder by folder"},
      {stateBox_, "Live or deleted", "Which files to list: live, deleted or both"},
      {conditionBox_, "Condition", "Deleted files by what is left of their data"},
      {categoryBox_, "Kind of file", "Pictures, documents, audio, video, archives, e-mail"},
      {showSystem_, "Show system files",
       "Lists the volume's own metadata files ($MFT, $LogFile, ...) and saves them with the rest"},
  };
  for (const auto& n : named) {
    n.widget->setAccessibleName(QString::fromUtf8(n.name));
    n.widget->setAccessibleDescription(QString::fromUtf8(n.description));
    n.widget->setToolTip(QString::fromUtf8(n.description));
  }

  connect(search_, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
  for (QComboBox* box : {stateBox_, conditionBox_, categoryBox_})
    connect(box, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
  for (QLineEdit* edit : {minSize_, maxSize_, since_, until_})
    connect(edit, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });
  connect(showSystem_, &QCheckBox::toggled, this, [this](bool on) { SetShowSystemFiles(on); });
  connect(filtersButton_, &QToolButton::toggled, filtersRow_, &QWidget::setVisible);
  connect(clearFilter_, &QPushButton::clicked, this, [this] {
    const QSignalBlocker blockers[] = {QSignalBlocker(search_), QSignalBlocker(stateBox_),
                                       QSignalBlocker(conditionBox_), QSignalBlocker(categoryBox_),
                                       QSignalBlocker(minSize_), QSignalBlocker(maxSize_),
                                       QSignalBlocker(since_), QSignalBlocker(until_)};
    search_->clear();
    for (QComboBox* box : {stateBox_, conditionBox_, categoryBox_}) box->setCurrentIndex(0);
    for (QLineEdit* edit : {minSize_, maxSize_, since_, until_}) edit->clear();
    ApplyFilter();
    search_->setFocus(Qt::OtherFocusReason);
  });
  // Tab goes through the bar in reading order, then on to the list.
  setTabOrder(search_, filtersButton_);
  setTabOrder(filtersButton_, clearFilter_);
  setTabOrder(clearFilter_, stateBox_);
  setTabOrder(stateBox_, conditionBox_);
  setTabOrder(conditionBox_, categoryBox_);
  setTabOrder(categoryBox_, minSize_);
  setTabOrder(minSize_, maxSize_);
  setTabOrder(maxSize_, since_);
  setTabOrder(since_, until_);
  setTabOrder(until_, showSystem_);
  return bar;
}

void CBrevantDlg::BuildMenus() {
  auto action = [this](QMenu* menu, int id, const QString& text, auto slot) {
    QAction* a = menu->addAction(text);
    a->setObjectName(ControlName(id));
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  QMenu* recovery = menuBar()->addMenu(QStringLiteral("&Recovery"));
  recovery->setObjectName(QStringLiteral("RecoveryMenu"));
  quickAction_ = action(recovery, kIdQuickRecovery, QStringLiteral("&Quick Recovery"),
                        [this] { OnRecover(COptionSection::Mode::Quick); });
  extensiveAction_ = action(recovery, kIdExtensiveRecovery, QStringLiteral("&Extensive Recovery"),
                            [this] { OnRecover(COptionSection::Mode::Extensive); });
  deleteAction_ = action(recovery, kIdDeleteFileRecovery, QStringLiteral("&Delete File Recovery"),
                         &CBrevantDlg::OnNext);
  deleteAction_->setEnabled(false);
  recovery->addSeparator();
  newScanAction_ =
      action(recovery, kIdNewScan, QStringLiteral("&New Scan"), &CBrevantDlg::OnNewScan);
  newScanAction_->setShortcut(QKeySequence::New);
  openImageAction_ = action(recovery, kIdOpenImage, QStringLiteral("&Open Disk Image..."),
                            &CBrevantDlg::OnOpenImage);
  restartAction_ =
      action(recovery, kIdRestartAsAdministrator, QStringLiteral("&Restart as Administrator"),
             &CBrevantDlg::OnRestartAsAdministrator);
  saveAction_ = action(recovery, kIdMenuSave, QStringLiteral("&Save"), &CBrevantDlg::OnSave);
  recovery->addSeparator();
  saveResultsAction_ = action(recovery, kIdSaveResults, QStringLiteral("Save Scan Res&ults..."),
                              &CBrevantDlg::OnSaveResults);
  openResultsAction_ = action(recovery, kIdOpenResults, QStringLiteral("Open Scan Resul&ts..."),
                              &CBrevantDlg::OnOpenResults);
  recovery->addSeparator();
  openImageAction_->setShortcut(QKeySequence::Open);
  saveAction_->setShortcut(QKeySequence::Save);
  action(recovery, kIdExit, QStringLiteral("E&xit"), &CBrevantDlg::OnExit);
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  view->setObjectName(QStringLiteral("ViewMenu"));
  auto* find = view->addAction(QStringLiteral("&Find Files"));
  find->setObjectName(QStringLiteral("FindAction"));
  find->setShortcut(QKeySequence::Find);
  connect(find, &QAction::triggered, this, [this] {
    if (!filterBar_->isVisible()) return;
    search_->setFocus(Qt::ShortcutFocusReason);
    search_->selectAll();
  });
  showSystemAction_ = view->addAction(QStringLiteral("Show &System Files"));
  showSystemAction_->setObjectName(QStringLiteral("ShowSystemFilesAction"));
  showSystemAction_->setCheckable(true);
  showSystemAction_->setChecked(showSystem_->isChecked());
  connect(showSystemAction_, &QAction::toggled, this, [this](bool on) { SetShowSystemFiles(on); });
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("HelpMenu"));
  action(help, kIdHelp, QStringLiteral("Sofware &Help"), &CBrevantDlg::OnHelp)
      ->setShortcut(QKeySequence::HelpContents);
  action(help, kIdAbout, QStringLiteral("&About Software"), &CBrevantDlg::OnAbout);
  // Esc asks the Stop question while something can be stopped, as the Stop button does.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  escape->setObjectName(QStringLiteral("StopShortcut"));
  connect(escape, &QShortcut::activated, this, [this] {
    if (stop_->isEnabled()) OnStop();
  });
}

void CBrevantDlg::NameControls() {
  // What a screen reader announces for each control.
  const struct {
    QWidget* widget;
    const char* name;
    const char* description;
  } controls[] = {
      {tree_, "Disks and folders",
       "My Computer with its disks and partitions; after a scan, the folders found, each with a "
       "check box for Save. Space checks or unchecks the current item"},
      {group_, "Select Drive Information", "Facts of the selected disk or partition"},
      {fileList_, "Files", "The files of the selected folder. Enter or Space previews a file"},
      {progress_, "Progress", "How far the scan or the Save has come"},
      {statusText_, "Status", "What the scan or the Save is doing"},
      {newScan_, "New Scan", "Back to the list of disks to scan another partition or disk"},
      {next_, "Next", "Scan the selected partition"},
      {stop_, "Stop", "Stop the scan or the Save"},
      {save_, "Save",
       "Save the checked folders, the selected files, or every file the filter lists, to a "
       "folder you choose"},
      {logo_, "Calverin Brevant", "The program's logo"},
  };
  for (const auto& c : controls) {
    c.widget->setAccessibleName(QString::fromUtf8(c.name));
    c.widget->setAccessibleDescription(QString::fromUtf8(c.description));
  }
  static const char* const kValueNames[] = {"First value", "Second value", "Third value",
                                            "Fourth value", "Fifth value"};
  for (int i = 0; i < 5; ++i) {
    // Each value is announced with the label beside it.
    values_[i]->setAccessibleName(QString::fromUtf8(kValueNames[i]));
    values_[i]->setAccessibleDescription(
        QStringLiteral("A fact of the selected disk or partition"));
  }
  for (QLabel* label : labels_)
    if (label) {
      label->setAccessibleName(label->text());
      label->setAccessibleDescription(QStringLiteral("The name of the value beside it"));
    }
}

void CBrevantDlg::LoadLogo() {
  // The user's own logo.bmp in the current folder wins over the program's artwork.
  QPixmap logo(QDir::current().filePath(QStringLiteral("logo.bmp")));
  if (logo.isNull()) logo.load(QStringLiteral(":/res/logo.png"));
  logo_->setPixmap(logo);
}

bool CBrevantDlg::AddImage(const QString& path) {
  // The disk tables are read by a run: they change only while none works.
  if (RunInProgress() || SaveInProgress()) return false;
  const QString why = ImageRefusal(path);
  if (!why.isEmpty()) {
    AskUser(RefusalText(path, why), kCaption, MessageIcon::Error, MessageButtons::Ok);
    return false;
  }
  // A result on show goes first (asked about when it holds files not yet saved).
  if (shownResult_ && !LeaveResult()) return false;
  const int d = static_cast<int>(session_.diskInfoList.size());
  AddDisk(session_, *startupTree_, platform::ImageDiskFacts(d, path.toStdString()));
  openedImages_ << path;
  tree_->ShowTree(startupTree_);
  MarkUnreadableDisks();
  const DiskInfoNode& node = session_.diskInfoList.back();
  // The new disk is selected, its panel shown.
  tree_->setCurrentIndex(tree_->Model()->IndexOf(node.treeItem));
  if (!node.openError.empty())
    AskUser(QString::fromStdString(node.openError), kCaption, MessageIcon::Error,
            MessageButtons::Ok);
  return true;
}

void CBrevantDlg::OnNewScan() {
  if (RunInProgress() || SaveInProgress() || !shownResult_) return;
  LeaveResult();
}

bool CBrevantDlg::LeaveResult() {
  const std::shared_ptr<RunResult> result = shownResult_;
  if (!result) return true;
  if (!resultSaved_ && result->catalogue.fileList.First() != nullptr &&
      !AskUser(QStringLiteral("The files found have not been saved. Drop them and scan again?"),
               kCaption, MessageIcon::Question, MessageButtons::YesNo))
    return false;
  // Back to the disk list as it was, with every disk opened so far.
  previewer_->ClearPreview();
  previewer_->ShowPartitionSpace(0, std::nullopt);
  shownResult_.reset();
  resultSaved_ = false;
  fileModel_->Clear();
  ShowFileList(false);
  filtering_ = false;
  matches_.clear();
  filterIndex_.reset();
  filterResult_.reset();
  tree_->Model()->SetMatchCounts(nullptr);
  tree_->ShowTree(startupTree_);
  MarkUnreadableDisks();
  // Nothing is selected until the user picks again: Next never scans a partition not shown.
  // The disk list takes selections again (a completed run closes it to them).
  session_.selectedFsName.clear();
  session_.scanDone.store(0);
  ShowDiskPanel({});
  ShowStatusText(QString());
  ShowProgress(0);
  UpdateCommands();
  tree_->setFocus(Qt::OtherFocusReason);  // the next choice is made in the disk list
  return true;
}

void CBrevantDlg::MarkUnreadableDisks() {
  QStringList lines;
  for (const DiskInfoNode& node : session_.diskInfoList) {
    if (node.openError.empty() || !node.treeItem) continue;
    const QString reason = UnreadableReason(node.openError);
    tree_->Model()->MarkItem(node.treeItem, reason);
    lines << Q(node.treeItem->text) + QStringLiteral(": ") + reason;
  }
  accessText_->setText(lines.join(u'\n'));
  accessPanel_->setVisible(!lines.isEmpty() && !shownResult_);
}

QStringList CBrevantDlg::RestartArguments() const {
  QStringList args;
  for (const QString& image : openedImages_)
    args << QStringLiteral("--image") << QFileInfo(image).absoluteFilePath();
  return args;
}

void CBrevantDlg::OnRestartAsAdministrator() {
  const QString program = QCoreApplication::applicationFilePath();
  const QStringList args = RestartArguments();
  const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
  if (pkexec.isEmpty()) {
    // Without pkexec, the exact command to run instead.
    QStringList words{QStringLiteral("sudo"),
                      QStringLiteral("--preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,"
                                     "XDG_RUNTIME_DIR"),
                      program};
    words += args;
    for (QString& w : words) w = ShellQuoted(w);
    AskUser(QStringLiteral("pkexec is not installed, so Brevant cannot restart itself as "
                           "administrator. Run this command in a terminal instead:\n\n") +
                words.join(u' '),
            kCaption, MessageIcon::Information, MessageButtons::Ok);
    return;
  }
  if (RunInProgress() || SaveInProgress()) {
    AskUser(QStringLiteral("Stop the scan or the Save first, or wait for its end."), kCaption,
            MessageIcon::Information, MessageButtons::Ok);
    return;
  }
  if (!QProcess::startDetached(pkexec, QStringList{program} + args)) {
    AskUser(QStringLiteral("%1 could not be started.").arg(pkexec), kCaption, MessageIcon::Error,
            MessageButtons::Ok);
    return;
  }
  // The window started with the rights takes over, with the same images.
  Shutdown();
}

void CBrevantDlg::OnOpenImage() {
  QFileDialog dialog(this, QStringLiteral("Open Disk Image"));
  dialog.setObjectName(QStringLiteral("OpenImageDialog"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setNameFilters({QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso)"),
                         QStringLiteral("All files (*)")});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  AddImage(dialog.selectedFiles().front());
}

namespace {
const QString kResultsFilter = QStringLiteral("Scan results (*.brevant-results)");
}  // namespace

void CBrevantDlg::OnSaveResults() {
  if (RunInProgress() || SaveInProgress()) return;
  if (!shownResult_) {
    AskUser(QStringLiteral("Nothing to keep yet: run a recovery first."), kCaption,
            MessageIcon::Information, MessageButtons::Ok);
    return;
  }
  QFileDialog dialog(this, QStringLiteral("Save Scan Results"));
  dialog.setObjectName(QStringLiteral("SaveResultsDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setNameFilters({kResultsFilter, QStringLiteral("All files (*)")});
  dialog.setDefaultSuffix(QStringLiteral("brevant-results"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  SaveResultsTo(dialog.selectedFiles().front());
}

bool CBrevantDlg::SaveResultsTo(const QString& path) {
  const std::shared_ptr<RunResult> result = shownResult_;
  if (!result) return false;
  const std::string file = path.toStdString();
  std::string error;
  SavedRun run;
  const RecoverySession& reader = result->Reader();
  bool ok = CheckResultsPath(file, result->devicePath, &error) &&
            ReadSourceIdentity(result->devicePath, result->partitionStart, result->partitionEnd,
                               reader.selectedSectorSize, &run.source, &error);
  if (ok) {
    if (result == openedResult_) {
      run.mode = openedMode_;
      run.partitionNumber = openedPartition_;
    } else {
      // The run that made the result on show was the last one, on the selection it read.
      run.mode = session_.recoveryMode.load() == 2 ? "extensive" : "quick";
      const auto d = static_cast<std::size_t>(result->disk);
      if (d < session_.driveRecords.size()) {
        const auto& parts = session_.driveRecords[d].partitions;
        for (std::size_t i = 0; i < parts.size(); ++i)
          if (parts[i].startSector == result->partitionStart) {
            run.partitionNumber = static_cast<int>(i) + 1;
            break;
          }
      }
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ok = SaveResults(file, *result, run, &error);
    QApplication::restoreOverrideCursor();
  }
  if (!ok) {
    AskUser(QStringLiteral("The scan results could not be saved: %1").arg(QString::fromStdString(error)),
            kCaption, MessageIcon::Error, MessageButtons::Ok);
    return false;
  }
  ShowStatusText(QStringLiteral("Scan results saved to %1").arg(path));
  return true;
}

void CBrevantDlg::OnOpenResults() {
  if (RunInProgress() || SaveInProgress()) return;
  QFileDialog dialog(this, QStringLiteral("Open Scan Results"));
  dialog.setObjectName(QStringLiteral("OpenResultsDialog"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setNameFilters({kResultsFilter, QStringLiteral("All files (*)")});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  OpenResultsFrom(dialog.selectedFiles().front());
}

bool CBrevantDlg::OpenResultsFrom(const QString& path) {
  if (RunInProgress() || SaveInProgress()) return false;
  SavedRun run;
  std::string error;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::shared_ptr<RunResult> result = LoadResultsOnSource(path.toStdString(), {}, &run, &error);
  QApplication::restoreOverrideCursor();
  if (!result) {
    // The source that does not match, or the file that cannot be read, is named with why.
    AskUser(QStringLiteral("The scan results cannot be opened: %1").arg(QString::fromStdString(error)),
            kCaption, MessageIcon::Error, MessageButtons::Ok);
    return false;
  }
  if (shownResult_ && !LeaveResult()) return false;
  openedResult_ = result;
  openedMode_ = run.mode;
  openedPartition_ = run.partitionNumber;
  // Shown as a run's result is shown when the run hands it over.
  previewer_->ClearPreview();
  ShowFileList(true);
  accessPanel_->setVisible(false);
  TakeResult(result);
  previewer_->ShowPartitionSpace(result->partition.sizeBytes, result->partition.freeBytes);
  ShowStatusText(QStringLiteral("Scan results opened from %1").arg(path));
  UpdateCommands();
  return true;
}

void CBrevantDlg::OnTreeSelection(const QModelIndex& current) {
  const ui::TreeItem* item = tree_->Model()->ItemOf(current);
  if (!current.isValid() || !item) return;
  if (shownResult_ && tree_->Model()->Tree() == shownResult_->tree) {
    ListItem(item);
    return;
  }
  // A run reads the selection: it stays as it is until the run has ended.
  if (RunInProgress()) return;
  const SelectionInfo info = SelectTreeItem(session_, item);
  QStringList values;
  for (const auto& v : info.values) values << Q(v);
  if (info.kind == SelectionInfo::Kind::Disk) {
    ShowDiskPanel(values);
    const auto& node = session_.diskInfoList[static_cast<std::size_t>(info.disk)];
    ShowStatusText(node.openError.empty() ? QString() : UnreadableReason(node.openError));
  } else if (info.kind == SelectionInfo::Kind::Partition) {
    ShowPartitionPanel(values, Q(info.sectorRange));
    group_->setTitle(Q(info.groupText));
    // What the partition table gets wrong about this entry is said where the person looks.
    QString remark;
    const auto d = static_cast<std::size_t>(info.disk);
    if (info.disk >= 0 && d < session_.driveRecords.size())
      for (const PartitionEntry& p : session_.driveRecords[d].partitions)
        if (p.treeItem == item)
          remark = QString::fromStdString(p.problem.empty() ? p.note : p.problem);
    ShowStatusText(remark.isEmpty() ? QString() : QStringLiteral("Note: ") + remark);
    values_[2]->setToolTip(remark);
    StartParamWorker();
  }
}

const ui::FilterIndex& CBrevantDlg::Filters() {
  if (!filterIndex_ || filterResult_ != shownResult_) {
    filterIndex_.reset();
    filterResult_ = shownResult_;
    filterIndex_ = std::make_unique<ui::FilterIndex>(*filterResult_);
  }
  return *filterIndex_;
}

bool CBrevantDlg::ShowSystemFiles() const { return showSystem_->isChecked(); }

void CBrevantDlg::SetShowSystemFiles(bool show) {
  {
    const QSignalBlocker a(showSystem_), b(showSystemAction_);
    showSystem_->setChecked(show);
    showSystemAction_->setChecked(show);
  }
  UserSettings()->setValue(QStringLiteral("Filter/showSystem"), show);
  HideSystemFolders();
  ApplyFilter();
}

void CBrevantDlg::HideSystemFolders() {
  if (!shownResult_ || tree_->Model()->Tree() != shownResult_->tree) return;
  std::unordered_set<const ui::TreeItem*> hidden;
  if (!ShowSystemFiles()) {
    const ui::FilterIndex& index = Filters();
    for (const ui::TreeFolderNode& f : shownResult_->tree->treeFolderList)
      if (f.node && f.treeItem && index.IsSystem(*f.node)) hidden.insert(f.treeItem);
  }
  tree_->Model()->SetHiddenItems(hidden);
}

ui::FileFilter CBrevantDlg::CurrentFilter() const {
  ui::FileFilter f;
  const QString words = search_->text().trimmed();
  // Plain words are looked for anywhere in the name; a pattern is taken as it is.
  if (!words.isEmpty()) {
    const bool pattern = words.contains(u'*') || words.contains(u'?') || words.contains(u'[');
    const QString glob = pattern ? words : u'*' + words + u'*';
    f.namePattern.assign(reinterpret_cast<const char16_t*>(glob.utf16()),
                         static_cast<std::size_t>(glob.size()));
  }
  f.liveness = stateBox_->currentIndex() == 1   ? ui::FileFilter::Liveness::LiveOnly
               : stateBox_->currentIndex() == 2 ? ui::FileFilter::Liveness::DeletedOnly
                                                : ui::FileFilter::Liveness::Any;
  if (conditionBox_->currentIndex() > 0)
    f.conditions.push_back(static_cast<FileCondition>(conditionBox_->currentData().toInt()));
  if (categoryBox_->currentIndex() > 0)
    f.categories.push_back(static_cast<ui::FileCategory>(categoryBox_->currentData().toInt()));
  const auto size = [](QLineEdit* edit, std::optional<std::uint64_t>& into) {
    if (edit->text().trimmed().isEmpty()) return MarkField(edit, false, {});
    into = ui::ParseByteSize(edit->text().trimmed().toStdString());
    MarkField(edit, !into, QStringLiteral("Not a size: write bytes, or a number with K, M or G"));
  };
  const auto date = [](QLineEdit* edit, std::optional<std::int64_t>& into, bool endOfDay) {
    if (edit->text().trimmed().isEmpty()) return MarkField(edit, false, {});
    into = ui::ParseIsoTime(edit->text().trimmed().toStdString(), endOfDay);
    MarkField(edit, !into, QStringLiteral("Not a date: write it as YYYY-MM-DD"));
  };
  size(minSize_, f.minSize);
  size(maxSize_, f.maxSize);
  date(since_, f.since, false);
  date(until_, f.until, true);
  f.includeSystem = showSystem_->isChecked();
  return f;
}

void CBrevantDlg::ApplyFilter() {
  if (!shownResult_) return;
  const ui::FileFilter filter = CurrentFilter();
  const bool was = filtering_;
  filtering_ = filter.Narrows();
  matches_.clear();
  std::unordered_map<const ui::TreeItem*, std::size_t> counts;
  if (filtering_) {
    matches_ = Filters().Matching(filter);
    // Each folder counts the matches it holds, its subfolders' included.
    for (const CatalogueNode* n : matches_)
      for (const ui::TreeItem* i = shownResult_->paths->FileItem(n); i; i = i->parent) ++counts[i];
    std::uint64_t bytes = 0;
    for (const CatalogueNode* n : matches_) bytes += RecordBytes(*n);
    ShowStatusText(QStringLiteral("%1 %2 match (%3)")
                       .arg(matches_.size())
                       .arg(matches_.size() == 1 ? QStringLiteral("file") : QStringLiteral("files"))
                       .arg(SizeText(bytes)));
  } else if (was) {
    ShowStatusText(QString());
  }
  tree_->Model()->SetMatchCounts(filtering_ ? &counts : nullptr);
  fileList_->setColumnHidden(FileListModel::kPath, !filtering_);
  // A new filter lists the whole volume; without one the list shows the selected folder again.
  const ui::TreeItem* item = filtering_ ? nullptr : tree_->Model()->ItemOf(tree_->currentIndex());
  if (!filtering_ && !tree_->currentIndex().isValid()) item = nullptr;
  ListItem(item);
}

void CBrevantDlg::ListItem(const ui::TreeItem* item) {
  if (!shownResult_) return;
  std::vector<const CatalogueNode*> rows;
  if (filtering_) {
    // The matches below `item`; the top item, or none, stands for the whole volume.
    if (!item || !item->parent || item->parent == shownResult_->tree->Root()) {
      rows = matches_;
    } else {
      for (const CatalogueNode* n : matches_)
        for (const ui::TreeItem* i = shownResult_->paths->FileItem(n); i; i = i->parent)
          if (i == item) {
            rows.push_back(n);
            break;
          }
    }
  } else if (item) {
    // A folder of the result: its files, each row tied to its own record of that result.
    rows = ui::ListFolderFiles(*shownResult_, item);
    if (!ShowSystemFiles()) {
      const ui::FilterIndex& index = Filters();
      std::erase_if(rows, [&index](const CatalogueNode* n) { return index.IsSystem(*n); });
    }
  }
  fileModel_->SetRows(std::move(rows), shownResult_);
}

void CBrevantDlg::ShowFileList(bool show) {
  fileList_->setVisible(show);
  filterBar_->setVisible(show);
  group_->setVisible(!show);
}

void CBrevantDlg::ShowDiskPanel(const QStringList& values) {
  group_->setTitle(QStringLiteral("Select Drive Information"));
  for (int i = 0; i < 5; ++i) labels_[i]->setVisible(true);
  for (int i = 5; i < 8; ++i) labels_[i]->setVisible(false);
  for (int i = 0; i < 5; ++i) {
    values_[i]->setVisible(true);
    values_[i]->setText(values.value(i));
    values_[i]->setToolTip(QString());
  }
}

void CBrevantDlg::ShowPartitionPanel(const QStringList& values, const QString& rangeText) {
  for (int i = 0; i < 5; ++i) labels_[i]->setVisible(false);
  for (int i = 5; i < 8; ++i) labels_[i]->setVisible(true);
  values_[3]->setVisible(false);
  values_[4]->setVisible(false);
  for (int i = 0; i < 3; ++i) values_[i]->setText(values.value(i));
  values_[2]->setText(values.value(2) + QStringLiteral(" (") + rangeText + QStringLiteral(")"));
}

void CBrevantDlg::StartParamWorker() {
  // The free space comes when the worker has read the allocation map; an overtaken worker
  // reports nothing.
  paramThreads_.push_back(
      brevant::StartParamWorker(session_, [this](const PartitionFigures& figures) {
        QMetaObject::invokeMethod(
            this, [this, figures] { ShowFigures(figures); }, Qt::QueuedConnection);
      }));
}

void CBrevantDlg::ShowFigures(const PartitionFigures& figures) {
  if (closing_ || !labels_[6]->isVisible()) return;
  values_[0]->setText(SizeText(figures.sizeBytes));
  values_[1]->setText(figures.freeBytes ? SizeText(*figures.freeBytes) : QStringLiteral("unknown"));
  values_[1]->setToolTip(figures.freeBytes
                             ? QString::number(*figures.freeBytes) + QStringLiteral(" bytes")
                             : QStringLiteral("The allocation map could not be read"));
  previewer_->ShowPartitionSpace(figures.sizeBytes, figures.freeBytes);
}

void CBrevantDlg::OnNext() { OnRecover(COptionSection::Mode::None); }

void CBrevantDlg::OnRecover(COptionSection::Mode preset) {
  if (RunInProgress() || SaveInProgress()) return;
  if (session_.selectedFsName.empty()) {
    AskUser(QStringLiteral("Select a partition in the tree first."), kCaption,
            MessageIcon::Information, MessageButtons::Ok);
    return;
  }
  // Closing the dialog without "Recover" starts nothing, every time.
  session_.recoverConfirmed.store(0);
  COptionSection dialog(this, preset);
  if (dialog.exec() == QDialog::Accepted) session_.recoverConfirmed.store(1);
  if (session_.recoverConfirmed.load() != 1) return;

  // "Extensive Recovery" asks for the engine's extensive mode; no choice means quick.
  session_.recoveryMode.store(dialog.ChosenMode() == COptionSection::Mode::Extensive ? 2 : 1);
  // The pane showed a file of the result this run replaces.
  previewer_->ClearPreview();
  ShowFileList(true);
  accessPanel_->setVisible(false);
  EnableStop(true);
  runFinished_.store(false);
  std::vector<std::thread> params = std::move(paramThreads_);
  paramThreads_.clear();
  runThread_ = std::thread([this, params = std::move(params)]() mutable {
    // The run reads the parameters the last selection's worker stored.
    for (auto& t : params) t.join();
    const RunOutcome outcome = RecoveryWorker(session_, view_);
    runFinished_.store(true);
    QMetaObject::invokeMethod(
        this, [this, outcome] { FinishRun(outcome); }, Qt::QueuedConnection);
  });
  UpdateCommands();
}

void CBrevantDlg::FinishRun(RunOutcome outcome) {
  if (runThread_.joinable()) runThread_.join();
  if (closing_) return;
  if (!SaveInProgress()) WithdrawStopQuestion();
  // The outcome decides the last word: a stopped run says so, whatever step it stopped in.
  if (outcome == RunOutcome::Stopped) ShowStatusText(QStringLiteral("Process Aborted..."));
  EnableStop(SaveInProgress());
  UpdateCommands();
  emit RunEnded(outcome);
}

void CBrevantDlg::OnStop() {
  if (stopQuestion_) return;  // already asked
  QMessageBox box(this);
  stopQuestion_ = &box;
  const bool yes =
      AskUser(QStringLiteral("Do you want to stop recovery process ?       "),
              QStringLiteral("Brevant"), MessageIcon::Question, MessageButtons::YesNo, &box);
  // Withdrawn (the work ended while it was asked) counts as No: there is nothing to stop.
  const bool withdrawn = !stopQuestion_;
  stopQuestion_ = nullptr;
  if (!yes || withdrawn) return;
  session_.stopRequested.store(1);
  if (SaveInProgress()) saveStop_.store(1);
}

void CBrevantDlg::WithdrawStopQuestion() {
  if (!stopQuestion_) return;
  QMessageBox* box = stopQuestion_;
  stopQuestion_ = nullptr;
  box->done(QMessageBox::No);
}

void CBrevantDlg::OnSave() {
  if (RunInProgress() || SaveInProgress()) return;
  const std::shared_ptr<RunResult> result = shownResult_;
  if (!result) {
    AskUser(QStringLiteral("Nothing to save yet: run a recovery first."), kCaption,
            MessageIcon::Information, MessageButtons::Ok);
    return;
  }
  // The tasks `brevant recover --path` would make of the same selection: the folders first,
  // then their files in catalogue order, each into its folder's path in the result.
  std::vector<RecoverTask> tasks;
  const auto checked = ui::CheckedItems(*result->tree);
  // What the list leaves out is left out of a Save too: the volume's system files while they
  // are hidden, and, while a filter is on, every file it does not keep.
  const ui::FileFilter filter = CurrentFilter();
  const ui::FilterIndex& index = Filters();
  const auto keep = [&](const CatalogueNode& n) { return index.Matches(filter, n); };
  if (!checked.empty()) {
    // Each checked folder with its files; checking a folder checked everything below it.
    std::unordered_set<const ui::TreeItem*> wanted(checked.begin(), checked.end());
    // While filtering only the matching files are saved, each made with its folders; empty
    // folders of the selection are not made.
    if (!filtering_) {
      std::unordered_map<const ui::TreeItem*, const CatalogueNode*> folderOf;
      for (const ui::TreeFolderNode& f : result->tree->treeFolderList)
        if (f.node && wanted.count(f.treeItem)) folderOf.emplace(f.treeItem, f.node);
      for (const ui::TreeItem* item : checked) {
        const auto folder = folderOf.find(item);
        if (folder != folderOf.end() && !ShowSystemFiles() && index.IsSystem(*folder->second))
          continue;
        tasks.push_back({nullptr, FolderComponents(ItemSlashPath(item)), tasks.size()});
      }
    }
    for (auto* n = result->catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      if (wanted.count(result->paths->FileItem(n)) && keep(*n))
        tasks.push_back({n, FolderComponents(result->paths->FileFolder(n)), tasks.size()});
  } else if (fileList_->selectionModel()->hasSelection()) {
    // The selected rows, in the order the list shows them.
    QModelIndexList rows = fileList_->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& row : rows)
      if (const CatalogueNode* f = fileModel_->NodeAt(row.row()))
        tasks.push_back({f, FolderComponents(result->paths->FileFolder(f)), tasks.size()});
  } else if (filtering_ && fileModel_->rowCount() > 0) {
    // Nothing chosen while a filter is on: every file it lists, once the person agrees.
    std::uint64_t bytes = 0;
    for (int r = 0; r < fileModel_->rowCount(); ++r) bytes += RecordBytes(*fileModel_->NodeAt(r));
    if (!AskUser(QStringLiteral("Save all %1 files that match the filter (%2)?")
                     .arg(fileModel_->rowCount())
                     .arg(SizeText(bytes)),
                 kCaption, MessageIcon::Question, MessageButtons::YesNo))
      return;
    for (int r = 0; r < fileModel_->rowCount(); ++r) {
      const CatalogueNode* f = fileModel_->NodeAt(r);
      tasks.push_back({f, FolderComponents(result->paths->FileFolder(f)), tasks.size()});
    }
  }
  if (tasks.empty()) {
    AskUser(QStringLiteral("Check folders in the tree, or select files in the list, to save them."),
            kCaption, MessageIcon::Information, MessageButtons::Ok);
    return;
  }
  auto progress = std::make_shared<SaveProgress>();
  for (const RecoverTask& t : tasks)
    if (t.file) {
      ++progress->totalFiles;
      progress->totalBytes += RecordBytes(*t.file);
    }

  SaveFolderDialog dialog(this);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString folder = dialog.selectedFiles().front();
  const bool writeReport = dialog.WriteReport();
  lastSaveWantedReport_ = writeReport;
  const std::filesystem::path to = QFile::encodeName(folder).toStdString();

  saveStop_.store(0);
  saveFinished_.store(false);
  EnableStop(true);
  ShowProgress(0);
  saveProgress_ = progress;
  saveClock_.start();
  shownSaveBytes_ = 0;
  ShowSaveProgress();
  saveTimer_->start();
  saveThread_ = std::thread(
      [this, tasks = std::move(tasks), to, result, progress, folder, writeReport]() mutable {
        SaveListener save(*progress, std::move(tasks), saveStop_, session_.stopRequested,
                          savingMutex_, savingFiles_);
        std::string error;
        // The run's own reader state: Save reads only the result, so a new run may work meanwhile.
        auto recoverer = FileRecoverer::Open(result->Reader(), to, &error, &saveStop_);
        std::unique_ptr<RecoveryReports> reports;
        if (recoverer && writeReport) {
          std::string reportError;
          reports = RecoveryReports::OpenBeside(to, *result, {std::string(), recoverer->Destination()},
                                                &reportError);
          if (reports)
            save.reports = reports.get();
          else
            save.reportLine = QStringLiteral("No recovery report: ") +
                              QString::fromStdString(reportError);
        }
        if (recoverer) recoverer->RecoverAll(save);
        // Files a stop kept from being begun are not reported: fewer files than asked for, with a
        // stop requested, is a stopped Save even when no file was cut short.
        if (save.recovered + save.partial + save.failed < progress->totalFiles)
          save.StopRequested();
        if (reports) {
          // Finished after a stop too: the report then holds what was done.
          std::string reportError;
          if (reports->Finish(save.stopped, &reportError))
            save.reportLine = QStringLiteral("Recovery report: %1 and %2")
                                  .arg(QFile::decodeName(reports->Paths().dfxml.c_str()),
                                       QFile::decodeName(reports->Paths().csv.c_str()));
          else
            save.reportLine = QStringLiteral("The recovery report could not be written whole: ") +
                              QString::fromStdString(reportError);
        }
        SaveEnd end;
        end.reportRequested = writeReport;
        end.summary = recoverer ? save.Summary() : QString::fromStdString(error);
        end.stopped = save.stopped;
        end.whole = save.recovered;
        end.files = progress->totalFiles;
        if (recoverer) end.folder = folder;
        end.result = result;
        saveFinished_.store(true);
        QMetaObject::invokeMethod(
            this, [this, end] { FinishSave(end); }, Qt::QueuedConnection);
      });
  UpdateCommands();
}

void CBrevantDlg::ShowSaveProgress() {
  const std::shared_ptr<SaveProgress> progress = saveProgress_;
  if (!progress) return;
  // The files finished, and what the files being written hold so far: one large file moves
  // the bar as well as many small ones.
  std::uint64_t bytes = progress->doneBytes.load();
  {
    std::lock_guard lock(savingMutex_);
    for (const auto& file : savingFiles_) {
      std::error_code ec;
      const auto size = std::filesystem::file_size(file, ec);
      if (!ec) bytes += size;
    }
  }
  bytes = std::min(std::max(bytes, shownSaveBytes_), progress->totalBytes);
  shownSaveBytes_ = bytes;
  const std::size_t done = progress->doneFiles.load();
  const std::uint64_t total = progress->totalBytes;
  const int percent =
      total ? static_cast<int>(bytes * 100 / total)
            : (progress->totalFiles ? static_cast<int>(done * 100 / progress->totalFiles) : 0);
  ShowProgress(percent);
  QString text = QStringLiteral("Saving %1 of %2 files, %3 of %4 (%5%)")
                     .arg(done)
                     .arg(progress->totalFiles)
                     .arg(SizeText(bytes), SizeText(total))
                     .arg(percent);
  const double seconds = saveClock_.elapsed() / 1000.0;
  if (seconds >= 0.5 && bytes > 0) {
    const double rate = bytes / seconds;
    text += QStringLiteral(", %1/s, %2 left")
                .arg(SizeText(static_cast<std::uint64_t>(rate)),
                     DurationText(static_cast<double>(total - bytes) / rate));
  }
  ShowStatusText(text);
}

void CBrevantDlg::FinishSave(const SaveEnd& end) {
  if (saveThread_.joinable()) saveThread_.join();
  saveTimer_->stop();
  saveProgress_.reset();
  if (closing_) return;
  if (!RunInProgress()) WithdrawStopQuestion();
  // A Stop answered for the Save must not stop the next run.
  session_.stopRequested.store(0);
  EnableStop(false);
  ShowProgress(0);
  if (!end.stopped && !end.folder.isEmpty() && end.result == shownResult_) resultSaved_ = true;
  ShowStatusText(
      end.stopped
          ? QStringLiteral("Save stopped: %1 of %2 files saved whole").arg(end.whole).arg(end.files)
          : QStringLiteral("Save Completed..."));
  UpdateCommands();
  QMessageBox box(this);
  QPushButton* open = nullptr;
  if (!end.folder.isEmpty()) {
    open = box.addButton(QStringLiteral("&Open Folder"), QMessageBox::ActionRole);
    open->setObjectName(QStringLiteral("OpenFolderButton"));
  }
  AskUser(end.summary, kCaption, MessageIcon::Information, MessageButtons::Ok, &box);
  if (open && box.clickedButton() == open)
    QDesktopServices::openUrl(QUrl::fromLocalFile(end.folder));
  emit SaveEnded();
}

void CBrevantDlg::UpdateCommands() {
  const bool busy = RunInProgress() || SaveInProgress();
  for (QWidget* w : {static_cast<QWidget*>(next_), static_cast<QWidget*>(save_)})
    w->setEnabled(!busy);
  quickAction_->setEnabled(!busy);
  extensiveAction_->setEnabled(!busy);
  saveAction_->setEnabled(!busy);
  openImageAction_->setEnabled(!busy);
  saveResultsAction_->setEnabled(!busy && shownResult_ != nullptr);
  openResultsAction_->setEnabled(!busy);
  newScanAction_->setEnabled(!busy && shownResult_ != nullptr);
  newScan_->setVisible(shownResult_ != nullptr);
  newScan_->setEnabled(!busy);
  // A run reads the selection it started with: the tree is locked, and looks it, until it ends.
  const bool wasEnabled = tree_->isEnabled();
  tree_->setEnabled(!RunInProgress());
  // Locking the tree sent the keyboard focus elsewhere; after the run the tree is where the
  // work goes on, so arrows and Space reach it without a Tab.
  if (!wasEnabled && tree_->isEnabled()) tree_->setFocus(Qt::OtherFocusReason);
}

// Size, splitter lines and column widths are kept between starts.
void CBrevantDlg::RestoreLayout() {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Calverin"),
                     QStringLiteral("Brevant"));
  settings.beginGroup(QStringLiteral("Window"));
  const QByteArray geometry = settings.value(QStringLiteral("geometry")).toByteArray();
  if (!geometry.isEmpty()) restoreGeometry(geometry);
  const QByteArray main = settings.value(QStringLiteral("mainSplitter")).toByteArray();
  if (!main.isEmpty()) mainSplitter_->restoreState(main);
  const QByteArray right = settings.value(QStringLiteral("rightSplitter")).toByteArray();
  if (!right.isEmpty()) rightSplitter_->restoreState(right);
  const QByteArray columns = settings.value(QStringLiteral("fileColumns")).toByteArray();
  if (!columns.isEmpty()) fileList_->horizontalHeader()->restoreState(columns);
}

void CBrevantDlg::SaveLayout() {
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Calverin"),
                     QStringLiteral("Brevant"));
  settings.beginGroup(QStringLiteral("Window"));
  settings.setValue(QStringLiteral("geometry"), saveGeometry());
  settings.setValue(QStringLiteral("mainSplitter"), mainSplitter_->saveState());
  settings.setValue(QStringLiteral("rightSplitter"), rightSplitter_->saveState());
  settings.setValue(QStringLiteral("fileColumns"), fileList_->horizontalHeader()->saveState());
}

void CBrevantDlg::OnExit() {
  if (!AskUser(QStringLiteral("Do you want to Exit ?       "), kCaption, MessageIcon::Question,
               MessageButtons::YesNo))
    return;
  Shutdown();
}

void CBrevantDlg::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  event->ignore();
  OnExit();
}

void CBrevantDlg::Shutdown() {
  if (!closing_ && keepLayout_) SaveLayout();
  closing_ = true;
  session_.stopRequested.store(1);
  saveStop_.store(1);
  view_.Close();
  // The workers end at their next check; give them a moment, never an unbounded wait.
  QElapsedTimer timer;
  timer.start();
  while (((runThread_.joinable() && !runFinished_.load()) ||
          (saveThread_.joinable() && !saveFinished_.load())) &&
         timer.elapsed() < 2000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  if ((runThread_.joinable() && !runFinished_.load()) ||
      (saveThread_.joinable() && !saveFinished_.load())) {
    leftRunning_ = true;
    // A file Save is still writing is removed rather than left partial.
    std::lock_guard lock(savingMutex_);
    for (const auto& file : savingFiles_) {
      std::error_code ec;
      std::filesystem::remove(file, ec);
    }
  }
  close();
  emit Exited();
}

void CBrevantDlg::OnHelp() {
  QString page = QCoreApplication::applicationDirPath() + QStringLiteral("/res/brevant_help.html");
  if (!QFileInfo::exists(page)) page = QStringLiteral(BREVANT_RES_DIR "/brevant_help.html");
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(page))) return;
  // No browser took it (none registered, or none at all): the window shows the page itself.
  if (!helpViewer_) {
    helpViewer_ = new QDialog(this);
    helpViewer_->setObjectName(QStringLiteral("HelpViewer"));
    helpViewer_->setWindowTitle(QStringLiteral("Calverin Brevant Help"));
    auto* browser = new QTextBrowser(helpViewer_);
    browser->setObjectName(QStringLiteral("HelpBrowser"));
    browser->setOpenExternalLinks(true);
    browser->setAccessibleName(QStringLiteral("Help"));
    browser->setAccessibleDescription(QStringLiteral("How to use Calverin Brevant"));
    auto* close = new QPushButton(QStringLiteral("&Close"), helpViewer_);
    close->setObjectName(QStringLiteral("HelpClose"));
    connect(close, &QPushButton::clicked, helpViewer_, &QDialog::close);
    auto* layout = new QVBoxLayout(helpViewer_);
    layout->addWidget(browser, 1);
    layout->addWidget(close, 0, Qt::AlignRight);
    helpViewer_->resize(720, 560);
  }
  auto* browser = helpViewer_->findChild<QTextBrowser*>(QStringLiteral("HelpBrowser"));
  browser->setSource(QUrl::fromLocalFile(page));
  if (browser->toPlainText().isEmpty())
    browser->setPlainText(QStringLiteral("The help page %1 cannot be read.").arg(page));
  helpViewer_->show();
  helpViewer_->raise();
  helpViewer_->activateWindow();
}

void CBrevantDlg::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CBrevantDlg::ShowStatusText(const QString& text) { statusText_->setText(text); }

void CBrevantDlg::ShowProgress(int percent) { progress_->setValue(percent); }

void CBrevantDlg::EnableStop(bool enabled) {
  stop_->setEnabled(enabled);
  if (!enabled) WithdrawStopQuestion();
}

bool CBrevantDlg::AskUser(const QString& text, const QString& caption, MessageIcon icon,
                          MessageButtons buttons) {
  // A run's own message comes at its end: the Stop question, if open, no longer applies and
  // must not stay stacked under it.
  WithdrawStopQuestion();
  QMessageBox box(this);
  return AskUser(text, caption, icon, buttons, &box);
}

bool CBrevantDlg::AskUser(const QString& text, const QString& caption, MessageIcon icon,
                          MessageButtons buttons, QMessageBox* shown) {
  QMessageBox& box = *shown;
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setWindowTitle(caption);
  box.setText(text);
  switch (icon) {
    case MessageIcon::Error:
      box.setIcon(QMessageBox::Critical);
      break;
    case MessageIcon::Question:
      box.setIcon(QMessageBox::Question);
      break;
    case MessageIcon::Information:
      box.setIcon(QMessageBox::Information);
      break;
    case MessageIcon::None:
      break;
  }
  box.setWindowModality(Qt::ApplicationModal);
  if (buttons == MessageButtons::YesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
  }
  box.addButton(QMessageBox::Ok);
  box.setDefaultButton(QMessageBox::Ok);
  box.exec();
  return true;
}

void CBrevantDlg::TakeResult(std::shared_ptr<RunResult> result) {
  if (!result || !result->tree) return;
  shownResult_ = std::move(result);
  resultSaved_ = false;
  fileModel_->Clear();
  filterIndex_.reset();
  filterResult_.reset();
  tree_->ShowTree(shownResult_->tree);
  HideSystemFolders();
  // A filter typed before still holds for the new result.
  filtering_ = false;
  matches_.clear();
  tree_->Model()->SetMatchCounts(nullptr);
  if (CurrentFilter().Narrows()) ApplyFilter();
  UpdateCommands();
}

void CBrevantDlg::ShowRunEnded(RunOutcome) {
  // The worker's thread reports the end to FinishRun once it has returned.
}

}  // namespace brevant::gui

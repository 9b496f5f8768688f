#pragma once
// The main window: the folder tree, the drive information panel, the file list, the preview
// pane, progress and the Next / Stop / Save commands. It translates what the user does into
// engine calls and shows what the engine reports; it decides nothing the engine decides.
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/recovery_session.h"
#include "gui/dialogs.h"
#include "model/file_filter.h"
#include "gui/queued_view.h"
#include "platform/disk_source.h"

class QAction;
class QCheckBox;
class QComboBox;
class QDialog;
class QLineEdit;
class QToolButton;
class QMessageBox;
class QFrame;
class QGroupBox;
class QSplitter;
class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;
class QTimer;
class QVBoxLayout;

namespace brevant::gui {

class CFolderTreeCtrl1;
class FileListModel;
class WindowPreview;

// Menu command added on this platform: images are opened as disks.
inline constexpr int kIdOpenImage = 32779;
inline constexpr int kIdNewScan = 32780;
inline constexpr int kIdRestartAsAdministrator = 32781;
inline constexpr int kIdSaveResults = 32782;
inline constexpr int kIdOpenResults = 32783;

// Save's counts as its worker moves on; the window reads them on a timer.
struct SaveProgress {
  std::size_t totalFiles = 0;
  std::uint64_t totalBytes = 0;  // the files' sizes as catalogued
  std::atomic<std::size_t> doneFiles{0};
  std::atomic<std::size_t> wholeFiles{0};
  std::atomic<std::uint64_t> doneBytes{0};  // the catalogued sizes of the files finished
};

// How a Save ended, for the window.
struct SaveEnd {
  QString summary;
  bool stopped = false;
  std::size_t whole = 0, files = 0;
  QString folder;  // the destination, when it was opened
  std::shared_ptr<RunResult> result;  // the result saved from
  bool reportRequested = false;       // "Write a recovery report" was checked
};

// The Save's folder chooser; a new folder's name typed into it is made there. Its "Write a
// recovery report" box is remembered between Saves (checked the first time).
class SaveFolderDialog : public QFileDialog {
  Q_OBJECT
 public:
  explicit SaveFolderDialog(QWidget* parent);
  void accept() override;
  bool WriteReport() const;

 private:
  QCheckBox* writeReport_;
};

struct WindowOptions {
  platform::DiskSource* disks = nullptr;  // the machine's disks; none when null
  std::vector<std::string> images;        // disk images listed after the disks
  bool keepLayout = true;  // size, splitters and columns from and to the user's settings
};

class CBrevantDlg : public QMainWindow, private ViewTarget {
  Q_OBJECT
 public:
  explicit CBrevantDlg(const WindowOptions& options, QWidget* parent = nullptr);
  ~CBrevantDlg() override;

  // Adds a disk image after the disks already listed; false when nothing could be added.
  bool AddImage(const QString& path);
  // The commands, as the buttons and menu items call them.
  void OnNext();
  // Next with the Recovery Mode dialog opened on `preset` (the Recovery menu's mode items).
  void OnRecover(COptionSection::Mode preset);
  void OnStop();
  void OnSave();
  void OnExit();
  // Opens the bundled help page in the desktop's browser, or in the window's own viewer when
  // no browser takes it.
  void OnHelp();
  void OnAbout();
  // Opens an image file chosen in a dialog; during a result, goes back to the disk list first.
  void OnOpenImage();
  // Keeps the result on show in a results file chosen in a dialog.
  void OnSaveResults();
  // Shows the result a results file holds, as after its run, once its source is checked to be
  // the one scanned (a source that is not is named with the reason, and nothing is shown).
  void OnOpenResults();
  // The same without the dialogs; false when nothing was saved or opened (the reason is shown).
  bool SaveResultsTo(const QString& path);
  bool OpenResultsFrom(const QString& path);

  // Back to the disk list, keeping every disk opened; asks first when the result on show holds
  // files not yet saved.
  void OnNewScan();
  // Starts the window again through pkexec with the images opened, and ends this one; where
  // pkexec is missing, shows the command to run instead.
  void OnRestartAsAdministrator();
  // The arguments a restarted window gets: the images opened so far.
  QStringList RestartArguments() const;

  // The search box and the filter controls, as they are set now (system files as "Show system
  // files" says).
  ui::FileFilter CurrentFilter() const;
  // True while a filter narrows the list to its matches of the whole volume.
  bool Filtering() const { return filtering_; }
  // Every file of the shown result the filter keeps, in catalogue order (while Filtering()).
  const std::vector<const CatalogueNode*>& Matches() const { return matches_; }
  bool ShowSystemFiles() const;
  void SetShowSystemFiles(bool show);
  // Whether the last Save was asked to write a recovery report.
  bool LastSaveWantedReport() const { return lastSaveWantedReport_; }

  bool RunInProgress() const { return runThread_.joinable() || session_.runInProgress.load() == 1; }
  bool SaveInProgress() const { return saveThread_.joinable(); }
  // True when Exit had to leave a worker running: the process must end without waiting.
  bool LeftWorkersRunning() const { return leftRunning_; }

  RecoverySession& Session() { return session_; }
  // The result whose folders the tree shows (null before a run has handed one over).
  std::shared_ptr<RunResult> ShownResult() const { return shownResult_; }
  FileListModel* Files() const { return fileModel_; }
  CFolderTreeCtrl1* Tree() const { return tree_; }
  // Slots where the preview pane and the pie chart are plugged in; the window owns the widget.
  void SetPreviewWidget(QWidget* widget);
  void SetPieChartWidget(QWidget* widget);
  // The preview pane with the preview of clicked rows, and the pie chart.
  WindowPreview* Previewer() const { return previewer_.get(); }

 signals:
  void RunEnded(brevant::RunOutcome outcome);  // the worker has ended, however
  void SaveEnded();
  void Exited();  // Exit was confirmed: the program ends

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // ViewTarget: reports of the workers, on the user-interface thread.
  void ShowStatusText(const QString& text) override;
  void ShowProgress(int percent) override;
  void EnableStop(bool enabled) override;
  bool AskUser(const QString& text, const QString& caption, MessageIcon icon,
               MessageButtons buttons) override;
  // Asks in `shown`, a box the caller owns (so it can be withdrawn).
  bool AskUser(const QString& text, const QString& caption, MessageIcon icon,
               MessageButtons buttons, QMessageBox* shown);
  void TakeResult(std::shared_ptr<RunResult> result) override;
  void ShowRunEnded(RunOutcome outcome) override;

  void BuildControls();
  QWidget* BuildFilterBar(QWidget* parent);
  void BuildMenus();
  void NameControls();
  void RestoreLayout();
  void SaveLayout();
  void LoadLogo();
  void OnTreeSelection(const QModelIndex& current);
  // The filter controls changed: the list shows the matches of the whole volume, or, with no
  // filter left, the selected folder again.
  void ApplyFilter();
  // The rows the list shows for `item`: its folder's files, or its matches while filtering.
  void ListItem(const ui::TreeItem* item);
  void ShowFileList(bool show);
  // The volume's system folders leave the tree while "Show system files" is off.
  void HideSystemFolders();
  // The filter facts of the shown result, made on first use.
  const ui::FilterIndex& Filters();
  void ShowDiskPanel(const QStringList& values);
  void ShowPartitionPanel(const QStringList& values, const QString& rangeText);
  void StartParamWorker();
  void FinishRun(RunOutcome outcome);
  void ShowFigures(const PartitionFigures& figures);
  void FinishSave(const SaveEnd& end);
  void ShowSaveProgress();
  void UpdateCommands();
  // Drops the result on show and shows the disk list; false when the user kept the result.
  bool LeaveResult();
  // Marks the disks that cannot be read in the tree and says why in the panel.
  void MarkUnreadableDisks();
  // Takes back the Stop question when what it would stop has ended before it was answered.
  void WithdrawStopQuestion();
  // Stops everything and ends the window; false when the user said No.
  void Shutdown();

  RecoverySession session_;
  std::shared_ptr<ui::ResultTree> startupTree_;
  std::shared_ptr<RunResult> shownResult_;
  QueuedRecoveryView view_;

  std::thread runThread_;
  std::thread saveThread_;
  std::vector<std::thread> paramThreads_;
  std::atomic<std::int32_t> saveStop_{0};
  std::atomic<bool> runFinished_{false};
  std::atomic<bool> saveFinished_{false};
  std::mutex savingMutex_;
  std::set<std::filesystem::path> savingFiles_;  // the files Save is writing now
  bool leftRunning_ = false;
  QPointer<QMessageBox> stopQuestion_;
  QDialog* helpViewer_ = nullptr;
  QTimer* saveTimer_ = nullptr;
  QElapsedTimer saveClock_;
  std::shared_ptr<SaveProgress> saveProgress_;
  std::uint64_t shownSaveBytes_ = 0;  // the help page, where no browser opens it  // the Stop question while it waits for an answer
  bool closing_ = false;

  CFolderTreeCtrl1* tree_ = nullptr;
  QGroupBox* group_ = nullptr;
  QLabel* labels_[9] = {};  // 1008..1012, then 1014..1016 at [5..7]
  QLabel* values_[5] = {};  // 1003..1007
  QTableView* fileList_ = nullptr;
  FileListModel* fileModel_ = nullptr;
  QVBoxLayout* previewSlot_ = nullptr;
  QWidget* preview_ = nullptr;
  QWidget* pieChart_ = nullptr;
  QVBoxLayout* pieSlot_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* statusText_ = nullptr;
  QPushButton* next_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* newScan_ = nullptr;
  QAction* newScanAction_ = nullptr;
  bool resultSaved_ = false;
  bool keepLayout_ = true;
  QStringList openedImages_;
  QSplitter* mainSplitter_ = nullptr;   // tree | the rest
  QSplitter* rightSplitter_ = nullptr;  // facts or files above | preview below  // the images listed, as opened
  QFrame* accessPanel_ = nullptr;
  QLabel* accessText_ = nullptr;
  QPushButton* restart_ = nullptr;
  QAction* restartAction_ = nullptr;  // a Save of the result on show went through
  QLabel* logo_ = nullptr;
  QAction* quickAction_ = nullptr;
  QAction* extensiveAction_ = nullptr;
  QAction* deleteAction_ = nullptr;
  QAction* openImageAction_ = nullptr;
  QAction* saveAction_ = nullptr;
  QAction* saveResultsAction_ = nullptr;
  QAction* openResultsAction_ = nullptr;
  // What the results file the result on show was opened from says of its run.
  std::shared_ptr<RunResult> openedResult_;
  std::string openedMode_;
  int openedPartition_ = 0;
  // Search and filters above the file list.
  QWidget* filterBar_ = nullptr;
  QLineEdit* search_ = nullptr;
  QToolButton* filtersButton_ = nullptr;
  QWidget* filtersRow_ = nullptr;
  QComboBox* stateBox_ = nullptr;
  QComboBox* conditionBox_ = nullptr;
  QComboBox* categoryBox_ = nullptr;
  QLineEdit* minSize_ = nullptr;
  QLineEdit* maxSize_ = nullptr;
  QLineEdit* since_ = nullptr;
  QLineEdit* until_ = nullptr;
  QCheckBox* showSystem_ = nullptr;
  QPushButton* clearFilter_ = nullptr;
  QAction* showSystemAction_ = nullptr;
  std::shared_ptr<RunResult> filterResult_;  // the result filterIndex_ was made for
  std::unique_ptr<ui::FilterIndex> filterIndex_;
  bool filtering_ = false;
  std::vector<const CatalogueNode*> matches_;
  bool lastSaveWantedReport_ = false;
  // Last member: it goes first, so a preview in progress stops before the session goes.
  std::unique_ptr<WindowPreview> previewer_;
};

}  // namespace brevant::gui

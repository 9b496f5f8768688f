// The desktop window, driven through its real controls on the demo image (offscreen platform).
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QHeaderView>
#include <QIcon>
#include <QToolButton>
#include <QDesktopServices>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include "core/run_result.h"
#include "core/text.h"
#include "disk/disks.h"
#include "gui/brevant_dlg.h"
#include "gui/control_ids.h"
#include "gui/display_text.h"
#include "gui/explorer.h"
#include "gui/file_list_model.h"
#include "gui/folder_tree_ctrl.h"
#include "gui/pie_chart.h"
#include "gui/preview.h"
#include "platform/sector_device.h"
#include "test_support.h"

using namespace brevant;
using namespace brevant::gui;

namespace {

// Acts on the next modal dialog as soon as it is shown (the dialog's own event loop runs the
// check). `act` returns true once it has dealt with the dialog.
class ModalWatcher : public QObject {
 public:
  explicit ModalWatcher(std::function<bool(QWidget*)> act) : act_(std::move(act)) {
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal && modal->isVisible() && act_(modal)) {
        ++handled;
        if (once) timer_.stop();
      }
    });
    timer_.start(5);
  }
  int handled = 0;
  bool once = true;

 private:
  std::function<bool(QWidget*)> act_;
  QTimer timer_;
};

struct SeenBox {
  QString text;
  QString caption;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Answers message boxes with `button` and records them.
std::unique_ptr<ModalWatcher> AnswerBoxes(QList<SeenBox>* seen, QMessageBox::StandardButton button,
                                          bool once = false) {
  auto w = std::make_unique<ModalWatcher>([seen, button](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (!box) return false;
    if (seen) seen->append({box->text(), box->windowTitle(), box->icon()});
    QAbstractButton* b = box->button(button);
    if (!b) b = box->button(QMessageBox::Ok);
    b->click();
    return true;
  });
  w->once = once;
  return w;
}

// Chooses `path` (a folder or a file) in the next file dialog, as a user choosing it there would.
std::unique_ptr<ModalWatcher> PickFolder(const QString& path) {
  return std::make_unique<ModalWatcher>([path](QWidget* modal) {
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (!dialog) return false;
    if (QFileInfo(path).isDir()) dialog->setDirectory(path);
    dialog->selectFile(path);
    static_cast<QDialog*>(dialog)->accept();  // the dialog's "Choose"
    return true;
  });
}

QJsonObject Manifest() {
  QFile f(QStringLiteral(BREVANT_FIXTURES_DIR "/demo.manifest.json"));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QJsonDocument::fromJson(f.readAll()).object();
}

QJsonObject ManifestPartition(int number) {
  for (const auto& p : Manifest()[QStringLiteral("partitions")].toArray())
    if (p.toObject()[QStringLiteral("number")].toInt() == number) return p.toObject();
  return {};
}

template <typename T>
T* Control(QWidget* window, int id) {
  return window->findChild<T*>(ControlName(id));
}

QStringList ChildTexts(const QAbstractItemModel* model, const QModelIndex& parent) {
  QStringList out;
  for (int r = 0; r < model->rowCount(parent); ++r)
    out << model->index(r, 0, parent).data().toString();
  return out;
}

QModelIndex Find(const QAbstractItemModel* model, const QStringList& path) {
  QModelIndex at;
  for (const QString& name : path) {
    QModelIndex next;
    for (int r = 0; r < model->rowCount(at) && !next.isValid(); ++r)
      if (model->index(r, 0, at).data().toString() == name) next = model->index(r, 0, at);
    if (!next.isValid()) return {};
    at = next;
  }
  return at;
}

// The demo image's FAT32 and NTFS partitions, as test data.
void FatAndNtfsPartitions() {
  QTest::addColumn<int>("partition");
  QTest::newRow("FAT32") << 1;
  QTest::newRow("NTFS") << 3;
}

// Every folder and file below `root` by relative path: a file as its time and bytes.
QMap<QString, QByteArray> Listing(const QString& root) {
  QMap<QString, QByteArray> out;
  QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    const QString rel = QDir(root).relativeFilePath(path);
    if (it.fileInfo().isDir()) {
      out[rel] = "folder";
      continue;
    }
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    out[rel] =
        QByteArray::number(it.fileInfo().lastModified().toSecsSinceEpoch()) + " " + f.readAll();
  }
  return out;
}

QByteArray Sha256(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
}

// A disk whose large reads from a chosen sector on wait until the test opens the gate, so a
// test can act while a run is inside a given step.
class GateDevice : public platform::SectorDevice {
 public:
  GateDevice(std::shared_ptr<platform::SectorDevice> inner, std::uint64_t fromSector,
             std::size_t minBytes)
      : inner_(std::move(inner)), from_(fromSector * platform::kSectorSize), minBytes_(minBytes) {}
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (armed_.load() && offset >= from_ && length >= minBytes_) {
      std::unique_lock lock(mutex_);
      ++waiting_;
      opened_.wait(lock, [this] { return open_; });
    }
    return inner_->ReadAt(offset, buffer, length);
  }
  std::uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
  char Method() const override { return 'T'; }
  void Arm(std::uint64_t fromSector) {
    from_ = fromSector * platform::kSectorSize;
    armed_.store(true);
  }
  int Waiting() {
    std::lock_guard lock(mutex_);
    return waiting_;
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }

 private:
  std::shared_ptr<platform::SectorDevice> inner_;
  std::uint64_t from_;
  std::size_t minBytes_;
  std::atomic<bool> armed_{true};
  std::mutex mutex_;
  std::condition_variable opened_;
  int waiting_ = 0;
  bool open_ = false;
};

}  // namespace

// Stands in for the desktop's browser: records the addresses it is asked to open.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls << url; }
};

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::string image_;
  std::unique_ptr<CBrevantDlg> window_;

  // A window on the demo image, or on the image at `path`.
  CBrevantDlg* Open(const std::string& path = {}) {
    window_ = std::make_unique<CBrevantDlg>(WindowOptions{nullptr, {path.empty() ? image_ : path}});
    window_->show();
    if (!QTest::qWaitForWindowExposed(window_.get())) return nullptr;
    return window_.get();
  }
  CFolderTreeCtrl1* Tree() { return window_->Tree(); }

  // Clicks an item's row the way a user does (on its label).
  void ClickRow(const QModelIndex& index) {
    Tree()->scrollTo(index);
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, Tree()->visualRect(index).center());
  }
  void ClickCheckBox(const QModelIndex& index) {
    Tree()->scrollTo(index);
    const QRect box = Tree()->CheckBoxRect(index);
    QVERIFY(box.isValid());
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, box.center());
  }
  QModelIndex PartitionItem(int number) {
    RecoverySession& s = window_->Session();
    return Tree()->Model()->IndexOf(s.driveRecords.back().partitions[number - 1].treeItem);
  }

  // Checks the top folders `folders`, saves them into `to` and waits for the end of the Save.
  // Returns the messages shown (all answered with OK).
  QList<SeenBox> SaveChecked(const QStringList& folders, const QString& to) {
    for (const QString& f : folders) ClickCheckBox(Find(Tree()->Model(), {"My Computer", f}));
    auto pick = PickFolder(to);
    QList<SeenBox> seen;
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    QSignalSpy ended(window_.get(), &CBrevantDlg::SaveEnded);
    QTest::mouseClick(Control<QPushButton>(window_.get(), kIdSave), Qt::LeftButton);
    if (!ended.wait(60000)) seen.clear();
    if (pick->handled != 1) seen.clear();
    return seen;
  }

  // Selects partition `number`, Next, the chosen mode and "Recover"; waits for the run's end
  // and answers its messages. Returns the messages shown.
  QList<SeenBox> Run(int number, int mode = kIdOptionQuick) {
    QList<SeenBox> seen;
    ClickRow(PartitionItem(number));
    ModalWatcher options([mode](QWidget* modal) {
      if (modal->objectName() != QStringLiteral("COptionSection")) return false;
      if (mode) modal->findChild<QRadioButton*>(ControlName(mode))->setChecked(true);
      modal->findChild<QPushButton*>(ControlName(kIdOptionRecover))->click();
      return true;
    });
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    QSignalSpy ended(window_.get(), &CBrevantDlg::RunEnded);
    QTest::mouseClick(Control<QPushButton>(window_.get(), kIdNext), Qt::LeftButton);
    if (!ended.wait(60000)) qWarning("the run did not end");
    return seen;
  }

 private slots:
  void initTestCase() {
    image_ = test::FixtureImage("demo").string();
    QVERIFY(!image_.empty());
    // The window keeps its layout in the user's settings: here, a private folder of the test.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString((test::TempDir() / "settings").string()));
  }

  // Every test starts from the layout a first start has.
  void init() {
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Calverin"),
              QStringLiteral("Brevant"))
        .clear();
  }

  void cleanup() {
    if (window_) {
      // Closing asks; answer Yes so the window ends the way a user ends it.
      auto yes = AnswerBoxes(nullptr, QMessageBox::Yes, true);
      window_->OnExit();
      window_.reset();
    }
  }

  void ControlsTextsAndMenus() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    QCOMPARE(w->windowTitle(), QStringLiteral("Calverin Brevant"));
    QCOMPARE(Control<QGroupBox>(w, kIdGroup)->title(), QStringLiteral("Select Drive Information"));
    const struct {
      int id;
      const char* text;
      bool visible;
    } labels[] = {{kIdLabelModel, "HDD Model", true},
                  {kIdLabelCapacity, "Capacity", true},
                  {kIdLabelCylinders, "Cylinders", true},
                  {kIdLabelHead, "Head", false},
                  {kIdLabelSectors, "Sector Per Track", true},
                  {kIdLabelTotal, "Total Size:", false},
                  {kIdLabelFree, "Free Size:", false},
                  {kIdLabelFs, "File System:", false},
                  {kIdValue1, "Static", true},
                  {kIdValue5, "Static", true},
                  {kIdStatusPaneName, " Calverin For Brevant", true}};
    for (const auto& l : labels) {
      QLabel* label = Control<QLabel>(w, l.id);
      QVERIFY2(label, qPrintable(ControlName(l.id)));
      QCOMPARE(label->text(), QString::fromUtf8(l.text));
      QCOMPARE(label->isVisible(), l.visible);
    }
    QCOMPARE(Control<QPushButton>(w, kIdNext)->text(), QStringLiteral("Next"));
    QCOMPARE(Control<QPushButton>(w, kIdStop)->text(), QStringLiteral("Stop"));
    QVERIFY(!Control<QPushButton>(w, kIdStop)->isEnabled());
    QCOMPARE(Control<QPushButton>(w, kIdSave)->text(), QStringLiteral("Save"));
    QVERIFY(!Control<QTableView>(w, kIdFileList)->isVisible());
    QVERIFY(Control<QWidget>(w, kIdPreview)->isVisible());
    QVERIFY(Control<QWidget>(w, kIdPieChart) && !Control<QWidget>(w, kIdPieChart)->isVisible());
    QCOMPARE(Control<QProgressBar>(w, kIdProgress)->maximum(), 100);
    QVERIFY(Control<QLabel>(w, kIdLogo)->pixmap().width() > 0);
    auto* list = Control<QTableView>(w, kIdFileList);
    QStringList headers;
    for (int c = 0; c < list->model()->columnCount(); ++c)
      headers << list->model()->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(headers, (QStringList{"File Name", "Creation Time", "Type", "Size", "Condition",
                                   "Path"}));
    // The path shows only while a filter lists files of many folders.
    QVERIFY(list->isColumnHidden(FileListModel::kPath));

    QStringList menus;
    for (QAction* a : w->menuBar()->actions()) menus << a->text().remove(u'&');
    QCOMPARE(menus, (QStringList{"Recovery", "View", "Help"}));
    const struct {
      int id;
      const char* text;
      bool enabled;
    } items[] = {{kIdQuickRecovery, "Quick Recovery", true},
                 {kIdExtensiveRecovery, "Extensive Recovery", true},
                 {kIdDeleteFileRecovery, "Delete File Recovery", false},
                 {kIdOpenImage, "Open Disk Image...", true},
                 {kIdMenuSave, "Save", true},
                 {kIdSaveResults, "Save Scan Results...", false},
                 {kIdOpenResults, "Open Scan Results...", true},
                 {kIdExit, "Exit", true},
                 {kIdHelp, "Sofware Help", true},
                 {kIdAbout, "About Software", true}};
    for (const auto& i : items) {
      auto* a = w->findChild<QAction*>(ControlName(i.id));
      QVERIFY2(a, i.text);
      QCOMPARE(QString(a->text()).remove(u'&'), QString::fromUtf8(i.text));
      QCOMPARE(a->isEnabled(), i.enabled);
    }
  }

  void StartupTreeShowsDisksAndPartitions() {
    QVERIFY(Open());
    auto* model = Tree()->Model();
    QCOMPARE(ChildTexts(model, {}), QStringList{"My Computer"});
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer"})), QStringList{"demo.img"});
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer", "demo.img"})),
             (QStringList{"Partition - 1 ( FAT32 )", "Partition - 2 ( FAT16 )",
                          "Partition - 3 ( NTFS )"}));
    QVERIFY(Tree()->isExpanded(Find(model, {"My Computer", "demo.img"})));
    // No check boxes before a result.
    QVERIFY(!Find(model, {"My Computer"}).data(Qt::CheckStateRole).isValid());
  }

  void OpenDiskImageAddsADisk() {
    QVERIFY(Open());
    const QString second = QString::fromStdString(test::FixtureImage("whole_ntfs").string());
    auto pick = PickFolder(second);
    window_->findChild<QAction*>(ControlName(kIdOpenImage))->trigger();
    auto* model = Tree()->Model();
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer"})),
             (QStringList{"demo.img", "whole_ntfs.img"}));
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer", "whole_ntfs.img"})),
             QStringList{"Partition - 1 ( NTFS )"});
  }

  // A missing path, a folder and a file smaller than one sector are refused with a message
  // that names each and says why; nothing is listed for them, on the command line or through
  // "Open Disk Image...".
  void SourcesThatAreNoDiskImageAreRefused_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("why");
    const QString base = QString::fromStdString((test::TempDir() / "refused").string());
    QTest::newRow("missing") << base + QStringLiteral("/nothing.img")
                             << QStringLiteral("there is no such file");
    QTest::newRow("folder") << base << QStringLiteral("it is a folder, not a disk image file");
    QTest::newRow("small file") << base + QStringLiteral("/notes.txt")
                                << QStringLiteral(
                                       "it holds 11 bytes, less than one sector (512 bytes)");
  }
  void SourcesThatAreNoDiskImageAreRefused() {
    QFETCH(QString, path);
    QFETCH(QString, why);
    const QString base = QString::fromStdString((test::TempDir() / "refused").string());
    QVERIFY(QDir().mkpath(base));
    QFile notes(base + QStringLiteral("/notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("hello world");
    notes.close();
    const QString expected = path + QStringLiteral(" was not opened: ") + why + u'.';

    // On the command line, beside an image that is listed.
    QList<SeenBox> seen;
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    window_ = std::make_unique<CBrevantDlg>(WindowOptions{nullptr, {path.toStdString(), image_}});
    window_->show();
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 1, 10000);
    QCOMPARE(seen[0].text, expected);
    QCOMPARE(seen[0].icon, QMessageBox::Critical);
    auto* model = Tree()->Model();
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer"})), QStringList{"demo.img"});
    QCOMPARE(window_->Session().diskInfoList.size(), std::size_t{1});

    // Through "Open Disk Image..." (its chooser offers only files that exist).
    if (!QFileInfo(path).isFile()) return;
    auto pick = std::make_unique<ModalWatcher>([path](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      if (!dialog) return false;
      dialog->selectFile(path);
      static_cast<QDialog*>(dialog)->accept();
      return true;
    });
    window_->findChild<QAction*>(ControlName(kIdOpenImage))->trigger();
    QCOMPARE(pick->handled, 1);
    QTRY_COMPARE(seen.size(), 2);
    QCOMPARE(seen[1].text, expected);
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer"})), QStringList{"demo.img"});
    QCOMPARE(window_->Session().diskInfoList.size(), std::size_t{1});
  }

  // "New Scan" goes back to the disk list (after asking, while the files found are not saved),
  // and a second partition, then another image, are scanned in the same window.
  // An entry the partition table makes reach beyond the disk says so when it is selected; a
  // sound one says nothing.
  void PartitionBeyondTheDiskIsExplained() {
    CBrevantDlg* w = Open(test::FixtureImage("mbr_beyond_disk").string());
    QVERIFY(w);
    auto* status = Control<QLabel>(w, kIdStatusText);
    ClickRow(PartitionItem(1));
    QVERIFY2(
        status->text().startsWith(QStringLiteral("Note: the partition table says it ends at "
                                                 "sector 4294969343, beyond the end of the disk")),
        qPrintable(status->text()));
    QVERIFY(status->text().contains(QStringLiteral("where the next partition starts")));
    ClickRow(PartitionItem(2));
    QCOMPARE(status->text(), QString());
  }

  void NewScanScansAnotherPartitionAndAnotherImage() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    auto* newScan = w->findChild<QPushButton*>(QStringLiteral("NewScanButton"));
    QVERIFY(newScan && !newScan->isVisible());
    Run(1);
    QVERIFY(w->ShownResult());
    QVERIFY(newScan->isVisible() && newScan->isEnabled());
    // No keeps the result.
    QList<SeenBox> seen;
    {
      auto no = AnswerBoxes(&seen, QMessageBox::No, true);
      QTest::mouseClick(newScan, Qt::LeftButton);
    }
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text,
             QStringLiteral("The files found have not been saved. Drop them and scan again?"));
    QVERIFY(w->ShownResult());
    // Yes: the disk list is back, nothing selected; Ctrl+N is the same command.
    {
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      w->findChild<QAction*>(ControlName(kIdNewScan))->trigger();
    }
    QVERIFY(!w->ShownResult());
    auto* model = Tree()->Model();
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer", "demo.img"})),
             (QStringList{"Partition - 1 ( FAT32 )", "Partition - 2 ( FAT16 )",
                          "Partition - 3 ( NTFS )"}));
    QVERIFY(!Control<QTableView>(w, kIdFileList)->isVisible());
    QVERIFY(Control<QGroupBox>(w, kIdGroup)->isVisible());
    QVERIFY(!newScan->isVisible());
    QCOMPARE(w->Session().selectedFsName, std::string());

    // Another partition of the same disk.
    {
      const QList<SeenBox> boxes = Run(3);
      QCOMPARE(boxes.size(), 1);
      QCOMPARE(boxes[0].text, QStringLiteral("Scan Completed Successfully\r\n"));
    }
    QVERIFY(w->ShownResult());
    QCOMPARE(w->ShownResult()->fsName, std::string("NTFS"));

    // "Open Disk Image..." during a result: back to the list with the image added and selected.
    const QString second = QString::fromStdString(test::FixtureImage("whole_ntfs").string());
    {
      auto pick = PickFolder(second);
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      QVERIFY(w->findChild<QAction*>(ControlName(kIdOpenImage))->isEnabled());
      w->findChild<QAction*>(ControlName(kIdOpenImage))->trigger();
      QCOMPARE(pick->handled, 1);
    }
    QVERIFY(!w->ShownResult());
    QCOMPARE(ChildTexts(model, Find(model, {"My Computer"})),
             (QStringList{"demo.img", "whole_ntfs.img"}));
    QCOMPARE(Tree()->currentIndex(), Find(model, {"My Computer", "whole_ntfs.img"}));
    QCOMPARE(Run(1).size(), 1);
    QVERIFY(w->ShownResult());
    QCOMPARE(w->ShownResult()->devicePath, second.toStdString());

    // A result whose files were saved is left without asking.
    const QString to = QString::fromStdString((test::TempDir() / "save-then-new").string());
    QVERIFY(QDir().mkpath(to));
    QCOMPARE(SaveChecked({"Folder"}, to).size(), 1);
    const int asked = seen.size();
    {
      auto any = AnswerBoxes(&seen, QMessageBox::No, true);
      w->activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(w));
      QTest::keyClick(w, Qt::Key_N, Qt::ControlModifier);
    }
    QCOMPARE(seen.size(), asked);
    QVERIFY(!w->ShownResult());
  }

  // Menus and their items carry mnemonics, one letter each within a menu; the commands have
  // their shortcuts; every control has an accessible name and description.
  void MnemonicsShortcutsAndAccessibleNames() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    QList<QList<QAction*>> menus{w->menuBar()->actions()};
    for (QAction* m : w->menuBar()->actions()) menus << m->menu()->actions();
    for (const QList<QAction*>& actions : menus) {
      QSet<QChar> letters;
      for (QAction* a : actions) {
        if (a->isSeparator()) continue;
        const qsizetype at = a->text().indexOf(u'&');
        QVERIFY2(at >= 0 && at + 1 < a->text().size(), qPrintable(a->text()));
        const QChar letter = a->text().at(at + 1).toLower();
        QVERIFY2(!letters.contains(letter), qPrintable(a->text()));
        letters.insert(letter);
      }
    }
    const struct {
      int id;
      QKeySequence keys;
    } shortcuts[] = {{kIdOpenImage, QKeySequence(QStringLiteral("Ctrl+O"))},
                     {kIdMenuSave, QKeySequence(QStringLiteral("Ctrl+S"))},
                     {kIdNewScan, QKeySequence(QStringLiteral("Ctrl+N"))},
                     {kIdHelp, QKeySequence(QStringLiteral("F1"))}};
    for (const auto& c : shortcuts)
      QCOMPARE(w->findChild<QAction*>(ControlName(c.id))->shortcut(), c.keys);

    QStringList unnamed;
    for (QWidget* c : w->findChildren<QWidget*>()) {
      bool numbered = false;
      c->objectName().toInt(&numbered);
      if (!numbered && c->objectName() != QStringLiteral("NewScanButton")) continue;
      if (c->accessibleName().isEmpty() || c->accessibleDescription().isEmpty())
        unnamed << c->objectName();
    }
    QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(u',')));
    QVERIFY(w->findChildren<QWidget*>().size() > 20);
  }

  // The tree and the file list driven by the keyboard alone.
  void TreeAndListByKeyboard() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QVERIFY(Tree()->focusPolicy() & Qt::TabFocus);
    // Before a run: arrows select a partition, as a click does.
    auto* model = Tree()->Model();
    Tree()->setFocus(Qt::TabFocusReason);
    QVERIFY(Tree()->hasFocus());
    Tree()->setCurrentIndex(Find(model, {"My Computer", "demo.img"}));
    QTest::keyClick(Tree(), Qt::Key_Down);
    QCOMPARE(Tree()->currentIndex(), PartitionItem(1));
    QCOMPARE(w->Session().selectedFsName, std::string("FAT32"));

    Run(1);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    // The tree was locked during the run; the keyboard is back in it without a Tab.
    QTRY_VERIFY(Tree()->hasFocus());
    const QModelIndex top = Find(model, {"My Computer"});
    const QModelIndex docs = Find(model, {"My Computer", "Docs"});
    Tree()->setCurrentIndex(top);
    QTest::keyClick(Tree(), Qt::Key_Down);
    QCOMPARE(Tree()->currentIndex(), Find(model, {"My Computer", "Docs"}));
    QVERIFY(w->Files()->rowCount() > 0);  // the folder's files are listed
    QTest::keyClick(Tree(), Qt::Key_Right);
    QVERIFY(Tree()->isExpanded(docs));
    QTest::keyClick(Tree(), Qt::Key_Left);
    QVERIFY(!Tree()->isExpanded(docs));
    QTest::keyClick(Tree(), Qt::Key_Space);
    QCOMPARE(docs.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    QTest::keyClick(Tree(), Qt::Key_Space);
    QCOMPARE(docs.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));

    // Enter, then Space, on a file row previews it.
    auto* list = Control<QTableView>(w, kIdFileList);
    list->setFocus();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
      int letter = -1, draft = -1;
      for (int r = 0; r < w->Files()->rowCount(); ++r) {
        const QString name = w->Files()->index(r, 0).data().toString();
        if (name == QStringLiteral("letter.txt")) letter = r;
        if (name == QStringLiteral("old draft.txt")) draft = r;
      }
      QVERIFY(letter >= 0 && draft >= 0);
      const int row = key == Qt::Key_Return ? letter : draft;
      list->setCurrentIndex(w->Files()->index(row, 0));
      QTest::keyClick(list, key);
      const QString name =
          key == Qt::Key_Return ? QStringLiteral("letter") : QStringLiteral("old draft");
      QTRY_VERIFY_WITH_TIMEOUT(w->Previewer()->Pane()->CurrentPath().contains(name), 30000);
    }

    // Ctrl+S saves (nothing checked or selected here: it says what to do).
    list->clearSelection();
    QList<SeenBox> seen;
    {
      auto ok = AnswerBoxes(&seen, QMessageBox::Ok, true);
      QTest::keyClick(w, Qt::Key_S, Qt::ControlModifier);
    }
    QCOMPARE(seen.size(), 1);
    QCOMPARE(
        seen[0].text,
        QStringLiteral("Check folders in the tree, or select files in the list, to save them."));
    // Ctrl+O opens the chooser of images.
    ModalWatcher chooser([](QWidget* modal) {
      if (modal->objectName() != QStringLiteral("OpenImageDialog")) return false;
      static_cast<QDialog*>(modal)->reject();
      return true;
    });
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QTest::keyClick(w, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(chooser.handled, 1);

    // Ctrl+N back to the disk list: the keyboard goes on there, arrows pick a partition.
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    list->setFocus();
    {
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      QTest::keyClick(w, Qt::Key_N, Qt::ControlModifier);
    }
    QVERIFY(!w->ShownResult());
    w->activateWindow();  // the question took the window's activation with it
    QVERIFY(QTest::qWaitForWindowActive(w));
    QTRY_VERIFY(Tree()->hasFocus());
    Tree()->setCurrentIndex(Find(model, {"My Computer", "demo.img"}));
    QTest::keyClick(Tree(), Qt::Key_Down);
    QCOMPARE(w->Session().selectedFsName, std::string("FAT32"));
  }

  // A window over the demo image read through a device whose reads of the NTFS partition's
  // MFT wait at a gate: a run started there stays in progress until the gate opens.
  std::pair<CBrevantDlg*, std::shared_ptr<GateDevice>> OpenGated(const char* name) {
    const std::string path = (test::TempDir() / name).string();
    std::filesystem::create_symlink(image_, path);
    auto gate =
        std::make_shared<GateDevice>(platform::OpenPosixDevice(image_, nullptr), 120832, 64 * 1024);
    platform::DeviceTable::Instance().Install(path, gate);
    return {Open(path), gate};
  }

  // Selects the NTFS partition, Next, "Recover"; true once the run waits at the gate.
  bool StartGatedRun(CBrevantDlg* w, GateDevice& gate) {
    ClickRow(PartitionItem(3));
    ModalWatcher options([](QWidget* modal) {
      if (modal->objectName() != QStringLiteral("COptionSection")) return false;
      modal->findChild<QPushButton*>(ControlName(kIdOptionRecover))->click();
      return true;
    });
    QTest::mouseClick(Control<QPushButton>(w, kIdNext), Qt::LeftButton);
    return QTest::qWaitFor([&gate] { return gate.Waiting() > 0; }, 30000);
  }

  // Esc during a run asks the Stop question; Esc with nothing running asks nothing.
  void EscapeAsksTheStopQuestionDuringARun() {
    auto [w, gate] = OpenGated("gated-esc-demo.img");
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QList<SeenBox> seen;
    QTest::keyClick(w, Qt::Key_Escape);
    QCOMPARE(seen.size(), 0);
    QSignalSpy ended(w, &CBrevantDlg::RunEnded);
    QVERIFY(StartGatedRun(w, *gate));
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    {
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      QTest::keyClick(w, Qt::Key_Escape);
    }
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text, QStringLiteral("Do you want to stop recovery process ?       "));
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    gate->Open();
    QVERIFY(ended.wait(30000));
    QCOMPARE(ended.at(0).at(0).value<RunOutcome>(), RunOutcome::Stopped);
  }

  // A disk that cannot be read is marked with its reason at once, in the tree and in the
  // panel; "Restart as Administrator" goes through pkexec with the images opened, and where
  // pkexec is missing says the exact command to run.
  void UnreadableDiskIsMarkedAndRestartGoesThroughPkexec() {
    // A world-readable folder with an image nobody may read; as root, the window is made under
    // an ordinary user's id so that the real open call is refused.
    const QString dir = QDir::tempPath() + QStringLiteral("/brevant-unreadable-") +
                        QString::number(QCoreApplication::applicationPid());
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(::chmod(dir.toLocal8Bit().constData(), 0755) == 0);
    const QString locked = dir + QStringLiteral("/locked.img");
    QVERIFY(QFile::copy(QString::fromStdString(image_), locked));
    QVERIFY(::chmod(locked.toLocal8Bit().constData(), 0) == 0);
    const QString open = dir + QStringLiteral("/demo.img");
    QVERIFY(QFile::copy(QString::fromStdString(image_), open));
    QVERIFY(::chmod(open.toLocal8Bit().constData(), 0644) == 0);
    const bool root = ::geteuid() == 0;
    if (root) QVERIFY(::seteuid(65534) == 0);
    window_ = std::make_unique<CBrevantDlg>(
        WindowOptions{nullptr, {locked.toStdString(), open.toStdString()}});
    if (root) QVERIFY(::seteuid(0) == 0);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    CBrevantDlg* w = window_.get();

    const QString reason = QStringLiteral(
        "Permission denied: start Brevant with administrator rights, or open a disk image");
    auto* model = Tree()->Model();
    const QModelIndex disk = Find(model, {"My Computer", "locked.img"});
    QVERIFY(disk.isValid());
    QCOMPARE(disk.data(Qt::ToolTipRole).toString(), reason);
    QVERIFY(!disk.data(Qt::DecorationRole).value<QIcon>().isNull());
    const QModelIndex readable = Find(model, {"My Computer", "demo.img"});
    QVERIFY(!readable.data(Qt::ToolTipRole).isValid());
    auto* panel = w->findChild<QWidget*>(QStringLiteral("UnreadablePanel"));
    QVERIFY(panel && panel->isVisible());
    QCOMPARE(w->findChild<QLabel*>(QStringLiteral("UnreadableText"))->text(),
             QStringLiteral("locked.img: ") + reason);
    auto* restart = w->findChild<QPushButton*>(QStringLiteral("RestartAsAdministratorButton"));
    QVERIFY(restart && restart->isVisible());
    QVERIFY(w->findChild<QAction*>(ControlName(kIdRestartAsAdministrator)));

    const QByteArray path = qgetenv("PATH");
    const QString bin = dir + QStringLiteral("/bin");
    QVERIFY(QDir().mkpath(bin));
    const QString program = QCoreApplication::applicationFilePath();
    // Without pkexec: the command to run.
    qputenv("PATH", bin.toLocal8Bit());
    QList<SeenBox> seen;
    {
      auto ok = AnswerBoxes(&seen, QMessageBox::Ok, true);
      w->findChild<QAction*>(ControlName(kIdRestartAsAdministrator))->trigger();
    }
    QCOMPARE(seen.size(), 1);
    QVERIFY2(
        seen[0].text.endsWith(
            QStringLiteral("sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,"
                           "XDG_RUNTIME_DIR ") +
            program + QStringLiteral(" --image ") + locked + QStringLiteral(" --image ") + open),
        qPrintable(seen[0].text));
    // With pkexec: it is run with the program and the images, and this window ends.
    const QString args = dir + QStringLiteral("/pkexec-args");
    QFile fake(bin + QStringLiteral("/pkexec"));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args.toLocal8Bit() + "'\n");
    fake.close();
    QVERIFY(::chmod(fake.fileName().toLocal8Bit().constData(), 0755) == 0);
    QSignalSpy exited(w, &CBrevantDlg::Exited);
    QTest::mouseClick(restart, Qt::LeftButton);
    qputenv("PATH", path);
    QCOMPARE(exited.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(args).size() > 0, 10000);
    const auto written = [&args] {
      QFile f(args);
      return f.open(QIODevice::ReadOnly)
                 ? QString::fromLocal8Bit(f.readAll()).split(u'\n', Qt::SkipEmptyParts)
                 : QStringList();
    };
    QTRY_COMPARE(written(), (QStringList{program, "--image", locked, "--image", open}));
    window_.reset();
    QDir(dir).removeRecursively();
  }

  // Tree, file list and preview are split by lines the person moves; the window's size, the
  // lines and the list's columns come back at the next start. The buttons stay put when the
  // chart appears, and long names are shown whole in tooltips.
  void LayoutSplittersAndTooltips() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    auto* mainSplitter = w->findChild<QSplitter*>(QStringLiteral("MainSplitter"));
    auto* rightSplitter = w->findChild<QSplitter*>(QStringLiteral("RightSplitter"));
    QVERIFY(mainSplitter && rightSplitter);
    QCOMPARE(mainSplitter->widget(0), static_cast<QWidget*>(Tree()));
    QCOMPARE(rightSplitter->orientation(), Qt::Vertical);
    QVERIFY(rightSplitter->widget(0)->isAncestorOf(Control<QTableView>(w, kIdFileList)));
    QVERIFY(rightSplitter->widget(1)->isAncestorOf(Control<QWidget>(w, kIdPreview)));

    // The buttons keep their place when the chart shows.
    auto* next = Control<QPushButton>(w, kIdNext);
    const QPoint before = next->mapTo(w, QPoint());
    w->Previewer()->ShowFileShares(3, 4096, 1, 100);
    QTRY_VERIFY(w->Previewer()->Chart()->isVisible());
    QCOMPARE(next->mapTo(w, QPoint()), before);

    // A found folder's and a file's whole name in their tooltips.
    Run(1);
    const QModelIndex docs = Find(Tree()->Model(), {"My Computer", "Docs"});
    QCOMPARE(docs.data(Qt::ToolTipRole).toString(), QStringLiteral("Docs"));
    ClickRow(docs);
    QVERIFY(w->Files()->rowCount() > 0);
    QCOMPARE(w->Files()
                 ->index(0, FileListModel::kName)
                 .data(Qt::ToolTipRole)
                 .toString()
                 .section(u'\n', 0, 0),
             w->Files()->index(0, FileListModel::kName).data().toString());

    // Moved lines, a wider column and a new size come back at the next start.
    w->resize(1000, 700);
    mainSplitter->setSizes({200, 780});
    rightSplitter->setSizes({260, 290});
    auto* list = Control<QTableView>(w, kIdFileList);
    list->setColumnWidth(FileListModel::kName, 333);
    const QList<int> mainSizes = mainSplitter->sizes(), rightSizes = rightSplitter->sizes();
    const QSize size = w->size();
    {
      auto yes = AnswerBoxes(nullptr, QMessageBox::Yes, true);
      w->OnExit();
    }
    window_.reset();
    CBrevantDlg* again = Open();
    QVERIFY(again);
    QCOMPARE(again->size(), size);
    QCOMPARE(again->findChild<QSplitter*>(QStringLiteral("MainSplitter"))->sizes(), mainSizes);
    QCOMPARE(again->findChild<QSplitter*>(QStringLiteral("RightSplitter"))->sizes(), rightSizes);
    QCOMPARE(Control<QTableView>(again, kIdFileList)->columnWidth(FileListModel::kName), 333);
  }

  void SelectingDiskAndPartitionFillsPanel() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    auto* model = Tree()->Model();
    ClickRow(Find(model, {"My Computer", "demo.img"}));
    QCOMPARE(Control<QLabel>(w, kIdValue1)->text(), QStringLiteral("Disk Image"));
    QCOMPARE(Control<QLabel>(w, kIdValue2)->text(), QStringLiteral("78643200"));
    QCOMPARE(Control<QLabel>(w, kIdValue4)->text(), QStringLiteral("255"));
    QCOMPARE(Control<QLabel>(w, kIdValue5)->text(), QStringLiteral("63"));
    QVERIFY(Control<QLabel>(w, kIdLabelHead)->isVisible());
    QVERIFY(Control<QLabel>(w, kIdLabelSectors)->isVisible());
    QVERIFY(!Control<QLabel>(w, kIdLabelTotal)->isVisible());

    ClickRow(PartitionItem(3));
    QCOMPARE(Control<QGroupBox>(w, kIdGroup)->title(), QStringLiteral("Logical Drive Name"));
    QVERIFY(Control<QLabel>(w, kIdLabelTotal)->isVisible());
    QVERIFY(Control<QLabel>(w, kIdLabelFree)->isVisible());
    QVERIFY(Control<QLabel>(w, kIdLabelFs)->isVisible());
    QVERIFY(!Control<QLabel>(w, kIdLabelModel)->isVisible());
    QVERIFY(!Control<QLabel>(w, kIdValue4)->isVisible());
    QVERIFY(!Control<QLabel>(w, kIdValue5)->isVisible());
    QCOMPARE(Control<QLabel>(w, kIdValue1)->text(), QStringLiteral("16.0 MB"));  // 32768 sectors
    QVERIFY(Control<QLabel>(w, kIdValue3)->text().startsWith(QStringLiteral("NTFS")));
    QVERIFY(Control<QLabel>(w, kIdValue3)->text().contains(QStringLiteral("120832")));
    QCOMPARE(w->Session().selectedFsName, std::string("NTFS"));
    QCOMPARE(w->Session().selectedPartitionStart, 120832u);
    QCOMPARE(w->Session().selectedPartitionEnd, 153600u);
  }

  void RecoveryModeClosedWithoutRecoverStartsNothing() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    ClickRow(PartitionItem(1));
    ModalWatcher close([](QWidget* modal) {
      if (modal->objectName() != QStringLiteral("COptionSection")) return false;
      if (modal->windowTitle() != QStringLiteral("Recovery Mode")) return false;
      auto* deleted = modal->findChild<QRadioButton*>(ControlName(kIdOptionDelete));
      if (!deleted || deleted->isEnabled() ||
          deleted->text() != QStringLiteral("Delete File Recovery"))
        return false;
      for (int id : {kIdOptionQuick, kIdOptionExtensive})
        if (modal->findChild<QRadioButton*>(ControlName(id))->isChecked()) return false;
      static_cast<QDialog*>(modal)->reject();
      return true;
    });
    QTest::mouseClick(Control<QPushButton>(w, kIdNext), Qt::LeftButton);
    QCOMPARE(close.handled, 1);
    QVERIFY(!w->RunInProgress());
    QCOMPARE(w->Session().recoverConfirmed.load(), 0);
    QVERIFY(Control<QGroupBox>(w, kIdGroup)->isVisible());
    QVERIFY(!Control<QPushButton>(w, kIdStop)->isEnabled());
  }

  // The Recovery menu's mode items open the dialog with their own mode chosen, and "Recover"
  // as it opens runs that mode; Next leaves the choice open.
  void ModeMenuItemsChooseTheirMode_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("checked");
    QTest::addColumn<int>("mode");
    QTest::newRow("Extensive Recovery") << kIdExtensiveRecovery << kIdOptionExtensive << 2;
    QTest::newRow("Quick Recovery") << kIdQuickRecovery << kIdOptionQuick << 1;
    QTest::newRow("Next") << kIdNext << 0 << 1;
  }
  void ModeMenuItemsChooseTheirMode() {
    QFETCH(int, command);
    QFETCH(int, checked);
    QFETCH(int, mode);
    CBrevantDlg* w = Open();
    QVERIFY(w);
    ClickRow(PartitionItem(2));
    QList<int> seenChecked;
    ModalWatcher options([&seenChecked](QWidget* modal) {
      if (modal->objectName() != QStringLiteral("COptionSection")) return false;
      for (int id : {kIdOptionQuick, kIdOptionExtensive, kIdOptionDelete})
        if (modal->findChild<QRadioButton*>(ControlName(id))->isChecked()) seenChecked << id;
      modal->findChild<QPushButton*>(ControlName(kIdOptionRecover))->click();
      return true;
    });
    auto boxes = AnswerBoxes(nullptr, QMessageBox::Ok);
    QSignalSpy ended(w, &CBrevantDlg::RunEnded);
    if (command == kIdNext)
      QTest::mouseClick(Control<QPushButton>(w, kIdNext), Qt::LeftButton);
    else
      w->findChild<QAction*>(ControlName(command))->trigger();
    QVERIFY(ended.wait(60000));
    QCOMPARE(seenChecked, checked ? QList<int>{checked} : QList<int>{});
    QCOMPARE(int(w->Session().recoveryMode.load()), mode);
  }

  void RunCompletesAndListsFolders_data() {
    QTest::addColumn<int>("partition");
    QTest::addColumn<int>("mode");
    QTest::newRow("FAT32 quick") << 1 << kIdOptionQuick;
    QTest::newRow("FAT16 no choice") << 2 << 0;
    QTest::newRow("NTFS extensive") << 3 << kIdOptionExtensive;
  }
  void RunCompletesAndListsFolders() {
    QFETCH(int, partition);
    QFETCH(int, mode);
    CBrevantDlg* w = Open();
    QVERIFY(w);
    const QList<SeenBox> seen = Run(partition, mode);
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text, QStringLiteral("Scan Completed Successfully\r\n"));
    QCOMPARE(seen[0].caption, QStringLiteral("Calverin Brevant"));
    QCOMPARE(Control<QLabel>(w, kIdStatusText)->text(), QStringLiteral("Scan Completed..."));
    QVERIFY(!Control<QPushButton>(w, kIdStop)->isEnabled());
    QVERIFY(Control<QPushButton>(w, kIdNext)->isEnabled());
    QVERIFY(Control<QTableView>(w, kIdFileList)->isVisible());
    QVERIFY(!Control<QGroupBox>(w, kIdGroup)->isVisible());

    // The disk tree is replaced by the found folders, in the volume's order, with boxes.
    auto* model = Tree()->Model();
    const QModelIndex top = Find(model, {"My Computer"});
    QCOMPARE(model->rowCount({}), 1);
    QCOMPARE(top.data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
    QStringList expectedTop;
    for (const auto& f : ManifestPartition(partition)[QStringLiteral("folders")].toArray()) {
      const QString path = f.toObject()[QStringLiteral("path")].toString();
      if (path.count(QLatin1Char('/')) == 1) expectedTop << path.mid(1);
    }
    QStringList shownTop = ChildTexts(model, top);
    shownTop.removeAll(QString::fromStdU16String(std::u16string(ui::kLostFolderName)));
    shownTop.removeIf([](const QString& s) { return s.startsWith(QLatin1Char('$')); });
    QCOMPARE(QSet<QString>(shownTop.begin(), shownTop.end()),
             QSet<QString>(expectedTop.begin(), expectedTop.end()));

    // A folder lists its files, deleted ones marked, times readable.
    ClickRow(Find(model, {"My Computer", "Docs"}));
    FileListModel* files = w->Files();
    QStringList names;
    for (int r = 0; r < files->rowCount(); ++r) {
      names << files->index(r, FileListModel::kName).data().toString();
      const bool deleted = files->NodeAt(r)->IsDeleted();
      // The tooltip holds the whole name, and says when the file is deleted.
      const QString tip = files->index(r, FileListModel::kName).data(Qt::ToolTipRole).toString();
      QVERIFY(tip.startsWith(files->index(r, FileListModel::kName).data().toString()));
      QCOMPARE(tip.endsWith(QStringLiteral("\nDeleted file")), deleted);
      QCOMPARE(files->index(r, FileListModel::kType).data(Qt::ToolTipRole).toString() ==
                   QStringLiteral("Deleted file"),
               deleted);
      QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"))
                  .match(files->index(r, FileListModel::kCreationTime).data().toString())
                  .hasMatch());
    }
    names.sort();
    QCOMPARE(names, (QStringList{"letter.txt", "old draft.txt"}));
    // The top item lists the root directory's files.
    ClickRow(top);
    QStringList rootNames;
    for (int r = 0; r < files->rowCount(); ++r) rootNames << files->index(r, 0).data().toString();
    QVERIFY(rootNames.contains(QStringLiteral("README")));
    QVERIFY(rootNames.contains(QStringLiteral("main.c")));
  }

  // A new run empties the preview pane: nothing of the last result stays on show.
  void ANewRunClearsThePreview() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(1);
    ClickRow(Find(Tree()->Model(), {"My Computer", "Docs"}));
    QVERIFY(w->Previewer()->PreviewRowNamed(QStringLiteral("letter.txt")));
    CExplorer1* pane = w->Previewer()->Pane();
    QTRY_COMPARE_WITH_TIMEOUT(pane->CurrentView(), CExplorer1::View::Text, 30000);
    QVERIFY(!pane->CurrentPath().isEmpty());

    ModalWatcher options([](QWidget* modal) {
      if (modal->objectName() != QStringLiteral("COptionSection")) return false;
      modal->findChild<QPushButton*>(ControlName(kIdOptionRecover))->click();
      return true;
    });
    auto boxes = AnswerBoxes(nullptr, QMessageBox::Ok);
    QSignalSpy ended(w, &CBrevantDlg::RunEnded);
    QTest::mouseClick(Control<QPushButton>(w, kIdNext), Qt::LeftButton);
    QCOMPARE(pane->CurrentView(), CExplorer1::View::Empty);
    QVERIFY(pane->CurrentPath().isEmpty());
    QVERIFY(pane->HeaderText().isEmpty());
    QVERIFY(ended.wait(60000));
    QCOMPARE(pane->CurrentView(), CExplorer1::View::Empty);
  }

  // A result with no deleted file: the chart is one whole disc in the live colour, with one
  // legend row.
  void AllLiveFilesFillThePieInTheLiveColour() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    w->Previewer()->ShowFileShares(3, 4096, 0, 0);
    CPieChartCtrl* chart = w->Previewer()->Chart();
    QTRY_VERIFY(chart->isVisible());
    const QImage image = chart->grab().toImage();
    const ui::PieRect pie = chart->PieBounds();
    const QColor live = chart->Pieces()[0]->brush.color();
    const int r = pie.Height() / 2;
    for (const QPoint offset :
         {QPoint(0, -r * 4 / 5), QPoint(r * 4 / 5, 0), QPoint(0, r * 4 / 5), QPoint(-r * 4 / 5, 0)})
      QCOMPARE(
          image.pixelColor(QPoint((pie.left + pie.right) / 2, (pie.top + pie.bottom) / 2) + offset),
          live);
    QCOMPARE(chart->LegendLayout().size(), std::size_t{1});
  }

  void CheckBoxRulesOnARealResult() {
    QVERIFY(Open());
    Run(1);
    auto* model = Tree()->Model();
    const QModelIndex top = Find(model, {"My Computer"});
    const QModelIndex docs = Find(model, {"My Computer", "Docs"});
    const QModelIndex projects = Find(model, {"My Computer", "Docs", "Projects"});
    const QModelIndex q4 = Find(model, {"My Computer", "Docs", "Projects", "2024", "Q4"});
    QVERIFY(q4.isValid());
    auto state = [](const QModelIndex& i) { return i.data(Qt::CheckStateRole).toInt(); };
    const QModelIndex current = Tree()->currentIndex();
    const bool docsExpanded = Tree()->isExpanded(docs);

    // Checking a folder checks its whole subtree; the parent stays unchecked while a sibling is.
    ClickCheckBox(docs);
    QCOMPARE(state(docs), int(Qt::Checked));
    QCOMPARE(state(projects), int(Qt::Checked));
    QCOMPARE(state(q4), int(Qt::Checked));
    QCOMPARE(state(top), int(Qt::Unchecked));
    // A box click neither selects nor expands.
    QCOMPARE(Tree()->currentIndex(), current);
    QCOMPARE(Tree()->isExpanded(docs), docsExpanded);

    // Unchecking one item unchecks its subtree and every ancestor.
    Tree()->expand(projects);
    ClickCheckBox(projects);
    QCOMPARE(state(projects), int(Qt::Unchecked));
    QCOMPARE(state(q4), int(Qt::Unchecked));
    QCOMPARE(state(docs), int(Qt::Unchecked));
    QCOMPARE(state(Find(model, {"My Computer", "Docs", "Projects", "2024"})), int(Qt::Unchecked));

    // Checking every top-level folder checks the top item.
    for (int r = 0; r < model->rowCount(top); ++r) {
      const QModelIndex child = model->index(r, 0, top);
      if (state(child) == Qt::Unchecked) ClickCheckBox(child);
    }
    QCOMPARE(state(top), int(Qt::Checked));
    // A checked item's box unchecks the whole subtree, whatever it held.
    ClickCheckBox(top);
    QCOMPARE(state(top), int(Qt::Unchecked));
    QCOMPARE(state(q4), int(Qt::Unchecked));
  }

  void ClickRules() {
    QVERIFY(Open());
    Run(1);
    auto* model = Tree()->Model();
    const QModelIndex docs = Find(model, {"My Computer", "Docs"});
    const QModelIndex frag = Find(model, {"My Computer", "Frag"});
    // A row click selects and toggles expansion; clicking it again collapses it.
    QVERIFY(!Tree()->isExpanded(docs));
    ClickRow(docs);
    QCOMPARE(Tree()->currentIndex(), docs);
    QVERIFY(Tree()->isExpanded(docs));
    ClickRow(docs);
    QCOMPARE(Tree()->currentIndex(), docs);
    QVERIFY(!Tree()->isExpanded(docs));
    // The expand button toggles without selecting.
    const QRect button = Tree()->ExpandButtonRect(frag);
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, button.center());
    QVERIFY(Tree()->isExpanded(frag));
    QCOMPARE(Tree()->currentIndex(), docs);
    // Single expand: opening a folder by its row closes its open sibling.
    ClickRow(docs);
    QVERIFY(Tree()->isExpanded(docs));
    QVERIFY(!Tree()->isExpanded(frag));
    // Empty space below the last item does nothing.
    const QModelIndex selected = Tree()->currentIndex();
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {},
                      QPoint(10, Tree()->viewport()->height() - 2));
    QCOMPARE(Tree()->currentIndex(), selected);
    // Siblings keep the volume's order, not sorted.
    QStringList docsChildren = ChildTexts(model, docs);
    QCOMPARE(docsChildren, QStringList{"Projects"});
  }

 private:
  // Every folder of the tree, with the rows its list shows, as the window shows them.
  QStringList TreeAndLists() {
    QStringList out;
    auto* model = Tree()->Model();
    std::vector<std::pair<QModelIndex, QString>> stack{{Find(model, {"My Computer"}), "/"}};
    while (!stack.empty()) {
      auto [index, path] = stack.back();
      stack.pop_back();
      ClickRow(index);
      out << path;
      FileListModel* files = window_->Files();
      for (int r = 0; r < files->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < files->columnCount(); ++c) row << files->index(r, c).data().toString();
        out << QStringLiteral("  ") + row.join(QStringLiteral(" | "));
      }
      for (int r = model->rowCount(index) - 1; r >= 0; --r) {
        const QModelIndex child = model->index(r, 0, index);
        stack.push_back({child, path + child.data().toString() + QStringLiteral("/")});
      }
    }
    return out;
  }

  // Keeps the result on show through the menu, into `file`.
  void SaveResultsThroughTheMenu(const QString& file) {
    auto pick = PickFolder(file);
    window_->findChild<QAction*>(ControlName(kIdSaveResults))->trigger();
    QCOMPARE(pick->handled, 1);
    QVERIFY2(QFile::exists(file), qPrintable(file));
  }

  // Opens `file` through the menu; the messages shown are answered with OK and returned.
  QList<SeenBox> OpenResultsThroughTheMenu(const QString& file) {
    QList<SeenBox> seen;
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    auto pick = PickFolder(file);
    window_->findChild<QAction*>(ControlName(kIdOpenResults))->trigger();
    if (pick->handled != 1) seen.append({QStringLiteral("no file dialog"), {}, {}});
    return seen;
  }

  void FreshWindow(const std::string& image = {}) {
    auto yes = AnswerBoxes(nullptr, QMessageBox::Yes, true);
    window_->OnExit();
    window_.reset();
    QVERIFY(Open(image));
  }

 private slots:
  // A result kept in a file and opened in a fresh window shows its tree and lists as after the
  // run; preview and Save read the source.
  void SavedResultsOpenInAFreshWindow_data() { FatAndNtfsPartitions(); }
  void SavedResultsOpenInAFreshWindow() {
    QFETCH(int, partition);
    QVERIFY(Open());
    Run(partition);
    const QStringList shown = TreeAndLists();
    QVERIFY(shown.size() > 20);
    const QString file = QString::fromStdString(
        (test::TempDir() / ("window-" + std::to_string(partition) + ".brevant-results")).string());
    QFile::remove(file);
    SaveResultsThroughTheMenu(file);

    FreshWindow();
    CBrevantDlg* w = window_.get();
    const QList<SeenBox> seen = OpenResultsThroughTheMenu(file);
    QVERIFY2(seen.isEmpty(), seen.isEmpty() ? "" : qPrintable(seen[0].text));
    QVERIFY(w->ShownResult());
    QVERIFY(Control<QTableView>(w, kIdFileList)->isVisible());
    QCOMPARE(TreeAndLists(), shown);

    // Preview reads the file from the source.
    ClickRow(Find(Tree()->Model(), {"My Computer", "Docs"}));
    QVERIFY(w->Previewer()->PreviewRowNamed(QStringLiteral("letter.txt")));
    CExplorer1* pane = w->Previewer()->Pane();
    QTRY_COMPARE_WITH_TIMEOUT(pane->CurrentView(), CExplorer1::View::Text, 30000);
    QCOMPARE(Sha256(pane->CurrentPath()),
             [&] {
               for (const auto& v : ManifestPartition(partition)[QStringLiteral("files")].toArray())
                 if (v.toObject()[QStringLiteral("path")].toString() == QStringLiteral("/Docs/letter.txt"))
                   return v.toObject()[QStringLiteral("sha256")].toString().toLatin1();
               return QByteArray();
             }());

    // Save writes what the manifest holds.
    const QString to = QString::fromStdString(
        (test::TempDir() / ("opened-save-" + std::to_string(partition))).string());
    QDir().mkpath(to);
    const QList<SeenBox> saved = SaveChecked({"Many"}, to);
    QCOMPARE(saved.size(), 1);
    int compared = 0;
    for (const auto& v : ManifestPartition(partition)[QStringLiteral("files")].toArray()) {
      const QJsonObject f = v.toObject();
      const QString path = f[QStringLiteral("path")].toString();
      if (!path.startsWith(QStringLiteral("/Many/")) || f[QStringLiteral("deleted")].toBool())
        continue;
      QCOMPARE(Sha256(to + path), f[QStringLiteral("sha256")].toString().toLatin1());
      ++compared;
    }
    QCOMPARE(compared, 120);
  }

  // A source that is not the one scanned is named with the reason, and nothing is shown.
  void SavedResultsOfAChangedSourceAreRefused() {
    const std::string copy = (test::TempDir() / "changed-demo.img").string();
    std::filesystem::copy_file(image_, copy, std::filesystem::copy_options::overwrite_existing);
    QVERIFY(Open(copy));
    Run(1);
    const std::uint64_t start = window_->ShownResult()->partitionStart;
    const QString file =
        QString::fromStdString((test::TempDir() / "changed.brevant-results").string());
    QFile::remove(file);
    SaveResultsThroughTheMenu(file);
    {
      std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
      f.seekp(static_cast<std::streamoff>(start * 512 + 3));
      f.put('X');
    }
    FreshWindow(copy);
    const QList<SeenBox> seen = OpenResultsThroughTheMenu(file);
    QCOMPARE(seen.size(), 1);
    QVERIFY2(seen[0].text.contains(QString::fromStdString(copy)), qPrintable(seen[0].text));
    QVERIFY2(seen[0].text.contains(QStringLiteral("boot sector differs")), qPrintable(seen[0].text));
    QCOMPARE(seen[0].icon, QMessageBox::Critical);
    QVERIFY(!window_->ShownResult());
  }

  void SaveCheckedFoldersWritesIdenticalFiles_data() { FatAndNtfsPartitions(); }
  void SaveCheckedFoldersWritesIdenticalFiles() {
    QFETCH(int, partition);
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(partition);
    const QString to =
        QString::fromStdString((test::TempDir() / ("save-" + std::to_string(partition))).string());
    QDir().mkpath(to);
    // Answered, and the folder was asked for once.
    const QList<SeenBox> seen = SaveChecked({"Docs", "Many"}, to);
    QCOMPARE(seen.size(), 1);
    QVERIFY2(seen[0].text.startsWith(QStringLiteral("Recovered ")), qPrintable(seen[0].text));

    int compared = 0;
    for (const auto& v : ManifestPartition(partition)[QStringLiteral("files")].toArray()) {
      const QJsonObject f = v.toObject();
      const QString path = f[QStringLiteral("path")].toString();
      if (!path.startsWith(QStringLiteral("/Docs/")) && !path.startsWith(QStringLiteral("/Many/")))
        continue;
      const QString out = to + path;
      QVERIFY2(QFile::exists(out), qPrintable(out));
      if (f[QStringLiteral("deleted")].toBool()) continue;  // a deleted file's data may be gone
      QCOMPARE(Sha256(out), f[QStringLiteral("sha256")].toString().toLatin1());
      struct stat st {};
      QCOMPARE(::stat(out.toLocal8Bit().constData(), &st), 0);
      // FAT keeps times in two-second steps.
      QVERIFY2(std::llabs(static_cast<long long>(st.st_mtime) -
                          static_cast<long long>(f[QStringLiteral("mtime")].toDouble())) <= 1,
               qPrintable(out));
      ++compared;
    }
    QVERIFY(compared > 100);  // /Many holds 120 files
    // Nothing outside the checked folders.
    QVERIFY(!QFile::exists(to + QStringLiteral("/README")));
    QVERIFY(!QDir(to + QStringLiteral("/Media")).exists());
  }

  void SaveAndTheCommandLineGiveTheSameTree_data() { FatAndNtfsPartitions(); }
  // The window's Save and `brevant recover --path` of the same folders take one routine: the
  // same folders, names (clashes with what the destination holds included), bytes and times.
  void SaveAndTheCommandLineGiveTheSameTree() {
    QFETCH(int, partition);
    const std::filesystem::path base = test::TempDir() / ("same-tree-" + std::to_string(partition));
    const QString saved = QString::fromStdString((base / "saved").string());
    const QString cli = QString::fromStdString((base / "cli").string());
    for (const QString& to : {saved, cli}) {
      // Something already there: the recovered letter must take the next free name.
      QVERIFY(QDir().mkpath(to + QStringLiteral("/Docs")));
      QFile taken(to + QStringLiteral("/Docs/letter.txt"));
      QVERIFY(taken.open(QIODevice::WriteOnly));
      taken.write("already here");
    }
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(partition);
    QCOMPARE(SaveChecked({"Docs", "Many"}, saved).size(), 1);

    QProcess brevant;
    brevant.start(QStringLiteral(BREVANT_BINARY),
                  {QStringLiteral("recover"), QString::fromStdString(image_),
                   QStringLiteral("--partition"), QString::number(partition),
                   QStringLiteral("--to"), cli, QStringLiteral("--path"), QStringLiteral("/Docs"),
                   QStringLiteral("--path"), QStringLiteral("/Many"), QStringLiteral("-q")});
    QVERIFY(brevant.waitForFinished(60000));
    QVERIFY2(brevant.exitCode() == 0, brevant.readAllStandardError().constData());

    QMap<QString, QByteArray> savedTree = Listing(saved);
    const QMap<QString, QByteArray> cliTree = Listing(cli);
    // The Save's reports (asked for by default) are its own; `recover` writes one only when told.
    QVERIFY(savedTree.remove(QStringLiteral("recovery-report.xml")) == 1);
    QVERIFY(savedTree.remove(QStringLiteral("recovery-report.csv")) == 1);
    QVERIFY(savedTree.contains(QStringLiteral("Docs/letter (1).txt")));
    QVERIFY(savedTree.size() > 120);
    QCOMPARE(savedTree.keys(), cliTree.keys());
    QCOMPARE(savedTree, cliTree);
  }

  // A link planted in the destination where a folder goes leads no file elsewhere.
  void SaveFollowsNoLinkPlantedInTheDestination() {
    const std::filesystem::path base = test::TempDir() / "save-link";
    std::filesystem::create_directories(base / "to");
    std::filesystem::create_directories(base / "outside");
    std::filesystem::create_directory_symlink(base / "outside", base / "to" / "Docs");
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(1);
    const QList<SeenBox> seen =
        SaveChecked({"Docs"}, QString::fromStdString((base / "to").string()));
    QCOMPARE(seen.size(), 1);
    // The folder is numbered past the link, which is never followed: nothing fails.
    QVERIFY2(!seen[0].text.startsWith(QStringLiteral("Recovered 0 files")),
             qPrintable(seen[0].text));
    QVERIFY2(seen[0].text.contains(QStringLiteral(", 0 failed")), qPrintable(seen[0].text));
    QVERIFY(std::filesystem::is_empty(base / "outside"));
    QVERIFY(std::filesystem::is_symlink(base / "to" / "Docs"));
    QVERIFY(std::filesystem::is_regular_file(base / "to" / "Docs (1)" / "letter.txt"));
  }

  // An unreadable sector: the file is kept with zeros in its place, counted and named apart,
  // as `brevant recover` does.
  void SaveKeepsAPartlyReadFileAndSaysSo() {
    const std::string path = (test::TempDir() / "faulty-save-demo.img").string();
    std::filesystem::create_symlink(image_, path);
    CBrevantDlg* w = Open(path);
    QVERIFY(w);
    Run(1);
    QVERIFY(w->ShownResult());
    const RunResult& result = *w->ShownResult();
    const CatalogueNode* letter = nullptr;
    for (auto* n = result.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      if (std::u16string_view(n->name) == u"letter.txt") letter = n;
    QVERIFY(letter);
    const auto& p = result.Reader().scanParams;
    // The file's first sector.
    const std::uint64_t bad = p.clusterBase + TextToInt(letter->id) * p.sectorsPerCluster;
    platform::DeviceTable::Instance().Install(
        path, std::make_shared<platform::FaultyDevice>(platform::OpenPosixDevice(image_, nullptr),
                                                       std::set<std::uint64_t>{bad}));
    const QString to = QString::fromStdString((test::TempDir() / "save-faulty").string());
    QVERIFY(QDir().mkpath(to));
    const QList<SeenBox> seen = SaveChecked({"Docs"}, to);
    QCOMPARE(seen.size(), 1);
    QVERIFY2(seen[0].text.contains(QStringLiteral(", 1 partly recovered (1 unreadable sector).")),
             qPrintable(seen[0].text));
    QVERIFY2(seen[0].text.contains(QStringLiteral("/Docs/letter.txt: partly recovered (kept as ")),
             qPrintable(seen[0].text));
    QFile kept(to + QStringLiteral("/Docs/letter.txt"));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    const QByteArray bytes = kept.readAll();
    QCOMPARE(bytes.size(), 2500);
    QCOMPARE(bytes.left(512), QByteArray(512, '\0'));
    QVERIFY(bytes.mid(512, 512) != QByteArray(512, '\0'));
  }

  // One large file: the bar and the status move by bytes while that file is written; a Stop
  // then says "Save stopped" with how many files were saved whole.
  void SaveProgressMovesWithinOneLargeFileAndStopIsSaid() {
    const std::string big = test::FixtureImage("one_big_file").string();
    QVERIFY(!big.empty());
    const std::string path = (test::TempDir() / "gated-big.img").string();
    std::filesystem::create_symlink(big, path);
    CBrevantDlg* w = Open(path);
    QVERIFY(w);
    Run(1);
    QVERIFY(w->ShownResult());
    const CatalogueNode* file = nullptr;
    for (auto* n = w->ShownResult()->catalogue.fileList.First(); n;
         n = CatalogueList<CatalogueNode>::Next(n))
      if (std::u16string_view(n->name) == u"big.bin") file = n;
    QVERIFY(file);
    const auto& p = w->ShownResult()->Reader().scanParams;
    // Reads from 4 MiB into the file on wait: its first 4 MiB are written, the rest held.
    auto held = std::make_shared<GateDevice>(platform::OpenPosixDevice(big, nullptr), 0, 1);
    held->Arm(p.clusterBase + TextToInt(file->id) * p.sectorsPerCluster + 8192);
    platform::DeviceTable::Instance().Install(path, held);

    ClickCheckBox(Find(Tree()->Model(), {"My Computer", "Big"}));
    const QString to = QString::fromStdString((test::TempDir() / "save-big").string());
    QVERIFY(QDir().mkpath(to));
    auto pick = PickFolder(to);
    QSignalSpy ended(w, &CBrevantDlg::SaveEnded);
    QTest::mouseClick(Control<QPushButton>(w, kIdSave), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(held->Waiting() > 0, 30000);
    auto* bar = Control<QProgressBar>(w, kIdProgress);
    auto* status = Control<QLabel>(w, kIdStatusText);
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 60 && bar->value() < 100, 10000);
    QVERIFY2(
        status->text().startsWith(QStringLiteral("Saving 0 of 2 files, 4.0 MB of 6.0 MB (66%)")),
        qPrintable(status->text()));
    QTRY_VERIFY_WITH_TIMEOUT(status->text().contains(QStringLiteral(" left")), 10000);
    QVERIFY2(status->text().contains(QStringLiteral("/s, ")), qPrintable(status->text()));

    QList<SeenBox> seen;
    {
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      QTest::mouseClick(Control<QPushButton>(w, kIdStop), Qt::LeftButton);
    }
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    held->Open();
    QVERIFY(ended.wait(30000));
    QCOMPARE(seen.size(), 2);
    QVERIFY2(seen[1].text.contains(QStringLiteral("stopped before the end")),
             qPrintable(seen[1].text));
    QCOMPARE(status->text(), QStringLiteral("Save stopped: 1 of 2 files saved whole"));
  }

  // The chooser makes a folder whose new name is typed into it, and the completion box
  // offers to open the destination.
  void SaveIntoANewFolderAndOpenIt() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(1);
    ClickCheckBox(Find(Tree()->Model(), {"My Computer", "Docs"}));
    const QString parent = QString::fromStdString((test::TempDir() / "save-new").string());
    QVERIFY(QDir().mkpath(parent));
    const QString to = parent + QStringLiteral("/Made here");
    bool accepted = false;
    ModalWatcher pick([&](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      if (!dialog) return false;
      dialog->setDirectory(parent);
      dialog->selectFile(QStringLiteral("Made here"));
      static_cast<QDialog*>(dialog)->accept();
      accepted = !dialog->isVisible();
      if (!accepted) dialog->reject();  // refused: end the test instead of hanging
      return true;
    });
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
    QStringList buttons;
    ModalWatcher openIt([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (!box) return false;
      for (QAbstractButton* b : box->buttons()) buttons << b->text();
      auto* open = box->findChild<QPushButton*>(QStringLiteral("OpenFolderButton"));
      (open ? open : box->button(QMessageBox::Ok))->click();
      return true;
    });
    QSignalSpy ended(w, &CBrevantDlg::SaveEnded);
    QTest::mouseClick(Control<QPushButton>(w, kIdSave), Qt::LeftButton);
    if (accepted) QVERIFY(ended.wait(30000));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QVERIFY(accepted);
    QVERIFY(QFile::exists(to + QStringLiteral("/Docs/letter.txt")));
    QVERIFY2(buttons.contains(QStringLiteral("&Open Folder")), qPrintable(buttons.join(u',')));
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(QDir(catcher.urls[0].toLocalFile()).canonicalPath(), QDir(to).canonicalPath());
  }

  void SaveSelectedRowsWhenNothingIsChecked() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(1);
    ClickRow(Find(Tree()->Model(), {"My Computer", "Docs"}));
    auto* list = Control<QTableView>(w, kIdFileList);
    int letter = -1;
    for (int r = 0; r < w->Files()->rowCount(); ++r)
      if (w->Files()->index(r, 0).data().toString() == QStringLiteral("letter.txt")) letter = r;
    QVERIFY(letter >= 0);
    list->selectRow(letter);
    const QString to = QString::fromStdString((test::TempDir() / "save-rows").string());
    QDir().mkpath(to);
    auto pick = PickFolder(to);
    pick->once = false;  // the second Save asks again
    QList<SeenBox> seen;
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    QSignalSpy ended(w, &CBrevantDlg::SaveEnded);
    w->findChild<QAction*>(ControlName(kIdMenuSave))->trigger();
    QVERIFY(ended.wait(60000));
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text.section(u'\n', 0, 0), QStringLiteral("Recovered 1 files (2500 bytes), 0 failed."));
    QVERIFY(QFile::exists(to + QStringLiteral("/Docs/letter.txt")));
    QVERIFY(!QFile::exists(to + QStringLiteral("/Docs/old draft.txt")));
    // Saving again never overwrites: a second copy gets its own name.
    QSignalSpy again(w, &CBrevantDlg::SaveEnded);
    w->findChild<QAction*>(ControlName(kIdMenuSave))->trigger();
    QVERIFY(again.wait(60000));
    QVERIFY(QFile::exists(to + QStringLiteral("/Docs/letter (1).txt")));
  }

  void StopDuringARunKeepsWhatWasFound() {
    // The NTFS partition's MFT is read in one large batch: the run waits there.
    auto [w, gate] = OpenGated("gated-demo.img");
    QVERIFY(w);

    QSignalSpy ended(w, &CBrevantDlg::RunEnded);
    QVERIFY(StartGatedRun(w, *gate));
    // While the worker reads, the window answers: Next is off, Stop is on, selection is kept.
    QVERIFY(w->RunInProgress());
    QVERIFY(!Control<QPushButton>(w, kIdNext)->isEnabled());
    QVERIFY(!w->findChild<QAction*>(ControlName(kIdQuickRecovery))->isEnabled());
    QVERIFY(Control<QPushButton>(w, kIdStop)->isEnabled());
    // The tree is locked, and looks it: a click moves neither the selection nor the highlight.
    QVERIFY(!Tree()->isEnabled());
    const QModelIndex selected = Tree()->currentIndex();
    ClickRow(PartitionItem(1));
    QCOMPARE(Tree()->currentIndex(), selected);
    QCOMPARE(w->Session().selectedFsName, std::string("NTFS"));

    QList<SeenBox> seen;
    {
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      QTest::mouseClick(Control<QPushButton>(w, kIdStop), Qt::LeftButton);
    }
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text, QStringLiteral("Do you want to stop recovery process ?       "));
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    gate->Open();
    QVERIFY(ended.wait(30000));
    QCOMPARE(ended.at(0).at(0).value<RunOutcome>(), RunOutcome::Stopped);
    // No completion message; what was found so far is shown and browsable.
    QCOMPARE(seen.size(), 1);
    QCOMPARE(Control<QLabel>(w, kIdStatusText)->text(), QStringLiteral("Process Aborted..."));
    QVERIFY(w->ShownResult());
    QCOMPARE(w->ShownResult()->outcome, RunOutcome::Stopped);
    QCOMPARE(Tree()->Model()->Tree(), w->ShownResult()->tree);
    QCOMPARE(ChildTexts(Tree()->Model(), {}), QStringList{"My Computer"});
    QVERIFY(Control<QPushButton>(w, kIdNext)->isEnabled());
    QVERIFY(!Control<QPushButton>(w, kIdStop)->isEnabled());
    QVERIFY(!w->RunInProgress());
    QVERIFY(Tree()->isEnabled());
  }

  // The run ends while the Stop question waits: the question is taken back before the
  // completion message shows, never stacked under it, and nothing is stopped.
  void StopQuestionIsWithdrawnWhenTheRunEnds() {
    auto [w, gate] = OpenGated("gated-stop-demo.img");
    QVERIFY(w);
    QSignalSpy ended(w, &CBrevantDlg::RunEnded);
    QVERIFY(StartGatedRun(w, *gate));

    QPointer<QMessageBox> stopBox;
    QStringList shown;
    bool stopVisibleAtCompletion = true;
    ModalWatcher watcher([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (!box) return false;
      if (box->text().startsWith(QStringLiteral("Do you want to stop"))) {
        if (!stopBox) {
          // Left unanswered; the run goes on to its end.
          stopBox = box;
          shown << box->text();
          gate->Open();
          return false;
        }
        if (ended.count() == 0) return false;
        box->button(QMessageBox::No)->click();  // still there after the end: the fault
        return false;
      }
      shown << box->text();
      stopVisibleAtCompletion = stopBox && stopBox->isVisible();
      box->button(QMessageBox::Ok)->click();
      return false;
    });
    watcher.once = false;
    QTest::mouseClick(Control<QPushButton>(w, kIdStop), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(ended.count() == 1, 30000);
    QCOMPARE(shown, (QStringList{"Do you want to stop recovery process ?       ",
                                 "Scan Completed Successfully\r\n"}));
    QVERIFY(!stopVisibleAtCompletion);
    QCOMPARE(ended.at(0).at(0).value<RunOutcome>(), RunOutcome::Completed);
    QCOMPARE(w->Session().stopRequested.load(), 0);
    QCOMPARE(Control<QLabel>(w, kIdStatusText)->text(), QStringLiteral("Scan Completed..."));
  }

  void FailedRunShowsTheFailure() {
    // Both NTFS boot sectors of partition 3 say 0 sectors per cluster: no parameters.
    QFile f(QString::fromStdString(image_));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QByteArray bytes = f.readAll();
    for (qint64 sector : {120832, 153599}) bytes[sector * 512 + 13] = 0;
    const std::string path = test::InstallMemoryDisk(bytes.toStdString());
    CBrevantDlg* w = Open(path);
    QVERIFY(w);
    const auto startup = Tree()->Model()->Tree();
    const QList<SeenBox> seen = Run(3);
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text, QStringLiteral("Unable to calculate partition parameters"));
    QCOMPARE(seen[0].caption, QStringLiteral("Brevant"));
    QCOMPARE(seen[0].icon, QMessageBox::Critical);
    QVERIFY(!w->ShownResult());
    QCOMPARE(Tree()->Model()->Tree(), startup);
    QVERIFY(Control<QPushButton>(w, kIdNext)->isEnabled());
    QVERIFY(!Control<QPushButton>(w, kIdStop)->isEnabled());
  }

  void PartitionFiguresReachThePanel() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    ClickRow(PartitionItem(1));
    const PartitionFigures expected = ReadPartitionFigures(image_, 2048, 83968, "FAT32");
    QVERIFY(expected.freeBytes.has_value());
    QTRY_COMPARE(Control<QLabel>(w, kIdValue2)->toolTip(),
                 QString::number(*expected.freeBytes) + QStringLiteral(" bytes"));
    QCOMPARE(Control<QLabel>(w, kIdValue1)->text(), QStringLiteral("40.0 MB"));  // 81920 sectors
  }

  // A 1.44 MB floppy without a partition table: its FAT12 partition's size, free space and file
  // system reach the panel, and the chart shows its used and free space. The free clusters are
  // counted here from the image's own twelve-bit FAT, apart from the engine.
  void Fat12FloppyFiguresReachThePanelAndTheChart() {
    const std::string floppy = test::FixtureImage("fat12_floppy").string();
    QVERIFY(!floppy.empty());
    QFile image(QString::fromStdString(floppy));
    QVERIFY(image.open(QIODevice::ReadOnly));
    const QByteArray bytes = image.readAll();
    auto le16 = [&](int at) {
      return static_cast<int>(static_cast<std::uint8_t>(bytes[at])) |
             static_cast<int>(static_cast<std::uint8_t>(bytes[at + 1])) << 8;
    };
    const int reserved = le16(14), fatSectors = le16(22), rootEntries = le16(17), total = le16(19);
    const int clusters = (total - reserved - 2 * fatSectors - rootEntries * 32 / 512) / bytes[13];
    std::uint64_t freeClusters = 0;
    for (int c = 2; c < clusters + 2; ++c) {
      const int pair = le16(reserved * 512 + c + c / 2);
      freeClusters += ((c % 2 == 0 ? pair & 0x0FFF : pair >> 4) == 0);
    }
    const std::uint64_t freeBytes = freeClusters * static_cast<std::uint64_t>(bytes[13]) * 512;
    QVERIFY(freeClusters > 0 && freeClusters < static_cast<std::uint64_t>(clusters));

    CBrevantDlg* w = Open(floppy);
    QVERIFY(w);
    QCOMPARE(w->Session().driveRecords.back().fsName, std::vector<std::string>{"FAT12"});
    ClickRow(PartitionItem(1));
    QTRY_COMPARE(Control<QLabel>(w, kIdValue2)->toolTip(),
                 QString::number(freeBytes) + QStringLiteral(" bytes"));
    QCOMPARE(Control<QLabel>(w, kIdValue3)->text(), QStringLiteral("FAT12 (sectors 0 to 2880)"));
    QCOMPARE(Control<QLabel>(w, kIdValue1)->text(), SizeText(std::uint64_t{2880} * 512));
    CPieChartCtrl* chart = w->Previewer()->Chart();
    QTRY_VERIFY(chart->isVisible());
    QCOMPARE(chart->Pieces().size(), std::size_t{2});
    QCOMPARE(chart->Pieces()[1]->label,
             QStringLiteral("Free: ") + SizeText(freeBytes));
  }

  void ExitDuringSaveRemovesThePartialFile() {
    const std::string path = (test::TempDir() / "gated-save-demo.img").string();
    std::filesystem::create_symlink(image_, path);
    auto gate = std::make_shared<GateDevice>(platform::OpenPosixDevice(image_, nullptr), 0, 1);
    gate->Open();
    platform::DeviceTable::Instance().Install(path, gate);
    CBrevantDlg* w = Open(path);
    QVERIFY(w);
    Run(1);
    QVERIFY(w->ShownResult());
    // From now on the data area's reads wait: a file is created and then waits for its data.
    auto held = std::make_shared<GateDevice>(platform::OpenPosixDevice(image_, nullptr), 0, 1);
    const auto& p = w->ShownResult()->Reader().scanParams;
    held->Arm(p.clusterBase + 2 * p.sectorsPerCluster);
    platform::DeviceTable::Instance().Install(path, held);
    ClickCheckBox(Find(Tree()->Model(), {"My Computer", "Docs"}));
    const QString to = QString::fromStdString((test::TempDir() / "save-exit").string());
    QDir().mkpath(to);
    auto pick = PickFolder(to);
    QTest::mouseClick(Control<QPushButton>(w, kIdSave), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(held->Waiting() > 0, 30000);
    QVERIFY(w->SaveInProgress());
    QVERIFY(Control<QPushButton>(w, kIdStop)->isEnabled());
    const QString partial = to + QStringLiteral("/Docs/letter.txt");
    QVERIFY(QFile::exists(partial));
    {
      auto yes = AnswerBoxes(nullptr, QMessageBox::Yes, true);
      w->findChild<QAction*>(ControlName(kIdExit))->trigger();
    }
    QVERIFY(!w->isVisible());
    QVERIFY(w->LeftWorkersRunning());
    QVERIFY(!QFile::exists(partial));
    // Let the worker finish its read: it stops before the next file and writes nothing more.
    held->Open();
    QTRY_VERIFY_WITH_TIMEOUT(!w->SaveInProgress(), 30000);
    QVERIFY(!QFile::exists(partial));
    QVERIFY(QDir(to + QStringLiteral("/Docs")).entryList(QDir::Files).isEmpty());
    window_.reset();
  }

  void StopAsksAndOnlySetsTheRequestWhenIdle() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    QList<SeenBox> seen;
    {
      auto no = AnswerBoxes(&seen, QMessageBox::No, true);
      w->OnStop();
    }
    QCOMPARE(w->Session().stopRequested.load(), 0);
    {
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      w->OnStop();
    }
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0].text, QStringLiteral("Do you want to stop recovery process ?       "));
    QCOMPARE(seen[0].caption, QStringLiteral("Brevant"));
    QCOMPARE(seen[0].icon, QMessageBox::Question);
    QCOMPARE(w->Session().stopRequested.load(), 1);
  }

  // Where no handler opens the page, F1 shows it in the window's own viewer.
  void HelpWithoutABrowserOpensTheViewer() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QTest::keyClick(w, Qt::Key_F1);
    QDialog* viewer = nullptr;
    QTRY_VERIFY((viewer = w->findChild<QDialog*>(QStringLiteral("HelpViewer"))) &&
                viewer->isVisible());
    auto* browser = viewer->findChild<QTextBrowser*>(QStringLiteral("HelpBrowser"));
    QVERIFY(browser);
    QVERIFY(browser->source().toLocalFile().endsWith(QStringLiteral("brevant_help.html")));
    QVERIFY(browser->toPlainText().contains(QStringLiteral("Choose a partition")));
    // Asked again, the one viewer comes back.
    viewer->close();
    w->findChild<QAction*>(ControlName(kIdHelp))->trigger();
    QTRY_VERIFY(viewer->isVisible());
    QCOMPARE(w->findChildren<QDialog*>(QStringLiteral("HelpViewer")).size(), 1);
  }

  void AboutHelpAndExit() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    ModalWatcher about([](QWidget* modal) {
      if (modal->objectName() != QStringLiteral("CAboutDlg")) return false;
      if (modal->windowTitle() != QStringLiteral("About Calverin Brevant")) return false;
      if (modal->findChild<QLabel*>(QStringLiteral("AboutVersion"))->text() !=
          QStringLiteral("Version 1.0"))
        return false;
      if (!modal->findChild<QLabel*>(QStringLiteral("AboutBuild"))
               ->text()
               .contains(QStringLiteral(BREVANT_VERSION)))
        return false;
      auto* ok = modal->findChild<QPushButton*>(ControlName(kIdAboutOk));
      if (!ok || ok->text() != QStringLiteral("Ok")) return false;
      ok->click();
      return true;
    });
    w->findChild<QAction*>(ControlName(kIdAbout))->trigger();
    QCOMPARE(about.handled, 1);

    // Help opens the shipped page with the desktop's handler.
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
    w->findChild<QAction*>(ControlName(kIdHelp))->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(catcher.urls.size(), 1);
    QVERIFY(catcher.urls[0].toLocalFile().endsWith(QStringLiteral("brevant_help.html")));
    QVERIFY(QFile::exists(catcher.urls[0].toLocalFile()));

    // Exit asks; No keeps the window.
    QList<SeenBox> seen;
    {
      auto no = AnswerBoxes(&seen, QMessageBox::No, true);
      w->close();
    }
    QVERIFY(w->isVisible());
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].text, QStringLiteral("Do you want to Exit ?       "));
    QCOMPARE(seen[0].caption, QStringLiteral("Calverin Brevant"));
    {
      auto yes = AnswerBoxes(&seen, QMessageBox::Yes, true);
      w->findChild<QAction*>(ControlName(kIdExit))->trigger();
    }
    QVERIFY(!w->isVisible());
    QCOMPARE(w->Session().stopRequested.load(), 1);
    window_.reset();
  }

  // ---- Search, filters, sorting, condition and system files ----

  // The names shown in the list, top to bottom.
  QStringList ListedNames() {
    QStringList names;
    for (int r = 0; r < window_->Files()->rowCount(); ++r)
      names << window_->Files()->index(r, FileListModel::kName).data().toString();
    return names;
  }
  QLineEdit* SearchBox() { return window_->findChild<QLineEdit*>(QStringLiteral("SearchBox")); }
  // Clicks the file list's header of `column`, as a user sorting by it does.
  void ClickHeader(int column) {
    auto* header = Control<QTableView>(window_.get(), kIdFileList)->horizontalHeader();
    const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
  }

  void TypingInTheSearchBoxListsMatchesOfTheWholeVolumeWithPaths() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(1);
    auto* list = Control<QTableView>(w, kIdFileList);
    ClickRow(Find(Tree()->Model(), {"My Computer", "Docs"}));
    QVERIFY(list->isColumnHidden(FileListModel::kPath));
    QVERIFY(SearchBox()->isVisible());
    // Plain words match anywhere in the name, whatever the case, in every folder.
    SearchBox()->setFocus();
    QTest::keyClicks(SearchBox(), QStringLiteral("note"));
    QVERIFY(w->Filtering());
    QSet<QString> expected;
    for (const auto& f : ManifestPartition(1)[QStringLiteral("files")].toArray()) {
      const QString path = f.toObject()[QStringLiteral("path")].toString();
      if (path.section(u'/', -1).contains(QStringLiteral("note"), Qt::CaseInsensitive))
        expected << path;
    }
    QVERIFY(expected.size() > 120);  // /Many's notes, /NOTES.TXT and a deleted one
    QVERIFY(!list->isColumnHidden(FileListModel::kPath));
    QSet<QString> shown;
    FileListModel* files = w->Files();
    for (int r = 0; r < files->rowCount(); ++r) {
      const QString folder = files->index(r, FileListModel::kPath).data().toString();
      shown << (folder == QStringLiteral("/") ? QString() : folder) + u'/' +
                   files->index(r, FileListModel::kName).data().toString();
    }
    QCOMPARE(shown, expected);
    QCOMPARE(files->rowCount(), expected.size());
    // The tree counts the matches each folder holds, below it included.
    auto* model = Tree()->Model();
    QCOMPARE(model->index(0, 0).data().toString(),
             QStringLiteral("My Computer (%1)").arg(expected.size()));
    const QModelIndex many = model->index(
        ChildTexts(model, model->index(0, 0)).indexOf(QStringLiteral("Many (120)")), 0,
        model->index(0, 0));
    QVERIFY(many.isValid());
    QVERIFY(ChildTexts(model, model->index(0, 0)).contains(QStringLiteral("Trash Folder (1)")));
    QVERIFY(ChildTexts(model, model->index(0, 0)).contains(QStringLiteral("Docs")));
    // A folder of the tree narrows the list to the matches below it.
    ClickRow(many);
    QCOMPARE(files->rowCount(), 120);
    // A pattern is taken as it is.
    SearchBox()->setText(QStringLiteral("*.CSV"));
    QCOMPARE(ListedNames(), QStringList{QStringLiteral("budget.csv")});
    QCOMPARE(files->index(0, FileListModel::kPath).data().toString(),
             QStringLiteral("/Docs/Projects/2024"));
    // Clear: back to browsing the folder selected in the tree, names without counts.
    QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("ClearFilterButton")),
                      Qt::LeftButton);
    QVERIFY(!w->Filtering());
    QVERIFY(SearchBox()->text().isEmpty());
    QVERIFY(list->isColumnHidden(FileListModel::kPath));
    QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("My Computer"));
    QCOMPARE(files->rowCount(), 120);
    QCOMPARE(Find(model, {"My Computer", "Many"}), Tree()->currentIndex());
    // The other filters narrow too: the deleted files of 1,000 bytes or more.
    QTest::mouseClick(w->findChild<QToolButton*>(QStringLiteral("FiltersButton")), Qt::LeftButton);
    w->findChild<QComboBox*>(QStringLiteral("StateFilter"))->setCurrentIndex(2);
    QTest::keyClicks(w->findChild<QLineEdit*>(QStringLiteral("MinSizeFilter")), QStringLiteral("1K"));
    QSet<QString> big;
    for (const auto& f : ManifestPartition(1)[QStringLiteral("files")].toArray())
      if (f.toObject()[QStringLiteral("deleted")].toBool() &&
          f.toObject()[QStringLiteral("size")].toInt() >= 1024)
        big << f.toObject()[QStringLiteral("path")].toString().section(u'/', -1);
    const QStringList listed = ListedNames();
    QCOMPARE(QSet<QString>(listed.begin(), listed.end()), big);
  }

  void SortingByNameAndSize() {
    CBrevantDlg* w = Open(test::FixtureImage("sort_names").string());
    QVERIFY(w);
    Run(1);
    ClickRow(Find(Tree()->Model(), {"My Computer", "Pages"}));
    // Catalogue order until a header is clicked.
    QCOMPARE(ListedNames(), (QStringList{"page10.txt", "Page2.txt", "page1.txt", "page20.txt",
                                         "page9.txt", "page3 old.txt"}));
    ClickHeader(FileListModel::kName);
    QCOMPARE(ListedNames(), (QStringList{"page1.txt", "Page2.txt", "page3 old.txt", "page9.txt",
                                         "page10.txt", "page20.txt"}));
    ClickHeader(FileListModel::kName);
    QCOMPARE(ListedNames(), (QStringList{"page20.txt", "page10.txt", "page9.txt", "page3 old.txt",
                                         "Page2.txt", "page1.txt"}));
    // By size, equal sizes keep the order they had (here: names descending).
    ClickHeader(FileListModel::kSize);
    QCOMPARE(ListedNames(), (QStringList{"page20.txt", "page10.txt", "Page2.txt", "page1.txt",
                                         "page3 old.txt", "page9.txt"}));
    // The order holds for the next folder shown.
    ClickRow(Find(Tree()->Model(), {"My Computer", "Photos"}));
    QCOMPARE(ListedNames(), (QStringList{"img2.jpg", "img10.jpg", "IMG1.JPG"}));
    ClickHeader(FileListModel::kName);
    QCOMPARE(ListedNames(), (QStringList{"IMG1.JPG", "img2.jpg", "img10.jpg"}));
    // The selection follows its file when the rows move.
    auto* list = Control<QTableView>(w, kIdFileList);
    list->selectRow(2);
    ClickHeader(FileListModel::kName);
    QCOMPARE(list->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(w->Files()->NodeAt(list->selectionModel()->selectedRows()[0].row())->name,
             std::u16string_view(u"img10.jpg"));
    // The tree keeps the volume's order.
    QCOMPARE(ChildTexts(Tree()->Model(), Find(Tree()->Model(), {"My Computer"})),
             (QStringList{"Pages", "Photos"}));
  }

  void ConditionColumnAndPreviewHeaderSayWhatIsLeft() {
    CBrevantDlg* w = Open(test::FixtureImage("sort_names").string());
    QVERIFY(w);
    Run(1);
    ClickRow(Find(Tree()->Model(), {"My Computer", "Pages"}));
    FileListModel* files = w->Files();
    const int row = static_cast<int>(ListedNames().indexOf(QStringLiteral("page3 old.txt")));
    QVERIFY(row >= 0);
    // Live rows say nothing; a deleted one says its condition with a colour and an explanation.
    QVERIFY(files->index(0, FileListModel::kCondition).data().toString().isEmpty());
    const struct {
      FileState state;
      const char* text;
      const char* tip;
      const char* header;  // in the preview's header
    } cases[] = {
        {{FileCondition::Intact, 0}, "Intact", "still free", "intact"},
        {{FileCondition::PartlyOverwritten, 512}, "Partly overwritten (512 bytes)", "512 bytes",
         "may show foreign data"},
        {{FileCondition::Overwritten, 700}, "Overwritten", "other data uses now", "foreign data"},
        {{FileCondition::Unknown, 0}, "Unknown", "could not be read", "condition unknown"},
    };
    std::set<QRgb> colours;
    for (const auto& c : cases) {
      w->ShownResult()->SetState(*files->NodeAt(row), c.state);
      const QModelIndex cell = files->index(row, FileListModel::kCondition);
      QCOMPARE(cell.data().toString(), QString::fromUtf8(c.text));
      QVERIFY2(cell.data(Qt::ToolTipRole).toString().contains(QString::fromUtf8(c.tip)), c.text);
      QVERIFY(!cell.data(Qt::DecorationRole).value<QIcon>().isNull());
      colours.insert(cell.data(Qt::ForegroundRole).value<QColor>().rgb());
      QSignalSpy shown(&w->Previewer()->Controller(), &PreviewController::Shown);
      QVERIFY(w->Previewer()->PreviewRowNamed(QStringLiteral("page3 old.txt")));
      QVERIFY(shown.wait(20000));
      QVERIFY2(w->Previewer()->Pane()->HeaderText().contains(QString::fromUtf8(c.header)),
               qPrintable(w->Previewer()->Pane()->HeaderText()));
    }
    QCOMPARE(colours.size(), std::size(cases));
    // A live file's preview says nothing of a condition.
    QSignalSpy shown(&w->Previewer()->Controller(), &PreviewController::Shown);
    QVERIFY(w->Previewer()->PreviewRowNamed(QStringLiteral("page9.txt")));
    QVERIFY(shown.wait(20000));
    QVERIFY(!w->Previewer()->Pane()->HeaderText().contains(QStringLiteral("Deleted")));
    // Sorting by condition: live files, then from the best kept to the worst.
    w->ShownResult()->SetState(*files->NodeAt(row), {FileCondition::Intact, 0});
    ClickHeader(FileListModel::kCondition);
    QCOMPARE(ListedNames().last(), QStringLiteral("page3 old.txt"));
  }

  void ShowSystemFilesOffHidesTheVolumesMetadata() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(3);
    auto* box = w->findChild<QCheckBox*>(QStringLiteral("ShowSystemFilesBox"));
    auto* action = w->findChild<QAction*>(QStringLiteral("ShowSystemFilesAction"));
    QVERIFY(box && action);
    QVERIFY(!box->isChecked() && !action->isChecked());
    ClickRow(Find(Tree()->Model(), {"My Computer"}));
    QVERIFY(!ListedNames().contains(QStringLiteral("$MFT")));
    QVERIFY(ListedNames().contains(QStringLiteral("README")));
    // Their folders leave the tree too; the volume's own stay.
    const auto topFolders = [this] {
      return ChildTexts(Tree()->Model(), Tree()->Model()->index(0, 0));
    };
    QVERIFY(topFolders().contains(QStringLiteral("Docs")));
    QVERIFY(!topFolders().contains(QStringLiteral("$Extend")));
    // Searching does not find them either, nor count them in the tree.
    SearchBox()->setText(QStringLiteral("$*"));
    QCOMPARE(w->Files()->rowCount(), 0);
    QCOMPARE(Tree()->Model()->index(0, 0).data().toString(), QStringLiteral("My Computer"));
    // The menu item shows them, and the box follows it.
    action->trigger();
    QVERIFY(box->isChecked());
    QVERIFY(ListedNames().contains(QStringLiteral("$MFT")));
    QVERIFY(Tree()->Model()->index(0, 0).data().toString().startsWith(QStringLiteral("My Computer (")));
    SearchBox()->clear();
    QVERIFY(ListedNames().contains(QStringLiteral("$MFT")));
    QVERIFY(topFolders().contains(QStringLiteral("$Extend")));
    ClickRow(Find(Tree()->Model(), {"My Computer", "$Extend"}));
    QVERIFY(w->Files()->rowCount() > 0);
    ClickRow(Find(Tree()->Model(), {"My Computer"}));
    action->trigger();
    QVERIFY(!topFolders().contains(QStringLiteral("$Extend")));
    QCOMPARE(Tree()->currentIndex(), Tree()->Model()->index(0, 0));
    action->trigger();
    // The choice is kept for the next start.
    cleanup();
    CBrevantDlg* again = Open();
    QVERIFY(again->findChild<QCheckBox*>(QStringLiteral("ShowSystemFilesBox"))->isChecked());
    QVERIFY(again->findChild<QAction*>(QStringLiteral("ShowSystemFilesAction"))->isChecked());
    again->findChild<QCheckBox*>(QStringLiteral("ShowSystemFilesBox"))->click();
    QVERIFY(!again->findChild<QAction*>(QStringLiteral("ShowSystemFilesAction"))->isChecked());
  }

  void WholeVolumeSaveLeavesSystemFilesOut() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(3);
    const QString to = QString::fromStdString((test::TempDir() / "save-no-system").string());
    QDir().mkpath(to);
    ClickCheckBox(Find(Tree()->Model(), {"My Computer"}));
    auto pick = PickFolder(to);
    QList<SeenBox> seen;
    auto boxes = AnswerBoxes(&seen, QMessageBox::Ok);
    QSignalSpy ended(w, &CBrevantDlg::SaveEnded);
    QTest::mouseClick(Control<QPushButton>(w, kIdSave), Qt::LeftButton);
    QVERIFY(ended.wait(60000));
    const QMap<QString, QByteArray> saved = Listing(to);
    QVERIFY(saved.contains(QStringLiteral("README")));
    QVERIFY(saved.contains(QStringLiteral("Docs/letter.txt")));
    for (const QString& path : saved.keys())
      QVERIFY2(!path.section(u'/', -1).startsWith(u'$'), qPrintable(path));
  }

  void SaveOfAllMatchesWritesThem() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(1);
    SearchBox()->setText(QStringLiteral("hole"));
    QCOMPARE(w->Files()->rowCount(), 8);
    const QString to = QString::fromStdString((test::TempDir() / "save-matches").string());
    QDir().mkpath(to);
    // Nothing checked or selected: Save offers every match, then asks where.
    auto pick = std::make_unique<ModalWatcher>([to](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      if (!dialog) return false;
      auto* report = dialog->findChild<QCheckBox*>(QStringLiteral("WriteReportBox"));
      if (!report || !report->isChecked()) return false;  // on by default
      dialog->setDirectory(to);
      dialog->selectFile(to);
      static_cast<QDialog*>(dialog)->accept();
      return true;
    });
    QList<SeenBox> seen;
    auto boxes = AnswerBoxes(&seen, QMessageBox::Yes);
    QSignalSpy ended(w, &CBrevantDlg::SaveEnded);
    QTest::mouseClick(Control<QPushButton>(w, kIdSave), Qt::LeftButton);
    QVERIFY(ended.wait(60000));
    QCOMPARE(pick->handled, 1);
    QVERIFY(seen.size() >= 2);
    QVERIFY(seen[0].text.startsWith(QStringLiteral("Save all 8 files that match the filter")));
    QVERIFY(w->LastSaveWantedReport());
    QVERIFY2(seen.back().text.contains(QStringLiteral("Recovery report: ")), qPrintable(seen.back().text));
    // Exactly the matches, where they were found, with the bytes the volume holds.
    // (The deleted ones between live files were overwritten: their bytes are not checked.)
    QMap<QString, QByteArray> expected;
    for (const auto& f : ManifestPartition(1)[QStringLiteral("files")].toArray()) {
      const QJsonObject o = f.toObject();
      if (o[QStringLiteral("path")].toString().startsWith(QStringLiteral("/Frag/Holes/")))
        expected[o[QStringLiteral("path")].toString().mid(1)] =
            o[QStringLiteral("intact")].toBool() ? o[QStringLiteral("sha256")].toString().toLatin1()
                                                 : QByteArray();
    }
    QCOMPARE(expected.size(), 8);
    QStringList written;
    QDirIterator it(to, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) written << QDir(to).relativeFilePath(it.next());
    written.sort();
    const QStringList reports{QStringLiteral("recovery-report.csv"),
                              QStringLiteral("recovery-report.xml")};
    QCOMPARE(written, QStringList(expected.keys()) + reports);
    for (auto e = expected.begin(); e != expected.end(); ++e)
      if (!e.value().isEmpty()) QCOMPARE(Sha256(to + u'/' + e.key()), e.value());
    // Both reports beside the files: one row per match, its hash that of the file written.
    QFile csv(to + QStringLiteral("/recovery-report.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = csv.readAll().trimmed().split('\n');
    QCOMPARE(rows.size(), 1 + expected.size());
    for (const QByteArray& row : rows.mid(1)) {
      const QList<QByteArray> cells = row.trimmed().split(',');
      QVERIFY2(cells.size() >= 12, row.constData());
      const QString path = QString::fromUtf8(cells[0]).mid(1);
      QVERIFY2(expected.contains(path), qPrintable(path));
      QCOMPARE(cells[11], Sha256(to + u'/' + path));
    }
    QFile xml(to + QStringLiteral("/recovery-report.xml"));
    QVERIFY(xml.open(QIODevice::ReadOnly));
    QCOMPARE(xml.readAll().count("<fileobject"), expected.size());
    // The report box is remembered as the person left it.
    SaveFolderDialog next(w);
    auto* box = next.findChild<QCheckBox*>(QStringLiteral("WriteReportBox"));
    QVERIFY(box->isChecked());
    box->setChecked(false);
    next.setDirectory(to);
    next.selectFile(to);
    next.accept();
    SaveFolderDialog third(w);
    QVERIFY(!third.findChild<QCheckBox*>(QStringLiteral("WriteReportBox"))->isChecked());
  }

  void FilterControlsHaveNamesMnemonicsAndTabOrder() {
    CBrevantDlg* w = Open();
    QVERIFY(w);
    Run(1);
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    for (const char* name : {"SearchBox", "FiltersButton", "ClearFilterButton", "StateFilter",
                             "ConditionFilter", "CategoryFilter", "MinSizeFilter", "MaxSizeFilter",
                             "SinceFilter", "UntilFilter", "ShowSystemFilesBox"}) {
      auto* widget = w->findChild<QWidget*>(QString::fromLatin1(name));
      QVERIFY2(widget, name);
      QVERIFY2(!widget->accessibleName().isEmpty(), name);
      QVERIFY2(!widget->accessibleDescription().isEmpty(), name);
    }
    // Ctrl+F and the label's Alt+I reach the search box.
    Control<QTableView>(w, kIdFileList)->setFocus();
    QTest::keyClick(w, Qt::Key_F, Qt::ControlModifier);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(SearchBox()));
    Tree()->setFocus();
    QTest::keyClick(w, Qt::Key_I, Qt::AltModifier);
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(SearchBox()));
    // Tab goes on from the search box to the filters, in reading order.
    QTest::keyClick(SearchBox(), Qt::Key_Tab);
    QTRY_COMPARE(QApplication::focusWidget(),
                 static_cast<QWidget*>(w->findChild<QToolButton*>(QStringLiteral("FiltersButton"))));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTRY_COMPARE(QApplication::focusWidget(),
                 static_cast<QWidget*>(w->findChild<QPushButton*>(QStringLiteral("ClearFilterButton"))));
    // A size or date that cannot be read is marked, and left out rather than guessed at.
    QTest::mouseClick(w->findChild<QToolButton*>(QStringLiteral("FiltersButton")), Qt::LeftButton);
    auto* since = w->findChild<QLineEdit*>(QStringLiteral("SinceFilter"));
    QTest::keyClicks(since, QStringLiteral("yesterday"));
    QVERIFY(!w->Filtering());
    QVERIFY(since->toolTip().startsWith(QStringLiteral("Not a date")));
    since->setText(QStringLiteral("2099-01-01"));
    QVERIFY(w->Filtering());
    QCOMPARE(w->Files()->rowCount(), 0);
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"

// A click on a listed file, end to end: a real scan of the demo image (and of a small FAT
// volume made by mkfs.fat and mtools with a picture and two files of one name), the
// extraction off the user-interface thread into the private folder, and the pane.
#include "gui/preview.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <array>
#include <fstream>

#include "core/text.h"
#include "disk/disks.h"
#include "gui/brevant_dlg.h"
#include "gui/control_ids.h"
#include "gui/display_text.h"
#include "gui/explorer.h"
#include "gui/file_list_model.h"
#include "gui/folder_tree_ctrl.h"
#include "gui/pie_chart.h"
#include "model/file_listing.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

using namespace brevant;
using brevant::gui::CExplorer1;
using brevant::gui::PreviewController;
using brevant::gui::PreviewOutcome;
using View = CExplorer1::View;
namespace fs = std::filesystem;

namespace {

class MemorySink : public ByteSink {
 public:
  bool Write(const void* data, std::size_t length) override {
    bytes.append(static_cast<const char*>(data), static_cast<qsizetype>(length));
    return true;
  }
  QByteArray bytes;
};

struct Scan {
  std::unique_ptr<RecoverySession> session = std::make_unique<RecoverySession>();
  ui::ResultTree startup;
  std::shared_ptr<RunResult> result;
};

// Scans partition `number` of an image as the window does: walk, select, parameters, run.
std::unique_ptr<Scan> ScanImage(const std::string& image, int number) {
  auto scan = std::make_unique<Scan>();
  const int d = AddDisk(*scan->session, scan->startup, platform::ImageDiskFacts(0, image));
  if (!SelectPartition(*scan->session, d, number)) return nullptr;
  ReadBootSectorParameters(*scan->session);
  RecordingView view;
  if (RecoveryWorker(*scan->session, view) != RunOutcome::Completed) return nullptr;
  scan->result = scan->session->CurrentResult();
  if (!scan->result) return nullptr;
  return scan;
}

// The live catalogued file at a slash path of the result tree.
const CatalogueNode* FileAt(const std::shared_ptr<RunResult>& result, const std::u16string& path) {
  for (auto* n = result->catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    if (!n->IsDeleted() && result->paths->FileFolder(n) + u"/" + n->name == path) return n;
  return nullptr;
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray Sha256(const QByteArray& bytes) {
  return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// `field` of the live file at `path` ("sha256"; "adsSha256" for its named stream).
QString ManifestSha(int partition, const QString& path,
                    const QString& field = QStringLiteral("sha256")) {
  QFile f(QStringLiteral(BREVANT_FIXTURES_DIR "/demo.manifest.json"));
  if (!f.open(QIODevice::ReadOnly)) return {};
  for (const QJsonValue& p : QJsonDocument::fromJson(f.readAll())["partitions"].toArray())
    if (p["number"].toInt() == partition)
      for (const QJsonValue& file : p["files"].toArray())
        if (file["path"].toString() == path && !file["deleted"].toBool())
          return file[field].toString();
  return {};
}

bool Run(const QString& program, const QStringList& args) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("MTOOLS_SKIP_CHECK"), QStringLiteral("1"));
  p.setProcessEnvironment(env);
  p.start(program, args);
  return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Live and deleted files of a demo partition in the manifest: {count, bytes} each.
std::array<std::pair<std::uint64_t, std::uint64_t>, 2> ManifestFigures(int partition) {
  std::array<std::pair<std::uint64_t, std::uint64_t>, 2> out{};
  QFile f(QStringLiteral(BREVANT_FIXTURES_DIR "/demo.manifest.json"));
  if (!f.open(QIODevice::ReadOnly)) return out;
  for (const QJsonValue& p : QJsonDocument::fromJson(f.readAll())["partitions"].toArray())
    if (p["number"].toInt() == partition)
      for (const QJsonValue& file : p["files"].toArray()) {
        auto& slot = out[file["deleted"].toBool() ? 1 : 0];
        ++slot.first;
        slot.second += static_cast<std::uint64_t>(file["size"].toDouble());
      }
  return out;
}

QStringList FilesIn(const fs::path& folder) {
  QStringList names;
  for (const auto& e : fs::directory_iterator(folder))
    names << QString::fromStdString(e.path().filename().string());
  return names;
}

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT

  std::unique_ptr<Scan> fat32_, ntfs_, gallery_;
  QTemporaryDir dir_;
  QImage picture_;

  // A window holding the pane, as the main window does.
  struct Window {
    QWidget top;
    CExplorer1* pane = new CExplorer1(&top);
    std::unique_ptr<PreviewController> controller;
    explicit Window(std::unique_ptr<platform::PreviewFolder> folder = nullptr) {
      top.resize(500, 400);
      pane->resize(500, 400);
      controller = folder ? std::make_unique<PreviewController>(pane, &top, std::move(folder))
                          : std::make_unique<PreviewController>(pane, &top);
    }
  };

  // Previews `record` and waits until the pane shows it.
  PreviewOutcome Show(Window& w, const std::shared_ptr<RunResult>& s, const CatalogueNode* record) {
    QSignalSpy shown(w.controller.get(), &PreviewController::Shown);
    if (!record || !w.controller->Preview(s, *record)) return {};
    if (!shown.wait(30000)) return {};
    return shown.takeFirst().at(0).value<PreviewOutcome>();
  }

  // The real window on `image`: a quick run of partition `number`, with the Recovery Mode
  // dialog and the completion message answered as a user would.
  std::unique_ptr<gui::CBrevantDlg> OpenAndRun(const std::string& image, int number) {
    auto w = std::make_unique<gui::CBrevantDlg>(gui::WindowOptions{nullptr, {image}, false});
    w->show();
    if (!QTest::qWaitForWindowExposed(w.get())) return nullptr;
    RecoverySession& s = w->Session();
    w->Tree()->setCurrentIndex(
        w->Tree()->Model()->IndexOf(s.driveRecords.back().partitions[number - 1].treeItem));
    QTimer answer;
    connect(&answer, &QTimer::timeout, [] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || !modal->isVisible()) return;
      if (modal->objectName() == QStringLiteral("COptionSection")) {
        modal->findChild<QRadioButton*>(gui::ControlName(gui::kIdOptionQuick))->setChecked(true);
        modal->findChild<QPushButton*>(gui::ControlName(gui::kIdOptionRecover))->click();
      } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        box->button(QMessageBox::Ok)->click();
      }
    });
    answer.start(5);
    QSignalSpy ended(w.get(), &gui::CBrevantDlg::RunEnded);
    w->OnNext();
    if (ended.isEmpty() && !ended.wait(60000)) return nullptr;
    return w;
  }

  // Selects the result folder at `path` below the top item, as a click in the tree does.
  static bool SelectFolder(gui::CBrevantDlg& w, const QStringList& path) {
    const QAbstractItemModel* model = w.Tree()->Model();
    QModelIndex at = model->index(0, 0);
    for (const QString& name : path) {
      QModelIndex next;
      for (int r = 0; r < model->rowCount(at) && !next.isValid(); ++r)
        if (model->index(r, 0, at).data().toString() == name) next = model->index(r, 0, at);
      if (!next.isValid()) return false;
      at = next;
    }
    w.Tree()->setCurrentIndex(at);
    return true;
  }

  // Clicks the file list's row named `name` with the mouse.
  static bool ClickRow(gui::CBrevantDlg& w, const QString& name) {
    auto* list = w.findChild<QTableView*>(gui::ControlName(gui::kIdFileList));
    for (int r = 0; r < w.Files()->rowCount(); ++r)
      if (w.Files()->index(r, 0).data().toString() == name) {
        const QModelIndex index = w.Files()->index(r, 0);
        list->scrollTo(index);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(index).center());
        return true;
      }
    return false;
  }

  // Clicks a row and waits until the pane shows its file.
  static PreviewOutcome ClickAndWait(gui::CBrevantDlg& w, const QString& name) {
    QSignalSpy shown(&w.Previewer()->Controller(), &PreviewController::Shown);
    if (!ClickRow(w, name) || !shown.wait(30000)) return {};
    return shown.takeFirst().at(0).value<PreviewOutcome>();
  }

 private slots:
  void initTestCase() {
    const fs::path demo = test::FixtureImage("demo");
    QVERIFY(!demo.empty());
    fat32_ = ScanImage(demo.string(), 1);
    ntfs_ = ScanImage(demo.string(), 3);
    QVERIFY(fat32_ && ntfs_);

    // A FAT16 volume made by the file system's own tools, holding what the demo lacks.
    picture_ = QImage(64, 48, QImage::Format_RGB32);
    picture_.fill(QColor(200, 40, 40));
    QPainter(&picture_).fillRect(0, 0, 32, 24, QColor(20, 20, 220));
    QVERIFY(picture_.save(dir_.filePath(QStringLiteral("picture.png"))));
    QFile a(dir_.filePath(QStringLiteral("a.txt"))), b(dir_.filePath(QStringLiteral("b.txt")));
    QVERIFY(a.open(QIODevice::WriteOnly) && a.write("the file in folder A\n") > 0);
    QVERIFY(b.open(QIODevice::WriteOnly) && b.write("the file in folder B, longer\n") > 0);
    a.close();
    b.close();
    const QString image = dir_.filePath(QStringLiteral("gallery.img"));
    const QString at = QStringLiteral("-i");
    QVERIFY(
        Run(QStringLiteral("mkfs.fat"), {QStringLiteral("-C"), QStringLiteral("-F"),
                                         QStringLiteral("16"), image, QStringLiteral("16384")}));
    QVERIFY(
        Run(QStringLiteral("mmd"), {at, image, QStringLiteral("::/A"), QStringLiteral("::/B")}));
    QVERIFY(Run(QStringLiteral("mcopy"), {at, image, dir_.filePath(QStringLiteral("picture.png")),
                                          QStringLiteral("::/picture.png")}));
    QVERIFY(
        Run(QStringLiteral("mcopy"), {at, image, a.fileName(), QStringLiteral("::/A/same.txt")}));
    QVERIFY(
        Run(QStringLiteral("mcopy"), {at, image, b.fileName(), QStringLiteral("::/B/same.txt")}));
    gallery_ = ScanImage(image.toStdString(), 1);
    QVERIFY(gallery_);
  }

  void textImageAndBinaryEachWithTheirView() {
    struct Case {
      const char* what;
      Scan* scan;
      int partition;
      const char16_t* path;
      View view;
    } cases[] = {
        {"FAT32 text", fat32_.get(), 1, u"/Docs/letter.txt", View::Text},
        {"NTFS text", ntfs_.get(), 3, u"/Docs/Projects/2024/Q4/summary.txt", View::Text},
        {"FAT32 binary named .jpg", fat32_.get(), 1, u"/Docs/Projects/2024/Q4/photo.jpg",
         View::Hex},
        {"NTFS binary named .jpg", ntfs_.get(), 3, u"/Docs/Projects/2024/Q4/photo.jpg", View::Hex},
    };
    Window w;
    for (const Case& c : cases) {
      const CatalogueNode* record = FileAt(c.scan->result, c.path);
      QVERIFY2(record, c.what);
      const PreviewOutcome out = Show(w, c.scan->result, record);
      QVERIFY2(!out.path.isEmpty(), qPrintable(out.failure));
      QCOMPARE(w.pane->CurrentView(), c.view);
      QCOMPARE(w.pane->CurrentPath(), out.path);
      QVERIFY(out.path.startsWith(QString::fromStdString(w.controller->Folder().Path().string())));
      const QByteArray bytes = ReadAll(out.path);
      QCOMPARE(QString::fromLatin1(Sha256(bytes)),
               ManifestSha(c.partition, QString::fromStdU16String(c.path)));
      if (c.view == View::Text) QCOMPARE(w.pane->ShownText(), QString::fromUtf8(bytes));
      if (c.view == View::Hex) QVERIFY(w.pane->Hex()->LineText(0).contains(bytes.left(1).toHex()));
    }
    // A picture, from the volume made by mkfs.fat.
    const PreviewOutcome out = Show(w, gallery_->result, FileAt(gallery_->result, u"/picture.png"));
    QCOMPARE(w.pane->CurrentView(), View::Image);
    QCOMPARE(w.pane->ShownImage().size(), picture_.size());
    QCOMPARE(w.pane->ShownImage().pixelColor(5, 5), QColor(20, 20, 220));
    QCOMPARE(w.pane->ShownImage().pixelColor(60, 40), QColor(200, 40, 40));
    QVERIFY(out.path.endsWith(QStringLiteral("picture.png")));
  }

  // A named stream is listed as "name:stream" and previews its own bytes; the file itself
  // stays its unnamed data.
  void namedStreamPreviewsItsOwnBytes() {
    Window w;
    const CatalogueNode* stream = FileAt(ntfs_->result, u"/ads.txt:Zone.Identifier");
    QVERIFY(stream);
    QCOMPARE(std::u16string_view(stream->stream), std::u16string_view(u"Zone.Identifier"));
    PreviewOutcome out = Show(w, ntfs_->result, stream);
    QVERIFY2(!out.path.isEmpty(), qPrintable(out.failure));
    QByteArray bytes = ReadAll(out.path);
    QVERIFY(bytes.startsWith("[ZoneTransfer]"));
    QCOMPARE(QString::fromLatin1(Sha256(bytes)),
             ManifestSha(3, QStringLiteral("/ads.txt"), QStringLiteral("adsSha256")));
    out = Show(w, ntfs_->result, FileAt(ntfs_->result, u"/ads.txt"));
    QVERIFY2(!out.path.isEmpty(), qPrintable(out.failure));
    QCOMPARE(QString::fromLatin1(Sha256(ReadAll(out.path))),
             ManifestSha(3, QStringLiteral("/ads.txt")));
  }

  void refusedExtensionShowsTheMessageAndLeavesThePane() {
    Window w;
    const std::shared_ptr<RunResult>& s = fat32_->result;
    const PreviewOutcome before = Show(w, s, FileAt(s, u"/Docs/letter.txt"));
    QVERIFY(!before.path.isEmpty());
    QSignalSpy busy(w.controller.get(), &PreviewController::BusyChanged);
    QSignalSpy refused(w.controller.get(), &PreviewController::Refused);
    const CatalogueNode* clip = FileAt(s, u"/Media/clip.bin");
    QVERIFY(clip);
    QVERIFY(!w.controller->Preview(s, *clip));
    QCOMPARE(refused.count(), 1);
    auto* box = w.top.findChild<QMessageBox*>(QStringLiteral("previewRefusedMessage"));
    QVERIFY(box);
    QVERIFY(box->isVisible());
    QCOMPARE(box->text(), QStringLiteral("Preview not available for this file\r\n"));
    QCOMPARE(box->windowTitle(), QStringLiteral("Calverin Brevant"));
    QCOMPARE(box->icon(), QMessageBox::Question);
    QCOMPARE(box->standardButtons(), QMessageBox::Ok);
    // Nothing else happened: the pane and the folder are as they were.
    QCOMPARE(busy.count(), 0);
    QCOMPARE(w.pane->CurrentView(), View::Text);
    QCOMPARE(w.pane->CurrentPath(), before.path);
    QVERIFY(QFile::exists(before.path));
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    QTRY_VERIFY(!w.top.findChild<QMessageBox*>(QStringLiteral("previewRefusedMessage")));
  }

  void sameNameInTwoFoldersEachPreviewsItsOwnBytes() {
    Window w;
    const std::shared_ptr<RunResult>& s = gallery_->result;
    const CatalogueNode* a = FileAt(s, u"/A/same.txt");
    const CatalogueNode* b = FileAt(s, u"/B/same.txt");
    QVERIFY(a && b && a != b);
    // Rows as the file list holds them, each with its own record.
    const std::vector<const CatalogueNode*> records{a, b};
    const auto rows = [&](int row) { return records[static_cast<std::size_t>(row)]; };
    QSignalSpy shown(w.controller.get(), &PreviewController::Shown);
    for (auto [selection, expected] :
         {std::pair{std::vector<int>{1}, "the file in folder B, longer\n"},
          std::pair{std::vector<int>{0}, "the file in folder A\n"},
          std::pair{std::vector<int>{1, 0}, "the file in folder A\n"}}) {  // the lowest row
      gui::PreviewClickedFile(*w.controller, s, rows, selection);
      QVERIFY(shown.wait(30000));
      QCOMPARE(w.pane->ShownText(), QString::fromLatin1(expected));
      QCOMPARE(ReadAll(w.pane->CurrentPath()), QByteArray(expected));
    }
    // No selected row: nothing at all happens.
    const QString path = w.pane->CurrentPath();
    QSignalSpy busy(w.controller.get(), &PreviewController::BusyChanged);
    gui::PreviewClickedFile(*w.controller, s, rows, std::vector<int>{});
    QCOMPARE(busy.count(), 0);
    QCOMPARE(w.pane->CurrentPath(), path);
    QVERIFY(QFile::exists(path));
  }

  void linkedOrForeignPreviewFolderIsRefused() {
    const fs::path base = fs::path(dir_.path().toStdString()) / "refuse";
    const fs::path outside = base / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "victim.txt") << "keep";
    fs::create_directory_symlink(outside, base / "link");
    const fs::path foreign = base / "foreign";
    fs::create_directories(foreign);
    fs::permissions(foreign, fs::perms::owner_all);
    std::ofstream(foreign / "theirs.txt") << "keep";
    struct Case {
      fs::path folder;
      uid_t owner;
      const char* reason;
      fs::path untouched;
    } cases[] = {
        {base / "link", geteuid(), "symbolic link", outside / "victim.txt"},
        {foreign, geteuid() + 1, "another user", foreign / "theirs.txt"},
    };
    for (const Case& c : cases) {
      {
        Window w(std::make_unique<platform::PreviewFolder>(c.folder, c.owner, true));
        const std::shared_ptr<RunResult>& s = fat32_->result;
        const PreviewOutcome out = Show(w, s, FileAt(s, u"/Docs/letter.txt"));
        QVERIFY(out.path.isEmpty());
        QVERIFY2(out.failure.contains(QLatin1String(c.reason)), qPrintable(out.failure));
        QCOMPARE(w.pane->CurrentView(), View::Failure);
        QVERIFY(w.pane->ShownText().contains(QLatin1String(c.reason)));
      }
      QCOMPARE(ReadAll(QString::fromStdString(c.untouched.string())), QByteArray("keep"));
      QCOMPARE(FilesIn(c.untouched.parent_path()).size(), 1);
    }
    QVERIFY(fs::is_symlink(base / "link"));
  }

  void newerClickSupersedesThePendingPreview() {
    Window w;
    const std::shared_ptr<RunResult>& s = ntfs_->result;
    const CatalogueNode* first = FileAt(s, u"/Docs/Projects/2024/Q4/photo.jpg");
    const CatalogueNode* second = FileAt(s, u"/Docs/letter.txt");
    QVERIFY(first && second);
    QSignalSpy busy(w.controller.get(), &PreviewController::BusyChanged);
    QSignalSpy shown(w.controller.get(), &PreviewController::Shown);
    QVERIFY(w.controller->Preview(s, *first));
    QCOMPARE(w.pane->CurrentView(), View::Busy);  // at once, before anything is extracted
    QVERIFY(w.controller->Pending());
    QVERIFY(w.controller->Preview(s, *second));
    QVERIFY(shown.wait(30000));
    QCOMPARE(shown.count(), 1);
    QCOMPARE(shown.at(0).at(0).value<PreviewOutcome>().name, QStringLiteral("letter.txt"));
    QVERIFY(!w.controller->Pending());
    QCOMPARE(w.pane->CurrentView(), View::Text);
    QCOMPARE(busy.count(), 2);
    QCOMPARE(busy.at(0).at(0).toBool(), true);
    QCOMPARE(busy.at(1).at(0).toBool(), false);
    // Whatever the first one wrote was cleared before the second was written.
    QCOMPARE(FilesIn(w.controller->Folder().Path()), QStringList{QStringLiteral("letter.txt")});
  }

  void largeFileIsPreviewedFromItsFirstBytes() {
    Window w;
    const std::shared_ptr<RunResult>& s = fat32_->result;
    const CatalogueNode* photo = FileAt(s, u"/Docs/Projects/2024/Q4/photo.jpg");
    QVERIFY(photo);
    MemorySink whole;
    QVERIFY(ExtractResultFileTo(*s, whole, *photo).ok);
    QCOMPARE(whole.bytes.size(), 20000);
    w.controller->SetLimit(4096);
    const PreviewOutcome out = Show(w, s, photo);
    QCOMPARE(ReadAll(out.path), whole.bytes.left(4096));
    QVERIFY(out.failure.isEmpty());
    QVERIFY2(w.pane->HeaderText().contains(QStringLiteral("first 4096 bytes of 20000 bytes")),
             qPrintable(w.pane->HeaderText()));
    QCOMPARE(w.pane->Hex()->FileSize(), 4096);
  }

  void noFileWrittenShowsTheExtractionsReason() {
    Window w;
    const std::shared_ptr<RunResult>& s = ntfs_->result;
    // A record whose MFT sector holds no FILE record: the extraction writes nothing.
    const CatalogueNode* bogus = s->catalogue.AppendFile(u"ghost.txt", u"2", u"0", u"5", u"0", u"0",
                                                         u"100", u"32", u"0", u"FILE", u"NULL", 1);
    MemorySink sink;
    const ExtractResult direct = ExtractResultFileTo(*s, sink, *bogus);
    QVERIFY(!direct.ok);
    QCOMPARE(sink.bytes.size(), 0);
    const PreviewOutcome out = Show(w, s, bogus);
    QVERIFY(out.path.isEmpty());
    QCOMPARE(w.pane->CurrentView(), View::Failure);
    QVERIFY2(w.pane->ShownText().contains(QString::fromStdString(direct.error)),
             qPrintable(w.pane->ShownText()));
    QVERIFY(FilesIn(w.controller->Folder().Path()).isEmpty());
  }

  void windowPreviewsTheClickedRowAndChartsTheRun();
  void windowSameNameInTwoFoldersAndAPicture();
  void windowChartsAPartitionsUsedAndFreeSpace();

  void folderHoldsTheLatestPreviewAndGoesAtTheEnd() {
    fs::path folder;
    {
      Window w;
      const std::shared_ptr<RunResult>& s = fat32_->result;
      folder = w.controller->Folder().Path();
      Show(w, s, FileAt(s, u"/Docs/letter.txt"));
      Show(w, s, FileAt(s, u"/main.c"));
      QCOMPARE(FilesIn(folder), QStringList{QStringLiteral("main.c")});
      // The same row twice: cleared and extracted again.
      const PreviewOutcome again = Show(w, s, FileAt(s, u"/main.c"));
      QVERIFY(again.path.endsWith(QStringLiteral("/main.c")));
      QCOMPARE(FilesIn(folder), QStringList{QStringLiteral("main.c")});
    }
    QVERIFY(!fs::exists(folder));
  }
};

void PreviewTest::windowPreviewsTheClickedRowAndChartsTheRun() {
  const std::string demo = test::FixtureImage("demo").string();
  auto w = OpenAndRun(demo, 1);
  QVERIFY(w);
  gui::WindowPreview* p = w->Previewer();
  QVERIFY(p);
  QCOMPARE(p->Pane()->objectName(), gui::ControlName(gui::kIdPreview));
  QCOMPARE(p->Chart()->objectName(), gui::ControlName(gui::kIdPieChart));
  QCOMPARE(p->Controller().Limit(), 64ull << 20);

  // The chart: live against deleted bytes, with the counts in the legend.
  const auto figures = ManifestFigures(1);
  QVERIFY(p->Chart()->isVisible());
  const auto& pieces = p->Chart()->Pieces();
  QCOMPARE(pieces.size(), std::size_t{2});
  QVERIFY2(pieces[0]->label.startsWith(QStringLiteral("Live: %1 files, ").arg(figures[0].first)),
           qPrintable(pieces[0]->label));
  QVERIFY2(pieces[1]->label.startsWith(QStringLiteral("Deleted: %1 files, ").arg(figures[1].first)),
           qPrintable(pieces[1]->label));
  const std::vector<int> sweeps = ui::ShareSweeps({figures[0].second, figures[1].second});
  QCOMPARE(pieces[0]->sweep, sweeps[0]);
  QCOMPARE(pieces[1]->sweep, sweeps[1]);

  // A click on a row previews that row's file, off the window's thread.
  QVERIFY(SelectFolder(*w, {QStringLiteral("Docs")}));
  const PreviewOutcome letter = ClickAndWait(*w, QStringLiteral("letter.txt"));
  QCOMPARE(p->Pane()->CurrentView(), View::Text);
  QCOMPARE(QString::fromLatin1(Sha256(ReadAll(letter.path))),
           ManifestSha(1, QStringLiteral("/Docs/letter.txt")));
  // A deleted file is previewed the same way.
  const PreviewOutcome draft = ClickAndWait(*w, QStringLiteral("old draft.txt"));
  QCOMPARE(p->Pane()->CurrentView(), View::Text);
  QCOMPARE(ReadAll(draft.path).size(), 900);
  QVERIFY(!QFile::exists(letter.path));  // the folder holds the latest preview only

  // A refused extension: the message, and the pane as it was.
  QVERIFY(SelectFolder(*w, {QStringLiteral("Media")}));
  QSignalSpy refused(&p->Controller(), &PreviewController::Refused);
  QVERIFY(ClickRow(*w, QStringLiteral("clip.bin")));
  QCOMPARE(refused.count(), 1);
  auto* box = w->findChild<QMessageBox*>(QStringLiteral("previewRefusedMessage"));
  QVERIFY(box && box->isVisible());
  QCOMPARE(box->text(), QStringLiteral("Preview not available for this file\r\n"));
  QCOMPARE(box->windowTitle(), QStringLiteral("Calverin Brevant"));
  QCOMPARE(p->Pane()->CurrentPath(), draft.path);
  QCOMPARE(p->Pane()->CurrentView(), View::Text);
  box->button(QMessageBox::Ok)->click();
}

void PreviewTest::windowChartsAPartitionsUsedAndFreeSpace() {
  gui::CBrevantDlg w(gui::WindowOptions{nullptr, {test::FixtureImage("demo").string()}, false});
  w.show();
  QVERIFY(QTest::qWaitForWindowExposed(&w));
  gui::CPieChartCtrl* chart = w.Previewer()->Chart();
  QVERIFY(!chart->isVisible());
  RecoverySession& s = w.Session();
  w.Tree()->setCurrentIndex(
      w.Tree()->Model()->IndexOf(s.driveRecords.back().partitions[2].treeItem));
  // The parameter worker reads the allocation map; the chart follows when it is done.
  QTRY_VERIFY_WITH_TIMEOUT(chart->isVisible(), 30000);
  const PartitionFigures figures = s.SelectedFigures();
  QVERIFY(figures.freeBytes.has_value());
  const std::uint64_t used = figures.sizeBytes - *figures.freeBytes;
  QCOMPARE(chart->Pieces().size(), std::size_t{2});
  QCOMPARE(chart->Pieces()[0]->label,
           QStringLiteral("Used: ") + gui::SizeText(static_cast<std::int64_t>(used)));
  QCOMPARE(chart->Pieces()[1]->label,
           QStringLiteral("Free: ") + gui::SizeText(static_cast<std::int64_t>(*figures.freeBytes)));
  const std::vector<int> sweeps = ui::ShareSweeps({used, *figures.freeBytes});
  QCOMPARE(chart->Pieces()[0]->sweep, sweeps[0]);
  QCOMPARE(chart->Pieces()[1]->sweep, sweeps[1]);
  QVERIFY(sweeps[0] > 0 && sweeps[1] > 0);
  // Unknown free space shows no chart rather than a wrong one.
  w.Previewer()->ShowPartitionSpace(figures.sizeBytes, std::nullopt);
  QVERIFY(!chart->isVisible());
}

void PreviewTest::windowSameNameInTwoFoldersAndAPicture() {
  auto w = OpenAndRun(gallery_->session->devicePath[0], 1);
  QVERIFY(w);
  QVERIFY(SelectFolder(*w, {QStringLiteral("A")}));
  QCOMPARE(ReadAll(ClickAndWait(*w, QStringLiteral("same.txt")).path),
           QByteArray("the file in folder A\n"));
  QVERIFY(SelectFolder(*w, {QStringLiteral("B")}));
  QCOMPARE(ReadAll(ClickAndWait(*w, QStringLiteral("same.txt")).path),
           QByteArray("the file in folder B, longer\n"));
  QCOMPARE(w->Previewer()->Pane()->ShownText(), QStringLiteral("the file in folder B, longer\n"));
  w->Tree()->setCurrentIndex(w->Tree()->Model()->index(0, 0));  // the root directory's files
  ClickAndWait(*w, QStringLiteral("picture.png"));
  QCOMPARE(w->Previewer()->Pane()->CurrentView(), View::Image);
  QCOMPARE(w->Previewer()->Pane()->ShownImage().size(), picture_.size());
}

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"

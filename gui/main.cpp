// brevant-gui: the desktop window over the recovery engine.
#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>

#include "core/file_systems.h"
#include "gui/brevant_dlg.h"
#include "gui/preview.h"
#include "gui/screenshot.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("brevant-gui"));
  QApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));
  QApplication::setQuitOnLastWindowClosed(false);  // Exit asks first; only its Yes ends the program

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Calverin Brevant: finds and recovers folders and files, deleted ones included, on ") +
      QString::fromUtf8(brevant::kFileSystemsText.data(),
                        static_cast<qsizetype>(brevant::kFileSystemsText.size())) +
      QStringLiteral(" volumes. It never writes to the disk it reads."));
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption image(QStringLiteral("image"),
                           QStringLiteral("A disk image file to list as a disk (repeatable)."),
                           QStringLiteral("FILE"));
  QCommandLineOption noDisks(QStringLiteral("no-disks"),
                             QStringLiteral("List only the images, not the machine's disks."));
  QCommandLineOption shot(QStringLiteral("screenshot"),
                          QStringLiteral("Scan --partition of the first image, show --folder, save "
                                         "a picture of the window to FILE and end."),
                          QStringLiteral("FILE"));
  QCommandLineOption partition(QStringLiteral("partition"),
                               QStringLiteral("Partition number for --screenshot."),
                               QStringLiteral("N"), QStringLiteral("1"));
  QCommandLineOption folder(QStringLiteral("folder"),
                            QStringLiteral("Folder of the result to select for --screenshot."),
                            QStringLiteral("NAME"));
  QCommandLineOption preview(QStringLiteral("preview"),
                             QStringLiteral("File of --folder to preview for --screenshot."),
                             QStringLiteral("NAME"));
  QCommandLineOption previewLimit(QStringLiteral("preview-limit"),
                                  QStringLiteral("Files larger than this many MiB are previewed "
                                                 "from their first MiB up to it (default 64)."),
                                  QStringLiteral("MIB"), QStringLiteral("64"));
  QCommandLineOption find(QStringLiteral("find"),
                          QStringLiteral("Text to type into the search box for --screenshot."),
                          QStringLiteral("text"));
  parser.addOptions({image, noDisks, shot, partition, folder, preview, previewLimit, find});
  parser.process(app);
  bool limitOk = false;
  const qulonglong limitMiB = parser.value(previewLimit).toULongLong(&limitOk);
  if (!limitOk || limitMiB == 0 || limitMiB > (1ull << 20)) {
    std::fprintf(stderr, "brevant-gui: --preview-limit wants a number of MiB from 1 to 1048576\n");
    return 2;
  }

  brevant::gui::WindowOptions options;
  std::unique_ptr<brevant::platform::DiskSource> disks;
  if (!parser.isSet(noDisks) && !parser.isSet(shot)) {
    disks = brevant::platform::MakeSysfsDiskSource();
    options.disks = disks.get();
  }
  for (const QString& path : parser.values(image)) options.images.push_back(path.toStdString());
  // A picture of the window shows it as it first opens, not as this user left it.
  options.keepLayout = !parser.isSet(shot);

  auto* window = new brevant::gui::CBrevantDlg(options);
  QObject::connect(window, &brevant::gui::CBrevantDlg::Exited, &app,
                   [] { QCoreApplication::exit(0); });
  window->Previewer()->Controller().SetLimit(limitMiB << 20);
  window->show();
  if (parser.isSet(shot))
    brevant::gui::TakeScreenshotAfterRun(window, parser.value(shot),
                                         parser.value(partition).toInt(), parser.value(folder),
                                         parser.value(preview), parser.value(find));
  const int code = app.exec();
  if (window->LeftWorkersRunning()) std::_Exit(code);  // Exit does not wait for a stuck worker
  delete window;
  return code;
}

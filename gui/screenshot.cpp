#include "gui/screenshot.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QRadioButton>
#include <QTimer>
#include <cstdio>

#include "gui/brevant_dlg.h"
#include "gui/control_ids.h"
#include "gui/folder_tree_ctrl.h"
#include "gui/preview.h"

namespace brevant::gui {
namespace {

void Fail(const char* why) {
  std::fprintf(stderr, "brevant-gui: screenshot: %s\n", why);
  QCoreApplication::exit(1);
}

// The first item named `name`, breadth-first below the top item.
QModelIndex FindFolder(ResultTreeModel* model, const QString& name) {
  QList<QModelIndex> queue{model->index(0, 0)};
  while (!queue.isEmpty()) {
    QModelIndex i = queue.takeFirst();
    if (i.data().toString() == name) return i;
    for (int r = 0; r < model->rowCount(i); ++r) queue.append(model->index(r, 0, i));
  }
  return {};
}

}  // namespace

QTimer* AnswerRecoveryDialogs(QObject* owner) {
  auto* answer = new QTimer(owner);
  QObject::connect(answer, &QTimer::timeout, owner, [] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    if (modal->objectName() == QStringLiteral("COptionSection")) {
      modal->findChild<QRadioButton*>(ControlName(kIdOptionQuick))->setChecked(true);
      modal->findChild<QAbstractButton*>(ControlName(kIdOptionRecover))->click();
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      if (!box->text().startsWith(QStringLiteral("Scan Completed")))
        std::fprintf(stderr, "brevant-gui: %s\n", qPrintable(box->text()));
      box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
    }
  });
  answer->start(20);
  return answer;
}

void TakeScreenshotAfterRun(CBrevantDlg* window, const QString& file, int partition,
                            const QString& folder, const QString& preview,
                            const QString& find) {
  QTimer* answer = AnswerRecoveryDialogs(window);

  QObject::connect(window, &CBrevantDlg::RunEnded, window, [=](RunOutcome outcome) {
    answer->stop();
    if (outcome != RunOutcome::Completed) return Fail("the run did not complete");
    CFolderTreeCtrl1* tree = window->Tree();
    QModelIndex target =
        folder.isEmpty() ? tree->Model()->index(0, 0) : FindFolder(tree->Model(), folder);
    if (!target.isValid()) return Fail("no such folder in the result");
    for (QModelIndex p = target.parent(); p.isValid(); p = p.parent()) tree->expand(p);
    tree->expand(target);
    tree->setCurrentIndex(target);
    // The search box lists its matches at once, as typing in it does.
    if (!find.isEmpty()) {
      auto* box = window->findChild<QLineEdit*>(QStringLiteral("SearchBox"));
      if (!box) return Fail("no search box");
      box->setText(find);
    }
    auto save = [=] {
      QApplication::processEvents();
      if (!window->grab().save(file)) return Fail("the picture could not be written");
      QCoreApplication::exit(0);
    };
    if (preview.isEmpty()) return save();
    PreviewController& previews = window->Previewer()->Controller();
    QObject::connect(&previews, &PreviewController::Shown, window, save);
    if (!window->Previewer()->PreviewRowNamed(preview)) Fail("no such file in the folder");
  });

  QTimer::singleShot(0, window, [=] {
    RecoverySession& s = window->Session();
    if (s.driveRecords.empty() || partition < 1 || partition > s.driveRecords[0].partitionCount)
      return Fail("no such partition on the first disk");
    CFolderTreeCtrl1* tree = window->Tree();
    tree->setCurrentIndex(
        tree->Model()->IndexOf(s.driveRecords[0].partitions[partition - 1].treeItem));
    window->OnNext();
  });
}

}  // namespace brevant::gui

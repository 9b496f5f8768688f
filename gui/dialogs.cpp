#include "gui/dialogs.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "gui/control_ids.h"

namespace brevant::gui {

COptionSection::COptionSection(QWidget* parent, Mode preset) : QDialog(parent) {
  setObjectName(QStringLiteral("COptionSection"));
  setWindowTitle(QStringLiteral("Recovery Mode"));
  auto* group = new QGroupBox(QStringLiteral("Recovery Option"), this);
  quick_ = new QRadioButton(QStringLiteral("Quick Recovery"), group);
  quick_->setObjectName(ControlName(kIdOptionQuick));
  extensive_ = new QRadioButton(QStringLiteral("Extensive Recovery"), group);
  extensive_->setObjectName(ControlName(kIdOptionExtensive));
  auto* deleted = new QRadioButton(QStringLiteral("Delete File Recovery"), group);
  deleted->setObjectName(ControlName(kIdOptionDelete));
  deleted->setEnabled(false);
  // One group; the menu item that opened the dialog chooses its mode up front, Next nothing
  // (no choice means the quick run).
  quick_->setChecked(preset == Mode::Quick);
  extensive_->setChecked(preset == Mode::Extensive);
  auto* buttons = new QButtonGroup(this);
  buttons->addButton(quick_);
  buttons->addButton(extensive_);
  buttons->addButton(deleted);
  auto* groupLayout = new QVBoxLayout(group);
  groupLayout->addWidget(quick_);
  groupLayout->addWidget(extensive_);
  groupLayout->addWidget(deleted);

  auto* recover = new QPushButton(QStringLiteral("Recover"), this);
  recover->setObjectName(ControlName(kIdOptionRecover));
  recover->setDefault(true);
  connect(recover, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(recover);
  layout->addLayout(row);
}

COptionSection::Mode COptionSection::ChosenMode() const {
  if (quick_->isChecked()) return Mode::Quick;
  if (extensive_->isChecked()) return Mode::Extensive;
  return Mode::None;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CAboutDlg"));
  setWindowTitle(QStringLiteral("About Calverin Brevant"));
  auto* picture = new QLabel(this);
  picture->setPixmap(QPixmap(QStringLiteral(":/res/about.png")));
  picture->setAlignment(Qt::AlignCenter);
  auto* version = new QLabel(QStringLiteral("Version 1.0"), this);
  version->setObjectName(QStringLiteral("AboutVersion"));
  auto* build = new QLabel(QStringLiteral("brevant-gui ") + QStringLiteral(BREVANT_VERSION), this);
  build->setObjectName(QStringLiteral("AboutBuild"));
  auto* ok = new QPushButton(QStringLiteral("Ok"), this);
  ok->setObjectName(ControlName(kIdAboutOk));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(picture);
  layout->addWidget(version, 0, Qt::AlignHCenter);
  layout->addWidget(build, 0, Qt::AlignHCenter);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
}

}  // namespace brevant::gui

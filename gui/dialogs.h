#pragma once
// The small dialogs of the window: Recovery Mode and About.
#include <QDialog>

class QRadioButton;

namespace brevant::gui {

// The Recovery Mode dialog. "Recover" confirms; the mode is the checked radio button.
class COptionSection : public QDialog {
  Q_OBJECT
 public:
  enum class Mode { None, Quick, Extensive };
  // `preset` is checked when the dialog opens (None: nothing chosen, which means quick).
  explicit COptionSection(QWidget* parent = nullptr, Mode preset = Mode::None);
  Mode ChosenMode() const;

 private:
  QRadioButton* quick_;
  QRadioButton* extensive_;
};

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace brevant::gui

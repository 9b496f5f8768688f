#pragma once
// A picture of the window after a run, for the README: made by the program itself so it can be
// remade under a virtual display (scripts/screenshot).
#include <QString>

class QObject;
class QTimer;

namespace brevant::gui {

class CBrevantDlg;

// Answers the Recovery Mode dialog with "Quick Recovery" and "Recover", and every message with
// OK, as soon as they appear; runs until the returned timer (owned by `owner`) is stopped.
QTimer* AnswerRecoveryDialogs(QObject* owner);

// Selects partition `partition` of the first disk, runs a quick recovery (answering the
// dialogs as a user would), selects the folder named `folder`, previews its file named
// `preview` (when given) and saves the window to `file`; then ends the event loop (exit code 0,
// or 1 when something could not be done).
void TakeScreenshotAfterRun(CBrevantDlg* window, const QString& file, int partition,
                            const QString& folder, const QString& preview = {},
                            const QString& find = {});

}  // namespace brevant::gui

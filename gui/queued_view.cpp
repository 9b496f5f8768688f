#include "gui/queued_view.h"

#include <QThread>

#include "gui/display_text.h"

namespace brevant::gui {

template <typename F>
void QueuedRecoveryView::Post(F&& f) {
  if (closing_.load()) return;
  if (QThread::currentThread() == context_->thread()) {
    f();
    return;
  }
  QMetaObject::invokeMethod(
      context_,
      [this, f = std::forward<F>(f)]() {
        if (!closing_.load()) f();
      },
      Qt::QueuedConnection);
}

void QueuedRecoveryView::SetStatusText(const std::u16string& text) {
  Post([this, t = Q(text)] { target_->ShowStatusText(t); });
}

void QueuedRecoveryView::SetProgress(int percent) {
  Post([this, percent] { target_->ShowProgress(percent); });
}

void QueuedRecoveryView::SetStopEnabled(bool enabled) {
  Post([this, enabled] { target_->EnableStop(enabled); });
}

bool QueuedRecoveryView::ShowMessage(const std::u16string& text, const std::u16string& caption,
                                     MessageIcon icon, MessageButtons buttons) {
  if (closing_.load()) return false;
  const QString t = Q(text), c = Q(caption);
  if (QThread::currentThread() == context_->thread()) return target_->AskUser(t, c, icon, buttons);
  bool answer = false;
  // The worker waits here until the user has answered on the user-interface thread.
  QMetaObject::invokeMethod(
      context_,
      [&] {
        if (!closing_.load()) answer = target_->AskUser(t, c, icon, buttons);
      },
      Qt::BlockingQueuedConnection);
  return answer;
}

void QueuedRecoveryView::HandOverResult(std::shared_ptr<RunResult> result) {
  Post([this, result = std::move(result)] { target_->TakeResult(result); });
}

void QueuedRecoveryView::RunEnded(RunOutcome outcome) {
  Post([this, outcome] { target_->ShowRunEnded(outcome); });
}

}  // namespace brevant::gui

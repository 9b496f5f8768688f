#pragma once
// The window's side of the view port. Workers call it from their own threads; every call is
// carried out on the user-interface thread, in the order it was made, and a question waits
// there for the user's answer.
#include <QObject>
#include <QString>
#include <atomic>

#include "core/recovery_view.h"
#include "core/run_result.h"

namespace brevant::gui {

// What the window does with each report, always on the user-interface thread.
class ViewTarget {
 public:
  virtual ~ViewTarget() = default;
  virtual void ShowStatusText(const QString& text) = 0;
  virtual void ShowProgress(int percent) = 0;
  virtual void EnableStop(bool enabled) = 0;
  virtual bool AskUser(const QString& text, const QString& caption, MessageIcon icon,
                       MessageButtons buttons) = 0;
  virtual void TakeResult(std::shared_ptr<RunResult> result) = 0;
  virtual void ShowRunEnded(RunOutcome outcome) = 0;
};

class QueuedRecoveryView : public RecoveryView {
 public:
  // `context` lives on the user-interface thread; calls queued to it die with it.
  QueuedRecoveryView(QObject* context, ViewTarget* target) : context_(context), target_(target) {}

  void SetStatusText(const std::u16string& text) override;
  void SetProgress(int percent) override;
  void SetStopEnabled(bool enabled) override;
  bool ShowMessage(const std::u16string& text, const std::u16string& caption, MessageIcon icon,
                   MessageButtons buttons) override;
  void HandOverResult(std::shared_ptr<RunResult> result) override;
  void RunEnded(RunOutcome outcome) override;

  // While the program closes, questions are answered "no" without being shown and nothing
  // more reaches the window, so a worker never waits for a window that is going away.
  void Close() { closing_.store(true); }
  bool Closing() const { return closing_.load(); }

 private:
  template <typename F>
  void Post(F&& f);
  QObject* context_;
  ViewTarget* target_;
  std::atomic<bool> closing_{false};
};

}  // namespace brevant::gui

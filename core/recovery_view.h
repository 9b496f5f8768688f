#pragma once
// The port through which the worker and the engines report to whoever shows them:
// the command line and the desktop window each implement it.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace brevant {
class RunResult;
enum class RunOutcome;

enum class MessageIcon { None, Error, Question, Information };
enum class MessageButtons { Ok, YesNo };

class RecoveryView {
 public:
  virtual ~RecoveryView() = default;
  virtual void SetStatusText(const std::u16string& text) = 0;
  virtual void SetProgress(int percent) = 0;  // 0..100
  virtual void SetStopEnabled(bool enabled) = 0;
  // Waits for the answer; true for OK or Yes.
  virtual bool ShowMessage(const std::u16string& text, const std::u16string& caption,
                           MessageIcon icon, MessageButtons buttons) = 0;
  // The run's whole result, in one step, when the run completed or stopped (a stopped run's
  // result holds what was found until then). A failed run hands over nothing.
  virtual void HandOverResult(std::shared_ptr<RunResult> result) = 0;
  // The run has ended; the last call of every run, whatever its outcome.
  virtual void RunEnded(RunOutcome outcome) = 0;
};

// Records every call, for tests. Questions are answered with `answer`.
class RecordingView : public RecoveryView {
 public:
  struct Call {
    std::string kind;  // "status", "progress", "stop", "message", "result", "ended"
    std::u16string text;
    std::u16string caption;
    int value = 0;
  };
  void SetStatusText(const std::u16string& text) override;
  void SetProgress(int percent) override;
  void SetStopEnabled(bool enabled) override;
  bool ShowMessage(const std::u16string& text, const std::u16string& caption, MessageIcon icon,
                   MessageButtons buttons) override;
  void HandOverResult(std::shared_ptr<RunResult> result) override;
  void RunEnded(RunOutcome outcome) override;

  std::vector<Call> Calls() const;
  std::vector<int> ProgressValues() const;
  std::vector<std::u16string> StatusTexts() const;
  std::vector<std::u16string> Messages() const;
  std::shared_ptr<RunResult> LastResult() const;
  // The outcome RunEnded reported last; -1 (as int) before any.
  int LastOutcome() const;
  bool answer = true;

 private:
  std::vector<std::u16string> TextsOf(std::string_view kind) const;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::shared_ptr<RunResult> result_;
};

// Reports a percentage only when it changes, with the status text "N % Completed".
class ProgressReporter {
 public:
  explicit ProgressReporter(RecoveryView& view) : view_(view) {}
  // Position `done` of `total` (e.g. sectors from the partition's first one); capped at 100.
  void Report(unsigned long long done, unsigned long long total);
  int Last() const { return last_; }

 private:
  RecoveryView& view_;
  int last_ = -1;
};

}  // namespace brevant

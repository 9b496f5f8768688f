#include "core/recovery_view.h"

#include "core/run_result.h"
#include "core/text.h"

namespace brevant {

void RecordingView::SetStatusText(const std::u16string& text) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"status", text, {}, 0});
}
void RecordingView::SetProgress(int percent) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"progress", {}, {}, percent});
}
void RecordingView::SetStopEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"stop", {}, {}, enabled ? 1 : 0});
}
bool RecordingView::ShowMessage(const std::u16string& text, const std::u16string& caption,
                                MessageIcon icon, MessageButtons buttons) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"message", text, caption, static_cast<int>(icon) * 10 + static_cast<int>(buttons)});
  return buttons == MessageButtons::Ok ? true : answer;
}
void RecordingView::HandOverResult(std::shared_ptr<RunResult> result) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"result", {}, {}, 0});
  result_ = std::move(result);
}
void RecordingView::RunEnded(RunOutcome outcome) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"ended", {}, {}, static_cast<int>(outcome)});
}
std::vector<RecordingView::Call> RecordingView::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}
std::vector<int> RecordingView::ProgressValues() const {
  std::lock_guard lock(mutex_);
  std::vector<int> out;
  for (const auto& c : calls_)
    if (c.kind == "progress") out.push_back(c.value);
  return out;
}
std::vector<std::u16string> RecordingView::TextsOf(std::string_view kind) const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> out;
  for (const auto& c : calls_)
    if (c.kind == kind) out.push_back(c.text);
  return out;
}
std::vector<std::u16string> RecordingView::StatusTexts() const { return TextsOf("status"); }
std::vector<std::u16string> RecordingView::Messages() const { return TextsOf("message"); }
std::shared_ptr<RunResult> RecordingView::LastResult() const {
  std::lock_guard lock(mutex_);
  return result_;
}
int RecordingView::LastOutcome() const {
  std::lock_guard lock(mutex_);
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
    if (it->kind == "ended") return it->value;
  return -1;
}

void ProgressReporter::Report(unsigned long long done, unsigned long long total) {
  int percent = 100;
  if (total > 0 && done < total)
    percent = static_cast<int>(static_cast<unsigned __int128>(done) * 100 / total);
  if (percent == last_) return;
  last_ = percent;
  view_.SetProgress(percent);
  view_.SetStatusText(ToText(static_cast<unsigned>(percent)) + u" % Completed");
}

}  // namespace brevant

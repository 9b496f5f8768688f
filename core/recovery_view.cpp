#include "core/recovery_view.h"

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
void RecordingView::HandOverTree(std::shared_ptr<ui::ResultTree> tree) {
  std::lock_guard lock(mutex_);
  calls_.push_back({"tree", {}, {}, 0});
  tree_ = std::move(tree);
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
std::vector<std::u16string> RecordingView::StatusTexts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::u16string> out;
  for (const auto& c : calls_)
    if (c.kind == "status") out.push_back(c.text);
  return out;
}
std::shared_ptr<ui::ResultTree> RecordingView::LastTree() const {
  std::lock_guard lock(mutex_);
  return tree_;
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

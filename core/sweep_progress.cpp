#include "core/sweep_progress.h"

#include "core/text.h"

namespace brevant {

SweepProgress::SweepProgress(RecoveryView& view, std::uint64_t totalSectors)
    : view_(view),
      total_(totalSectors),
      start_(std::chrono::steady_clock::now()),
      lastReport_(start_) {}

std::u16string SweepProgress::TimeLeftText(std::uint64_t done, std::uint64_t total,
                                           double seconds) {
  if (done == 0 || done >= total || seconds <= 0) return {};
  const double left = seconds * static_cast<double>(total - done) / static_cast<double>(done);
  const auto whole = static_cast<std::uint64_t>(left + 0.5);
  const std::uint64_t h = whole / 3600, m = whole / 60 % 60, s = whole % 60;
  std::u16string text = u"about ";
  if (h > 0) text += ToText(h) + u":" + (m < 10 ? u"0" : u"");
  text += ToText(m) + (s < 10 ? u":0" : u":") + ToText(s) + u" left";
  return text;
}

void SweepProgress::Report(std::uint64_t done) {
  if (done > total_) done = total_;
  const int percent =
      total_ == 0 ? 100 : static_cast<int>(static_cast<unsigned __int128>(done) * 100 / total_);
  const auto now = std::chrono::steady_clock::now();
  if (percent == lastPercent_ && now - lastReport_ < std::chrono::seconds(1)) return;
  lastReport_ = now;
  const bool moved = percent != lastPercent_;
  lastPercent_ = percent;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::u16string text = ToText(static_cast<unsigned>(percent)) + u" % Completed (" + ToText(done) +
                        u" of " + ToText(total_) + u" sectors swept";
  const std::u16string left = TimeLeftText(done, total_, seconds);
  if (!left.empty()) text += u", " + left;
  // The text first: a view that prints lines shows it with the percentage.
  view_.SetStatusText(text + u")");
  if (moved) view_.SetProgress(percent);
}

}  // namespace brevant

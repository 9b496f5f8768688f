#include "cli/cli_view.h"

#include <unistd.h>

#include "core/text.h"

namespace brevant::cli {

CliView::CliView(bool quiet) : tty_(::isatty(STDERR_FILENO) == 1), quiet_(quiet) {}

void CliView::SetStatusText(const std::u16string& text) {
  // The bar shows the percentage; what a sweep adds after it (sectors swept, time left) goes
  // beside the bar.
  if (auto at = text.find(u"% Completed"); at != std::u16string::npos) {
    detail_ = ToUtf8(text.substr(at + 11));
    if (tty_ && barOpen_ && !quiet_ && !ended_) SetProgress(lastPrinted_);
    return;
  }
  detail_.clear();
  // The last words of a run: a bar drawn after them (the bar's reset) would be stray.
  if (text.starts_with(u"Scan Completed") || text == u"Process Aborted...") ended_ = true;
  Finish();
  if (!quiet_ && !text.empty()) std::fprintf(stderr, "%s\n", ToUtf8(text).c_str());
  lastPrinted_ = -1;
}

void CliView::SetProgress(int percent) {
  if (quiet_ || ended_) return;
  if (tty_) {
    int filled = percent * 40 / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d %%%s\033[K", filled,
                 "########################################", 40 - filled, "", percent,
                 detail_.c_str());
    std::fflush(stderr);
    barOpen_ = true;
  } else if (percent == 100 || percent / 10 != lastPrinted_ / 10 || lastPrinted_ < 0) {
    // Plain lines for logs: one every ten percent.
    if (percent != lastPrinted_)
      std::fprintf(stderr, "%d %% completed%s\n", percent, detail_.c_str());
  }
  lastPrinted_ = percent;
}

void CliView::RunEnded(RunOutcome) {
  Finish();
  ended_ = true;
}

void CliView::Finish() {
  if (barOpen_) {
    std::fputc('\n', stderr);
    barOpen_ = false;
  }
}

bool CliView::ShowMessage(const std::u16string& text, const std::u16string& /*caption*/,
                          MessageIcon icon, MessageButtons buttons) {
  Finish();
  std::u16string line = text;
  while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r' || line.back() == u' '))
    line.pop_back();
  // An error ends the run as failed; the command reports it as its one error line.
  if (icon == MessageIcon::Error) return true;
  if (!quiet_)
    std::fprintf(stderr, "%s\n", ToUtf8(line).c_str());
  // Questions from an engine are answered "No" on the command line: nothing is assumed.
  return buttons == MessageButtons::Ok;
}

}  // namespace brevant::cli

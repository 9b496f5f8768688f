#include "cli/cli_view.h"

#include <unistd.h>

#include "core/text.h"

namespace brevant::cli {

CliView::CliView(bool quiet) : tty_(::isatty(STDERR_FILENO) == 1), quiet_(quiet) {}

void CliView::SetStatusText(const std::u16string& text) {
  if (text.find(u"% Completed") != std::u16string::npos) return;  // the bar shows it
  if (text == u"Process Aborted...") aborted_ = true;
  else if (aborted_ && text == u"Scan Completed...") return;  // a stopped run is not complete
  Finish();
  if (!quiet_ && !text.empty()) std::fprintf(stderr, "%s\n", ToUtf8(text).c_str());
  lastPrinted_ = -1;
}

void CliView::SetProgress(int percent) {
  if (quiet_) return;
  if (tty_) {
    int filled = percent * 40 / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d %%", filled, "########################################",
                 40 - filled, "", percent);
    std::fflush(stderr);
    barOpen_ = true;
  } else if (percent == 100 || percent / 10 != lastPrinted_ / 10 || lastPrinted_ < 0) {
    // Plain lines for logs: one every ten percent.
    if (percent != lastPrinted_) std::fprintf(stderr, "%d %% completed\n", percent);
  }
  lastPrinted_ = percent;
}

void CliView::Finish() {
  if (barOpen_) {
    std::fputc('\n', stderr);
    barOpen_ = false;
  }
}

bool CliView::ShowMessage(const std::u16string& text, const std::u16string& /*caption*/,
                          MessageIcon icon, MessageButtons buttons) {
  // A stopped run reports nothing as a success.
  if (aborted_ && icon != MessageIcon::Error) return false;
  Finish();
  std::u16string line = text;
  while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r' || line.back() == u' '))
    line.pop_back();
  if (icon == MessageIcon::Error)
    std::fprintf(stderr, "brevant: warning: %s\n", ToUtf8(line).c_str());
  else if (!quiet_)
    std::fprintf(stderr, "%s\n", ToUtf8(line).c_str());
  // Questions from an engine are answered "No" on the command line: nothing is assumed.
  return buttons == MessageButtons::Ok;
}

}  // namespace brevant::cli

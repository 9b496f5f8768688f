#pragma once
// The command line's side of the view port: progress on standard error.
#include <cstdio>
#include <string>

#include "core/recovery_view.h"

namespace brevant::cli {

class CliView : public RecoveryView {
 public:
  explicit CliView(bool quiet = false);
  void SetStatusText(const std::u16string& text) override;
  void SetProgress(int percent) override;
  void SetStopEnabled(bool) override {}
  bool ShowMessage(const std::u16string& text, const std::u16string& caption, MessageIcon icon,
                   MessageButtons buttons) override;
  void HandOverResult(std::shared_ptr<RunResult>) override {}
  void RunEnded(RunOutcome) override;
  void Finish();  // ends a progress bar line

 private:
  bool tty_;
  bool quiet_;
  bool barOpen_ = false;
  bool ended_ = false;  // the run has said how it ended: no bar follows
  int lastPrinted_ = -1;
  std::string phase_;
  std::string detail_;  // what a sweep reports beside the percentage
};

}  // namespace brevant::cli

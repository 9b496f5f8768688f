// The estimate of the time left that a sweep shows beside its percentage.
#include "core/sweep_progress.h"

#include <gtest/gtest.h>

namespace brevant {
namespace {

TEST(SweepProgressText, TimeLeftFromTheRateSoFar) {
  EXPECT_EQ(SweepProgress::TimeLeftText(0, 100, 5), u"");
  EXPECT_EQ(SweepProgress::TimeLeftText(50, 100, 30), u"about 0:30 left");
  EXPECT_EQ(SweepProgress::TimeLeftText(10, 100, 100), u"about 15:00 left");
  EXPECT_EQ(SweepProgress::TimeLeftText(1, 100, 100), u"about 2:45:00 left");
  EXPECT_EQ(SweepProgress::TimeLeftText(100, 100, 100), u"");
}

TEST(SweepProgressText, ReportsSectorsSweptAndThePercentageOnceItChanges) {
  RecordingView view;
  SweepProgress progress(view, 1000);
  progress.Report(0);
  progress.Report(5);
  progress.Report(500);
  progress.Report(2000);  // past the end counts as the end
  EXPECT_EQ(view.ProgressValues(), (std::vector<int>{0, 50, 100}));
  EXPECT_EQ(view.StatusTexts().front(), u"0 % Completed (0 of 1000 sectors swept)");
  EXPECT_EQ(view.StatusTexts().back(), u"100 % Completed (1000 of 1000 sectors swept)");
}

}  // namespace
}  // namespace brevant

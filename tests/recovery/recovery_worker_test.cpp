#include "recovery/recovery_worker.h"

#include <gtest/gtest.h>

namespace brevant {
namespace {

TEST(RecoveryWorker, WithNothingSelectedOnlyMarksTheRunFinished) {
  RecoverySession s;
  RecordingView view;
  EXPECT_EQ(RecoveryWorker(s, view), RunOutcome::Completed);
  EXPECT_EQ(s.scanDone.load(), 1);
  EXPECT_EQ(s.recoveryMode.load(), 1);
  bool message = false;
  for (const auto& c : view.Calls()) message |= c.kind == "message";
  EXPECT_FALSE(message);
  auto calls = view.Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2].kind, "stop");
  EXPECT_EQ(calls[calls.size() - 2].value, 0);  // Stop disabled at the end
  EXPECT_EQ(calls.back().kind, "ended");
  EXPECT_EQ(view.LastOutcome(), static_cast<int>(RunOutcome::Completed));
  EXPECT_EQ(s.runInProgress.load(), 0);
}

TEST(RecoveryWorker, ANewRunStartsFromAnEmptyCatalogue) {
  RecoverySession s;
  s.catalogue.AppendFile(u"old", u"0", u"1", u"0", u"0", u"0", u"0", u"32", u"0", u"FILE", u"NULL", 1);
  RecordingView view;
  RecoveryWorker(s, view);
  EXPECT_EQ(s.catalogue.fileList.First(), nullptr);
  ASSERT_NE(s.CurrentResult(), nullptr);
  EXPECT_EQ(s.CurrentResult()->catalogue.fileList.First(), nullptr);
}

}  // namespace
}  // namespace brevant

namespace brevant {
namespace {

// The window's "Extensive Recovery" sets the mode and calls the worker: the run keeps it.
TEST(RecoveryWorker, TheExtensiveModeIsKeptAndAnyOtherValueRunsTheQuickOne) {
  for (const auto& [asked, kept] : {std::pair<int, int>{2, 2}, {1, 1}, {-1, 1}, {3, 1}}) {
    RecoverySession s;
    RecordingView view;
    s.recoveryMode.store(static_cast<std::int16_t>(asked));
    RecoveryWorker(s, view);
    EXPECT_EQ(s.recoveryMode.load(), kept) << asked;
  }
}

}  // namespace
}  // namespace brevant

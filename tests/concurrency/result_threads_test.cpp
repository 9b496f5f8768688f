// One thread lists, resolves paths and extracts from a finished result while runs on other
// partitions work in the same session: the old result must stay whole and unchanged. Built and
// run under ThreadSanitizer and AddressSanitizer by scripts/run-tests.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/run_result.h"
#include "core/text.h"
#include "disk/disks.h"
#include "model/display_format.h"
#include "model/file_listing.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

constexpr int kFat32 = 1, kFat16 = 2, kNtfs = 3;  // partitions of the demo image

// FNV-1a over every byte written.
class HashSink : public ByteSink {
 public:
  bool Write(const void* data, std::size_t length) override {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) hash = (hash ^ p[i]) * 1099511628211ULL;
    bytes += length;
    return true;
  }
  std::uint64_t hash = 1469598103934665603ULL;
  std::uint64_t bytes = 0;
};

// Everything a window does with a result: list every folder, resolve every path, extract every
// live file. Returns one fingerprint of all of it.
std::uint64_t Browse(RunResult& result) {
  HashSink all;
  std::vector<const ui::TreeItem*> stack{result.tree->Root()};
  while (!stack.empty()) {
    const ui::TreeItem* item = stack.back();
    stack.pop_back();
    for (const auto& child : item->children) stack.push_back(child.get());
    for (const CatalogueNode* f : ui::ListFolderFiles(result, item)) {
      const std::string line = ToUtf8(result.paths->EntryPath(f)) + "|" +
                               ToUtf8(ui::FormatEntryTime(*f, result.fsName)) + "\n";
      all.Write(line.data(), line.size());
      if (f->IsDeleted()) continue;
      HashSink file;
      ExtractResult r = ExtractResultFileTo(result, file, *f);
      const std::string summary = (r.ok ? "ok " : "failed ") + std::to_string(file.hash) + "\n";
      all.Write(summary.data(), summary.size());
    }
  }
  for (auto* n = result.catalogue.folderList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    const std::string line = ToUtf8(result.paths->EntryPath(n)) + "\n";
    all.Write(line.data(), line.size());
  }
  return all.hash;
}

class ResultThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    image = test::FixtureImage("demo").string();
    if (image.empty()) GTEST_SKIP() << "demo fixture missing";
    EnumerateDisks(s, startup, nullptr, {image});
  }
  RunOutcome Scan(int number) {
    EXPECT_TRUE(SelectPartition(s, 0, number));
    ReadBootSectorParameters(s);
    RecordingView view;
    return RecoveryWorker(s, view);
  }
  std::string image;
  RecoverySession s;
  ui::ResultTree startup;
};

TEST_F(ResultThreads, BrowsingAnOldResultWhileNewRunsWork) {
  ASSERT_EQ(Scan(kFat32), RunOutcome::Completed);
  std::shared_ptr<RunResult> first = s.CurrentResult();
  const std::uint64_t expected = Browse(*first);

  std::atomic<bool> runsDone{false};
  std::atomic<int> rounds{0};
  std::atomic<int> mismatches{0};
  std::thread browser([&] {
    // At least one full round overlaps the runs; rounds go on until they have ended.
    do {
      if (Browse(*first) != expected) ++mismatches;
      ++rounds;
    } while (!runsDone.load());
  });
  std::thread runner([&] {
    for (int number : {kNtfs, kFat16, kNtfs}) EXPECT_EQ(Scan(number), RunOutcome::Completed);
    runsDone.store(true);
  });
  runner.join();
  browser.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_GE(rounds.load(), 1);
  EXPECT_NE(s.CurrentResult(), first);
  EXPECT_EQ(s.CurrentResult()->fsName, "NTFS");

  // The session has let go of it; the last holder still has all of it.
  std::weak_ptr<RunResult> watch = first;
  EXPECT_EQ(Browse(*first), expected);
  first.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_F(ResultThreads, ListingTheCurrentResultWhileTheNextRunReplacesIt) {
  ASSERT_EQ(Scan(kNtfs), RunOutcome::Completed);
  std::atomic<bool> runsDone{false};
  std::atomic<int> empty{0};
  std::thread browser([&] {
    do {
      // Whatever result is current at this moment stays whole while it is held.
      std::shared_ptr<RunResult> current = s.CurrentResult();
      if (!current || !current->tree || current->catalogue.fileList.First() == nullptr)
        ++empty;
      else
        Browse(*current);
    } while (!runsDone.load());
  });
  for (int number : {kFat16, kFat32}) EXPECT_EQ(Scan(number), RunOutcome::Completed);
  runsDone.store(true);
  browser.join();
  EXPECT_EQ(empty.load(), 0);
}

}  // namespace
}  // namespace brevant

// Files recovered by several writer threads land exactly as one after another would put them:
// the same names (clashes numbered in task order), bytes, times and reported outcomes; and a
// stop leaves on disk only files that were reported. Built and run under ThreadSanitizer by
// scripts/run-tests.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <map>
#include <set>

#include "core/run_result.h"
#include "core/text.h"
#include "disk/disks.h"
#include "recovery/file_recoverer.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

constexpr int kFat32 = 1, kNtfs = 3;  // partitions of the demo image

// A destination as relative path -> (kind, bytes, modification time).
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    if (e.is_directory()) {
      out[rel] = "folder";
      continue;
    }
    struct stat st {};
    ::stat(e.path().c_str(), &st);
    out[rel] = "file " + std::to_string(st.st_mtime) + " " + test::ReadFileBytes(e.path());
  }
  return out;
}

// Every file of the catalogue twice, spread over four folders so that names from different
// folders of the volume meet, with new folders made in between, some named like a file just
// recovered into the same folder (numbered past it, as a file would be).
std::vector<RecoverTask> ClashingTasks(const RunResult& result) {
  std::vector<RecoverTask> tasks;
  for (int round = 0; round < 2; ++round) {
    std::size_t i = 0;  // the same folders in both rounds: every name of the second clashes
    for (auto* n = result.catalogue.fileList.First(); n;
         n = CatalogueList<CatalogueNode>::Next(n)) {
      const std::u16string bin = u"bin" + ToText(i % 4);
      tasks.push_back({n, {bin}, tasks.size()});
      if (i % 7 == 3) tasks.push_back({nullptr, {bin, n->name}, tasks.size()});
      if (i % 5 == 1) tasks.push_back({n, {bin, u"sub" + ToText(i % 3)}, tasks.size()});
      ++i;
    }
  }
  return tasks;
}

// What a listener hears, in order: one line per task.
class Collect : public RecoverListener {
 public:
  explicit Collect(const std::vector<RecoverTask>& tasks, const fs::path& root)
      : tasks_(tasks), root_(root) {}
  bool NextTask(RecoverTask& task) override {
    if (next_ == tasks_.size()) return false;
    task = tasks_[next_++];
    return true;
  }
  void FolderMade(const RecoverTask& task, const std::string& error) override {
    lines.push_back(std::to_string(task.tag) + " folder " + (error.empty() ? "made" : "failed"));
  }
  void FileRecovered(const RecoverTask& task, const ExtractResult& r) override {
    const std::string where = r.path.empty() ? "-" : fs::relative(r.path, root_).string();
    lines.push_back(std::to_string(task.tag) + " " + (r.ok ? "ok " : "failed ") + where + " " +
                    std::to_string(r.bytesWritten));
    if (!r.path.empty()) reported.push_back(r.path);
  }
  bool StopRequested() override { return stopAfter_ && lines.size() >= stopAfter_; }
  void StopAfter(std::size_t reports) { stopAfter_ = reports; }

  std::vector<std::string> lines;
  std::vector<fs::path> reported;

 private:
  const std::vector<RecoverTask>& tasks_;
  fs::path root_;
  std::size_t next_ = 0;
  std::size_t stopAfter_ = 0;
};

class ParallelRecovery : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    const std::string image = test::FixtureImage("demo").string();
    if (image.empty()) GTEST_SKIP() << "demo fixture missing";
    EnumerateDisks(s, startup, nullptr, {image});
    ASSERT_TRUE(SelectPartition(s, 0, GetParam()));
    ReadBootSectorParameters(s);
    RecordingView view;
    ASSERT_EQ(RecoveryWorker(s, view), RunOutcome::Completed);
    result = s.CurrentResult();
    ASSERT_TRUE(result);
  }
  fs::path Fresh(const std::string& name) {
    const fs::path p = test::TempDir() / (name + "-" + std::to_string(GetParam()));
    fs::remove_all(p);
    return p;
  }
  std::unique_ptr<FileRecoverer> Open(const fs::path& to, const std::atomic<std::int32_t>* stop) {
    std::string error;
    auto r = FileRecoverer::Open(result->Reader(), to, &error, stop);
    EXPECT_TRUE(r) << error;
    return r;
  }

  RecoverySession s;
  ui::ResultTree startup;
  std::shared_ptr<RunResult> result;
};

TEST_P(ParallelRecovery, WritersGiveTheTreeAndReportsOfOneAfterAnother) {
  const std::vector<RecoverTask> tasks = ClashingTasks(*result);
  const std::atomic<std::int32_t> never{0};
  // One after another, by the single-file calls.
  const fs::path one = Fresh("one-by-one");
  std::vector<std::string> expected;
  {
    auto r = Open(one, &never);
    ASSERT_TRUE(r);
    Collect reference(tasks, one);
    for (const RecoverTask& t : tasks) {
      if (!t.file) {
        std::string error;
        reference.FolderMade(t, r->MakeFolder(t.folder, &error) ? "" : error);
      } else {
        reference.FileRecovered(t, r->Recover(*t.file, t.folder));
      }
    }
    expected = reference.lines;
  }
  const auto expectedTree = Tree(one);
  // Clashes happened, and folders named like a file were numbered past it: the case is not
  // trivial.
  std::size_t numbered = 0, numberedFolders = 0;
  for (const auto& [path, what] : expectedTree) {
    numbered += path.find(" (1)") != std::string::npos;
    numberedFolders += what == "folder" && path.find(" (1)") != std::string::npos;
  }
  for (const auto& line : expected) EXPECT_EQ(line.find("folder failed"), std::string::npos);
  EXPECT_GT(numbered, 10u);
  EXPECT_GT(numberedFolders, 0u);

  for (unsigned writers : {1u, 2u, 4u}) {
    SCOPED_TRACE(writers);
    const fs::path to = Fresh("writers-" + std::to_string(writers));
    auto r = Open(to, &never);
    ASSERT_TRUE(r);
    Collect heard(tasks, to);
    r->RecoverAll(heard, writers);
    EXPECT_EQ(heard.lines, expected);
    EXPECT_EQ(Tree(to), expectedTree);
  }
}

TEST_P(ParallelRecovery, AStopLeavesOnlyReportedFiles) {
  const std::vector<RecoverTask> tasks = ClashingTasks(*result);
  std::atomic<std::int32_t> stop{0};
  const fs::path to = Fresh("stopped");
  auto r = Open(to, &stop);
  ASSERT_TRUE(r);
  // The stop comes from the reporting thread while the writers are busy, as Ctrl-C would.
  class Stopping : public Collect {
   public:
    Stopping(const std::vector<RecoverTask>& t, const fs::path& root, std::atomic<std::int32_t>& s)
        : Collect(t, root), stop_(s) {}
    void FileRecovered(const RecoverTask& task, const ExtractResult& result) override {
      Collect::FileRecovered(task, result);
      if (lines.size() == 40) stop_.store(1);
    }
    bool StopRequested() override { return stop_.load() == 1; }

   private:
    std::atomic<std::int32_t>& stop_;
  } heard(tasks, to, stop);
  r->RecoverAll(heard, 2);
  EXPECT_EQ(stop.load(), 1);
  EXPECT_LT(heard.lines.size(), tasks.size());
  std::set<std::string> reported;
  for (const fs::path& p : heard.reported) reported.insert(fs::relative(p, to).string());
  std::size_t files = 0;
  for (const auto& [path, what] : Tree(to)) {
    if (what == "folder") continue;
    ++files;
    EXPECT_TRUE(reported.count(path)) << "not reported: " << path;
  }
  EXPECT_EQ(files, reported.size());
}

INSTANTIATE_TEST_SUITE_P(Demo, ParallelRecovery, ::testing::Values(kFat32, kNtfs),
                         [](const auto& info) { return info.param == kFat32 ? "FAT32" : "NTFS"; });

}  // namespace
}  // namespace brevant

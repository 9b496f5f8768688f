// How runs end, on the demo disk image: completed, stopped inside an engine, failed on
// destroyed parameters, refused while another run works; and results that outlive later runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "core/run_result.h"
#include "disk/disks.h"
#include "model/file_listing.h"
#include "platform/sector_device.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

constexpr int kFat32 = 1, kFat16 = 2, kNtfs = 3;  // partitions of the demo image
constexpr std::uint64_t kNtfsStart = 120832, kNtfsEnd = 153600;
constexpr std::uint64_t kFat32Start = 2048, kFat32End = 83968;

// Asks for a stop once the progress of a scan step reaches `atPercent` (and is not finished).
class StoppingView : public RecordingView {
 public:
  StoppingView(RecoverySession& s, int atPercent) : s_(s), at_(atPercent) {}
  void SetProgress(int percent) override {
    RecordingView::SetProgress(percent);
    if (!fired_ && percent >= at_ && percent < 100) {
      fired_ = true;
      s_.stopRequested.store(1);
    }
  }
  bool fired_ = false;

 private:
  RecoverySession& s_;
  int at_;
};

// A copy of the demo image with sectors [first, end) zeroed.
fs::path DamagedDemo(const std::string& name,
                     std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
  const fs::path demo = test::FixtureImage("demo");
  const fs::path out = test::TempDir() / name;
  fs::copy_file(demo, out, fs::copy_options::overwrite_existing);
  std::fstream f(out, std::ios::in | std::ios::out | std::ios::binary);
  for (auto [first, end] : ranges) {
    const std::string zeros((end - first) * 512, '\0');
    f.seekp(static_cast<std::streamoff>(first * 512));
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  return out;
}

std::size_t Count(const CatalogueList<CatalogueNode>& list) {
  std::size_t n = 0;
  for (auto* p = list.First(); p; p = CatalogueList<CatalogueNode>::Next(p)) ++n;
  return n;
}

bool HasStatus(const RecordingView& view, std::u16string_view text) {
  for (const auto& t : view.StatusTexts())
    if (t == text) return true;
  return false;
}

// A session with `image` as its only disk, as the command line opens one.
struct Opened {
  explicit Opened(const fs::path& image) { EnumerateDisks(s, startup, nullptr, {image.string()}); }
  // Selects partition `number`, reads its parameters and runs the worker, as Next does.
  RunOutcome Scan(int number, RecordingView& view) {
    EXPECT_TRUE(SelectPartition(s, 0, number));
    ReadBootSectorParameters(s);
    return RecoveryWorker(s, view);
  }
  RecoverySession s;
  ui::ResultTree startup;
};

class RunOutcomes : public ::testing::Test {
 protected:
  void SetUp() override {
    image = test::FixtureImage("demo");
    if (image.empty()) GTEST_SKIP() << "demo fixture missing";
    opened = std::make_unique<Opened>(image);
  }
  RunOutcome Scan(int number, RecordingView& view) { return opened->Scan(number, view); }
  // What a full run of partition `number` finds, on a session of its own.
  std::pair<std::size_t, std::size_t> FullCounts(int number) {
    Opened other(image);
    RecordingView view;
    EXPECT_EQ(other.Scan(number, view), RunOutcome::Completed);
    auto r = other.s.CurrentResult();
    return {Count(r->catalogue.folderList), Count(r->catalogue.fileList)};
  }

  fs::path image;
  std::unique_ptr<Opened> opened;
  RecoverySession& s() { return opened->s; }
};

TEST_F(RunOutcomes, ACompletedRunSaysSoAndHandsOverItsWholeResult) {
  for (int number : {kFat32, kFat16, kNtfs}) {
    SCOPED_TRACE(number);
    RecordingView view;
    EXPECT_EQ(Scan(number, view), RunOutcome::Completed);
    EXPECT_EQ(view.LastOutcome(), static_cast<int>(RunOutcome::Completed));
    EXPECT_EQ(view.Messages(), std::vector<std::u16string>{u"Scan Completed Successfully\r\n"});
    EXPECT_TRUE(HasStatus(view, u"Scan Completed..."));
    EXPECT_FALSE(HasStatus(view, u"Process Aborted..."));
    // The result arrives before the completion message, and RunEnded is the last call.
    auto calls = view.Calls();
    std::size_t resultAt = calls.size(), messageAt = calls.size();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].kind == "result") resultAt = i;
      if (calls[i].kind == "message") messageAt = i;
    }
    EXPECT_LT(resultAt, messageAt);
    EXPECT_EQ(calls.back().kind, "ended");

    auto r = s().CurrentResult();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r, view.LastResult());
    EXPECT_EQ(r->outcome, RunOutcome::Completed);
    ASSERT_NE(r->tree, nullptr);
    EXPECT_TRUE(r->tree->isResultTree);
    ASSERT_NE(r->paths, nullptr);
    EXPECT_EQ(r->partitionStart, s().selectedPartitionStart);
    EXPECT_EQ(r->partition.sizeBytes,
              (s().selectedPartitionEnd - s().selectedPartitionStart) * 512);
    EXPECT_TRUE(r->partition.freeBytes.has_value());
    // The figures are those of the catalogue the result holds; the demo has deleted files.
    const FileFigures f = CountFiles(r->catalogue);
    EXPECT_EQ(r->files.liveFiles, f.liveFiles);
    EXPECT_EQ(r->files.deletedBytes, f.deletedBytes);
    EXPECT_EQ(r->files.liveFiles + r->files.deletedFiles, Count(r->catalogue.fileList));
    EXPECT_GT(r->files.liveFiles, 100u);
    EXPECT_GT(r->files.deletedFiles, 0u);
    EXPECT_GT(r->files.liveBytes, 0u);
    // The session's work area is empty again; the result owns what was found.
    EXPECT_EQ(s().catalogue.fileList.First(), nullptr);
    EXPECT_EQ(s().scanDone.load(), 1);
    EXPECT_EQ(s().runInProgress.load(), 0);
  }
}

TEST_F(RunOutcomes, UnreadableMftRecordsEndTheRunCompletedWithUnreadableRecords) {
  // A copy of the demo image read through a device on which sectors of MFT records 20 and 21
  // of the NTFS partition fail.
  const fs::path copy = DamagedDemo("unreadable-mft.img", {});
  std::string boot(512, '\0');
  {
    std::ifstream f(copy, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(kNtfsStart * 512));
    f.read(boot.data(), 512);
  }
  std::uint64_t mftLcn = 0;
  for (int i = 7; i >= 0; --i) mftLcn = mftLcn << 8 | static_cast<unsigned char>(boot[48 + i]);
  const std::uint64_t mft = kNtfsStart + mftLcn * static_cast<unsigned char>(boot[13]);
  auto inner = platform::OpenPosixDevice(copy.string(), nullptr);
  ASSERT_NE(inner, nullptr);
  platform::DeviceTable::Instance().Install(
      copy.string(), std::make_shared<platform::FaultyDevice>(
                         inner, std::set<std::uint64_t>{mft + 2 * 20, mft + 2 * 21 + 1}));
  Opened faulty(copy);
  RecordingView view;
  EXPECT_EQ(faulty.Scan(kNtfs, view), RunOutcome::CompletedWithUnreadable);
  EXPECT_EQ(view.LastOutcome(), static_cast<int>(RunOutcome::CompletedWithUnreadable));
  // Never a plain success: its own status text and a message that says what is missing.
  EXPECT_TRUE(HasStatus(view, u"Scan Completed With Unreadable Records..."));
  EXPECT_FALSE(HasStatus(view, u"Scan Completed..."));
  ASSERT_EQ(view.Messages().size(), 1u);
  EXPECT_EQ(view.Messages()[0],
            u"Scan completed, but 2 MFT records could not be read (records 20 to 21, read "
            u"error). What they held is missing from the results.\r\n");
  auto r = faulty.s.CurrentResult();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->outcome, RunOutcome::CompletedWithUnreadable);
  EXPECT_EQ(r->unreadable.records, 2u);
  ASSERT_EQ(r->unreadable.named.size(), 1u);
  EXPECT_EQ(r->unreadable.named[0].firstSector, mft + 2 * 20);
  EXPECT_GT(Count(r->catalogue.fileList), 100u);  // the rest is there
  EXPECT_TRUE(faulty.s.unreadable.Empty());       // the session's was handed over
  platform::DeviceTable::Instance().Remove(copy.string());
}

TEST_F(RunOutcomes, AStopInsideAnEngineEndsTheRunStoppedWithWhatWasFound) {
  struct Case {
    const char* what;
    int partition;
    int atPercent;
  };
  // The FAT sweep walks the live tree before its first progress step: a stop at its start
  // leaves the root's entries and little more.
  for (const Case& c : {Case{"inside the FAT sweep", kFat32, 0},
                        Case{"inside the NTFS catalogue walk", kNtfs, 40}}) {
    SCOPED_TRACE(c.what);
    const auto [fullFolders, fullFiles] = FullCounts(c.partition);
    Opened run(image);
    RecoverySession& fresh = run.s;
    StoppingView view(fresh, c.atPercent);
    EXPECT_EQ(run.Scan(c.partition, view), RunOutcome::Stopped);
    EXPECT_TRUE(view.fired_);
    EXPECT_EQ(view.LastOutcome(), static_cast<int>(RunOutcome::Stopped));
    EXPECT_TRUE(view.Messages().empty());  // no completion message
    EXPECT_TRUE(HasStatus(view, u"Process Aborted..."));
    EXPECT_FALSE(HasStatus(view, u"Scan Completed..."));
    EXPECT_EQ(view.StatusTexts().back(), u"Process Aborted...");

    auto r = fresh.CurrentResult();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r, view.LastResult());
    EXPECT_EQ(r->outcome, RunOutcome::Stopped);
    // A partial tree: browsable, holding some but not all of what a full run finds.
    ASSERT_NE(r->tree, nullptr);
    ASSERT_FALSE(r->tree->Root()->children.empty());
    EXPECT_EQ(r->tree->Root()->children.front()->text, u"My Computer");
    const std::size_t files = Count(r->catalogue.fileList);
    EXPECT_GT(files + Count(r->catalogue.folderList), 0u);
    EXPECT_LT(files, fullFiles);
    EXPECT_LE(Count(r->catalogue.folderList), fullFolders);
    for (auto* n = r->catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      EXPECT_NE(r->paths->FileItem(n), nullptr);
    EXPECT_EQ(fresh.scanDone.load(), 0);
    EXPECT_EQ(fresh.stopRequested.load(), 0);
    EXPECT_EQ(fresh.runInProgress.load(), 0);
  }
}

TEST_F(RunOutcomes, DestroyedParametersFailTheRunWithOneMessage) {
  struct Case {
    const char* what;
    int partition;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> zeroed;
  };
  const Case cases[] = {
      // Both NTFS boot sectors: the primary and the backup in the partition's last sector.
      {"NTFS, both boot copies", kNtfs, {{kNtfsStart, kNtfsStart + 1}, {kNtfsEnd - 1, kNtfsEnd}}},
      // FAT32: both boot copies and everything the geometry search could rebuild them from.
      {"FAT32, boot copies and content", kFat32, {{kFat32Start, kFat32End}}},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path damaged = DamagedDemo("failed" + std::to_string(k++) + ".img", c.zeroed);
    Opened run(damaged);
    RecoverySession& fresh = run.s;
    // A completed run first: a failed run must leave its result the current one.
    RecordingView first;
    ASSERT_EQ(run.Scan(kFat16, first), RunOutcome::Completed);
    const auto before = fresh.CurrentResult();

    RecordingView view;
    EXPECT_EQ(run.Scan(c.partition, view), RunOutcome::Failed);
    EXPECT_EQ(view.LastOutcome(), static_cast<int>(RunOutcome::Failed));
    std::vector<RecordingView::Call> messages;
    for (const auto& call : view.Calls())
      if (call.kind == "message") messages.push_back(call);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, u"Unable to calculate partition parameters");
    EXPECT_EQ(messages[0].caption, u"Brevant");
    EXPECT_EQ(messages[0].value, static_cast<int>(MessageIcon::Error) * 10);
    EXPECT_FALSE(HasStatus(view, u"Scan Completed..."));
    EXPECT_EQ(view.LastResult(), nullptr);
    EXPECT_EQ(fresh.CurrentResult(), before);
    EXPECT_EQ(fresh.runInProgress.load(), 0);
  }
}

TEST_F(RunOutcomes, AStopAnsweredWhileIdleDoesNotEndTheNextRun) {
  s().stopRequested.store(1);  // "Yes" to Stop with no run working
  RecordingView view;
  EXPECT_EQ(Scan(kFat16, view), RunOutcome::Completed);
  EXPECT_FALSE(HasStatus(view, u"Process Aborted..."));
  EXPECT_EQ(view.Messages(), std::vector<std::u16string>{u"Scan Completed Successfully\r\n"});
}

// Starts a second run from inside the first one, as a second click on Next would.
class ReenteringView : public RecordingView {
 public:
  explicit ReenteringView(RecoverySession& s) : s_(s) {}
  void SetProgress(int percent) override {
    RecordingView::SetProgress(percent);
    if (tried_) return;
    tried_ = true;
    RecordingView second;
    secondOutcome = RecoveryWorker(s_, second);
    secondCalls = second.Calls().size();
    selectionRefused = !SelectPartition(s_, 0, kFat32);
  }
  RunOutcome secondOutcome = RunOutcome::Completed;
  std::size_t secondCalls = 1;
  bool selectionRefused = false;

 private:
  RecoverySession& s_;
  bool tried_ = false;
};

TEST_F(RunOutcomes, ASecondRunAndASelectionAreRefusedWhileARunWorks) {
  ReenteringView view(s());
  EXPECT_EQ(Scan(kNtfs, view), RunOutcome::Completed);
  EXPECT_EQ(view.secondOutcome, RunOutcome::Refused);
  EXPECT_EQ(view.secondCalls, 0u);  // nothing reported by the refused run
  EXPECT_TRUE(view.selectionRefused);
  EXPECT_EQ(s().CurrentResult()->fsName, "NTFS");
  // Once the run has ended, the next one starts.
  RecordingView next;
  EXPECT_EQ(Scan(kFat32, next), RunOutcome::Completed);
}

TEST_F(RunOutcomes, ANewRunLeavesThePreviousResultAsItWas) {
  RecordingView firstView;
  ASSERT_EQ(Scan(kFat32, firstView), RunOutcome::Completed);
  const std::shared_ptr<RunResult> first = s().CurrentResult();
  const std::size_t files = Count(first->catalogue.fileList);
  const CatalogueNode* someFile = first->catalogue.fileList.First();
  ASSERT_NE(someFile, nullptr);
  const std::u16string name = someFile->name;
  const std::u16string path = first->paths->EntryPath(someFile);

  RecordingView secondView;
  ASSERT_EQ(Scan(kNtfs, secondView), RunOutcome::Completed);
  const auto second = s().CurrentResult();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->fsName, "NTFS");
  EXPECT_EQ(first->fsName, "FAT32");
  EXPECT_EQ(first->Reader().scanFsName, "FAT32");
  EXPECT_EQ(Count(first->catalogue.fileList), files);
  EXPECT_EQ(first->catalogue.fileList.First(), someFile);
  EXPECT_EQ(std::u16string(someFile->name), name);
  EXPECT_EQ(first->paths->EntryPath(someFile), path);
  // Its rows and its files are still its own.
  auto listed = ui::ListFolderFiles(*first, first->paths->FileItem(someFile));
  ASSERT_FALSE(listed.empty());
  EXPECT_EQ(first->catalogue.listedFileRows.First()->node, listed.front());
  struct Sink : ByteSink {
    bool Write(const void*, std::size_t n) override {
      bytes += n;
      return true;
    }
    std::uint64_t bytes = 0;
  };
  for (const CatalogueNode* f : listed) {
    if (f->IsDeleted()) continue;
    Sink sink;
    ExtractResult r = ExtractResultFileTo(*first, sink, *f);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(sink.bytes, static_cast<std::uint64_t>(TextToInt(f->size)));
  }
}

}  // namespace
}  // namespace brevant

namespace brevant {
namespace {

// Stop answered "Yes" as soon as the run has started: honoured at the worker's own check.
class StopAtStartView : public RecordingView {
 public:
  explicit StopAtStartView(RecoverySession& s) : s_(s) {}
  void SetStopEnabled(bool enabled) override {
    RecordingView::SetStopEnabled(enabled);
    if (enabled) s_.stopRequested.store(1);
  }

 private:
  RecoverySession& s_;
};

TEST_F(RunOutcomes, AStopAtTheWorkersOwnCheckHandsOverAnEmptyBrowsableTree) {
  for (int number : {kFat32, kNtfs}) {
    SCOPED_TRACE(number);
    Opened run(image);
    StopAtStartView view(run.s);
    EXPECT_EQ(run.Scan(number, view), RunOutcome::Stopped);
    EXPECT_TRUE(view.Messages().empty());
    EXPECT_EQ(view.StatusTexts().back(), u"Process Aborted...");
    auto r = run.s.CurrentResult();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->catalogue.fileList.First(), nullptr);
    ASSERT_FALSE(r->tree->Root()->children.empty());
    EXPECT_EQ(r->tree->Root()->children.front()->text, u"My Computer");
    EXPECT_EQ(run.s.scanDone.load(), 0);
  }
}

}  // namespace
}  // namespace brevant

// Going on from a checkpoint: every checkpoint a long sweep takes (the FAT sweep, the NTFS
// record sweep of the extensive run, the deep volume search), put into a fresh session the way
// a results file restores one, gives exactly the result of the run that was never interrupted,
// and the resumed run does not read again what the sweep had read before its checkpoint.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>

#include "core/read_sectors.h"
#include "core/run_result.h"
#include "core/sweep_checkpoint.h"
#include "core/text.h"
#include "disk/disks.h"
#include "disk/volume_search.h"
#include "model/file_listing.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

// Every read the program makes while it is on, in order.
struct ReadLog {
  struct Read {
    std::string device;
    std::uint64_t start;
    std::uint32_t count;
  };
  std::vector<Read> reads;
  ReadLog() {
    SetReadObserverForTesting(
        [](void* self, const std::string& device, std::uint64_t start, std::uint32_t count) {
          static_cast<ReadLog*>(self)->reads.push_back({device, start, count});
        },
        this);
  }
  ~ReadLog() { SetReadObserverForTesting(nullptr, nullptr); }
};

// What a results file keeps at each checkpoint: the session's fields of the contract (copied
// into a session of their own) and the checkpoint. `stopAt`: at that checkpoint the sink asks
// the run to stop, as a user pressing Stop would.
class CopyingSink : public CheckpointSink {
 public:
  struct Kept {
    std::unique_ptr<RecoverySession> session;
    SweepCheckpoint checkpoint;
    std::size_t readsBefore = 0;  // reads the run had made when it was taken
    bool afterStop = false;       // taken once the stop was asked for
  };
  explicit CopyingSink(const ReadLog* log = nullptr, double interval = 0)
      : log_(log), interval_(interval) {}
  void Save(const RecoverySession& session, const SweepCheckpoint& checkpoint) override {
    Kept k;
    k.session = std::make_unique<RecoverySession>();
    CopyCheckpointFields(session, *k.session);
    k.checkpoint = checkpoint;
    k.readsBefore = log_ ? log_->reads.size() : 0;
    k.afterStop = stopAsked_;
    kept.push_back(std::move(k));
    if (static_cast<int>(kept.size()) == stopAt) {
      const_cast<RecoverySession&>(session).stopRequested.store(1);
      stopAsked_ = true;
    }
  }
  double IntervalSeconds() const override { return interval_; }
  std::vector<Kept> kept;
  int stopAt = -1;

 private:
  const ReadLog* log_;
  double interval_;
  bool stopAsked_ = false;
};

// A session with the image's disks listed, as the program starts.
struct Start {
  RecoverySession session;
  ui::ResultTree startup;
  explicit Start(const fs::path& image) {
    EnumerateDisks(session, startup, nullptr, {image.string()});
  }
};

// The whole result, field by field: every node (all its texts, its path and its condition),
// the tree, the figures and the unreadable records.
std::string Listing(const RunResult& r) {
  std::ostringstream o;
  o << "outcome " << static_cast<int>(r.outcome) << " " << r.fsName << "\n";
  for (int list = 0; list < 2; ++list) {
    const auto& l = list == 0 ? r.catalogue.folderList : r.catalogue.fileList;
    for (const CatalogueNode* n = l.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
      for (const char16_t* t : {n->name, n->sector, n->id, n->parentId, n->date, n->time, n->size,
                                n->attributes, n->spareText, n->type, n->deleted, n->stream})
        o << ToUtf8(t) << "|";
      o << n->sequence << "|" << n->order << "|" << ToUtf8(r.paths->EntryPath(n));
      if (list == 1) {
        const FileState state = r.StateOf(*n);
        o << "|" << static_cast<int>(state.condition) << "|" << state.overwrittenBytes;
      }
      o << "\n";
    }
  }
  std::vector<std::pair<const ui::TreeItem*, int>> stack{{r.tree->Root(), 0}};
  while (!stack.empty()) {
    auto [item, depth] = stack.back();
    stack.pop_back();
    o << std::string(static_cast<std::size_t>(depth), ' ') << ToUtf8(item->text) << "\n";
    for (auto it = item->children.rbegin(); it != item->children.rend(); ++it)
      stack.emplace_back(it->get(), depth + 1);
  }
  const FileFigures& f = r.files;
  o << f.liveFiles << " " << f.liveBytes << " " << f.deletedFiles << " " << f.deletedBytes << " "
    << f.intactFiles << " " << f.intactBytes << "\n";
  o << "unreadable " << r.unreadable.records << " " << r.unreadable.stretches << "\n";
  return o.str();
}

struct Case {
  const char* image;
  int mode;  // 1 quick, 2 extensive
  const char* sweep;
  std::uint32_t batchSectors;
};

RecoveryWorkerOptions Options(const Case& c) {
  RecoveryWorkerOptions options;
  options.fatBatchSectors = c.batchSectors;
  options.ntfsBatchSectors = c.batchSectors;
  return options;
}

// A run of partition 1 of the case's image from the start, with `sink` keeping checkpoints.
std::shared_ptr<RunResult> RunFromStart(const Case& c, const fs::path& image, CheckpointSink* sink,
                                        RunOutcome expected = RunOutcome::Completed) {
  Start start(image);
  RecoverySession& s = start.session;
  EXPECT_TRUE(SelectPartition(s, 0, 1));
  ReadBootSectorParameters(s);
  s.recoveryMode.store(static_cast<std::int16_t>(c.mode));
  s.checkpointSink = sink;
  RecordingView view;
  EXPECT_EQ(RecoveryWorker(s, view, Options(c)), expected) << c.image;
  return s.CurrentResult();
}

// A fresh session of the same image, given what a checkpoint kept, run on from there.
std::shared_ptr<RunResult> Resume(const Case& c, const fs::path& image,
                                  const CopyingSink::Kept& kept, RecordingView& view,
                                  RunOutcome* outcome, ReadLog* log = nullptr,
                                  std::string* failure = nullptr) {
  Start start(image);
  RecoverySession& s = start.session;
  CopyCheckpointFields(*kept.session, s);
  s.resumeFrom = kept.checkpoint;
  if (log) log->reads.clear();
  *outcome = RecoveryWorker(s, view, Options(c));
  if (failure) *failure = s.failureReason;
  EXPECT_FALSE(s.resumeFrom) << "a checkpoint is used once";
  return s.CurrentResult();
}

// Where a read that lies before the checkpoint may still be needed by a resumed run: the FATs,
// which the sweep follows chains in and the judgement reads in one pass; a run keeps them in a
// cache of its own, not in a checkpoint. ($Bitmap, which the NTFS judgement reads, is read
// after every checkpoint by the uninterrupted run too.)
bool InFats(const RecoverySession& s, std::uint64_t start, std::uint32_t count) {
  const PartitionParameters& p = s.partParams;
  if (s.scanFsName == "NTFS") return false;
  return start >= p.fat1Start && start + count <= p.clusterBase + 2 * p.sectorsPerCluster;
}

class ResumeTest : public ::testing::TestWithParam<Case> {};

// Each checkpoint, resumed in a fresh session, gives the uninterrupted run's result; the
// resumed run reads nothing before the checkpoint's position that the uninterrupted run did
// not read after it too (the allocation maps aside).
TEST_P(ResumeTest, EveryCheckpointResumesToTheUninterruptedResult) {
  const Case c = GetParam();
  const fs::path image = test::FixtureImage(c.image);
  if (image.empty()) GTEST_SKIP() << c.image << " fixture missing";
  ReadLog log;
  CopyingSink sink(&log);
  auto whole = RunFromStart(c, image, &sink);
  ASSERT_TRUE(whole);
  const std::vector<ReadLog::Read> wholeReads = log.reads;
  const std::string expected = Listing(*whole);
  ASSERT_GE(sink.kept.size(), 8u) << "small batches make many checkpoints";
  for (const auto& k : sink.kept) EXPECT_EQ(k.checkpoint.sweep, c.sweep);
  // A checkpoint's position only grows, and the last lies at the sweep's end.
  for (std::size_t i = 1; i < sink.kept.size(); ++i)
    EXPECT_LE(sink.kept[i - 1].checkpoint.position, sink.kept[i].checkpoint.position);
  EXPECT_EQ(sink.kept.back().checkpoint.position, sink.kept.back().checkpoint.end);

  std::size_t resumed = 0;
  for (std::size_t i = 0; i < sink.kept.size(); i += std::max<std::size_t>(1, sink.kept.size() / 7)) {
    const auto& kept = sink.kept[i];
    SCOPED_TRACE("checkpoint " + std::to_string(i) + " at sector " +
                 std::to_string(kept.checkpoint.position));
    RecordingView view;
    RunOutcome outcome;
    auto result = Resume(c, image, kept, view, &outcome, &log);
    ASSERT_EQ(outcome, RunOutcome::Completed) << (view.Messages().empty() ? "" : ToUtf8(view.Messages().back()));
    ASSERT_TRUE(result);
    EXPECT_EQ(Listing(*result), expected);
    // Reads of the uninterrupted run after this checkpoint.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> after;
    for (std::size_t r = kept.readsBefore; r < wholeReads.size(); ++r)
      after.emplace_back(wholeReads[r].start, wholeReads[r].count);
    std::size_t earlier = 0;
    for (const ReadLog::Read& r : log.reads) {
      if (r.start >= kept.checkpoint.position || InFats(*kept.session, r.start, r.count)) continue;
      if (std::find(after.begin(), after.end(), std::make_pair(r.start, r.count)) != after.end())
        continue;
      if (++earlier <= 3)
        ADD_FAILURE() << "read again: " << r.count << " sectors at " << r.start;
    }
    EXPECT_EQ(earlier, 0u);
    ++resumed;
  }
  EXPECT_GE(resumed, 7u);
}

INSTANTIATE_TEST_SUITE_P(
    Sweeps, ResumeTest,
    ::testing::Values(Case{"fat32_reformat", 2, "fat", 2048}, Case{"fat32_reformat", 1, "fat", 2048},
                      Case{"ntfs_reformat", 2, "ntfs", 1024}),
    [](const auto& info) {
      return std::string(info.param.image) + (info.param.mode == 2 ? "_extensive" : "_quick");
    });

// A stop takes a checkpoint where it is honoured, though none was due; going on from it ends
// as the run that was never stopped.
TEST(Resume, AStopTakesACheckpointToGoOnFrom) {
  for (const Case& c : {Case{"fat32_reformat", 2, "fat", 2048}, Case{"ntfs_reformat", 2, "ntfs", 1024}}) {
    SCOPED_TRACE(c.image);
    const fs::path image = test::FixtureImage(c.image);
    if (image.empty()) GTEST_SKIP() << c.image << " fixture missing";
    const std::string expected = Listing(*RunFromStart(c, image, nullptr));
    // Interval 0 to pick the moment of the stop; then one more checkpoint, the stop's own.
    CopyingSink every;
    every.stopAt = 5;
    auto stopped = RunFromStart(c, image, &every, RunOutcome::Stopped);
    ASSERT_TRUE(stopped);
    ASSERT_EQ(every.kept.size(), 6u);
    EXPECT_TRUE(every.kept.back().afterStop);
    EXPECT_LT(every.kept.back().checkpoint.position, every.kept.back().checkpoint.end);
    RecordingView view;
    RunOutcome outcome;
    auto result = Resume(c, image, every.kept.back(), view, &outcome);
    ASSERT_EQ(outcome, RunOutcome::Completed);
    EXPECT_EQ(Listing(*result), expected);
  }
}

// With an interval no sweep reaches, the stop is the only checkpoint.
TEST(Resume, AStopIsCheckpointedWhateverTheInterval) {
  const Case c{"fat32_reformat", 2, "fat", 2048};
  const fs::path image = test::FixtureImage(c.image);
  if (image.empty()) GTEST_SKIP() << "fixture missing";
  struct StoppingView : RecordingView {
    RecoverySession* session = nullptr;
    void SetProgress(int percent) override {
      RecordingView::SetProgress(percent);
      if (percent >= 40 && session) session->stopRequested.store(1);
    }
  } view;
  Start start(image);
  RecoverySession& s = start.session;
  ASSERT_TRUE(SelectPartition(s, 0, 1));
  ReadBootSectorParameters(s);
  s.recoveryMode.store(2);
  CopyingSink sink(nullptr, 1e9);
  s.checkpointSink = &sink;
  view.session = &s;
  EXPECT_EQ(RecoveryWorker(s, view, Options(c)), RunOutcome::Stopped);
  ASSERT_EQ(sink.kept.size(), 1u);
  EXPECT_GT(sink.kept[0].checkpoint.position, s.selectedPartitionStart);
}

// A state that is cut short or damaged, or a checkpoint of another sweep, fails the run with
// the reason; nothing is handed over and nothing crashes.
TEST(Resume, ADamagedCheckpointFailsTheRunWithTheReason) {
  for (const Case& c : {Case{"fat32_reformat", 2, "fat", 2048}, Case{"ntfs_reformat", 2, "ntfs", 1024}}) {
    SCOPED_TRACE(c.image);
    const fs::path image = test::FixtureImage(c.image);
    if (image.empty()) GTEST_SKIP() << c.image << " fixture missing";
    CopyingSink sink;
    RunFromStart(c, image, &sink);
    ASSERT_GE(sink.kept.size(), 4u);
    const CopyingSink::Kept& good = sink.kept[sink.kept.size() / 2];
    const std::size_t size = good.checkpoint.state.size();
    struct Damage {
      const char* what;
      std::function<void(SweepCheckpoint&)> apply;
    };
    const Damage damages[] = {
        {"empty", [](SweepCheckpoint& k) { k.state.clear(); }},
        {"version only", [](SweepCheckpoint& k) { k.state.resize(4); }},
        {"cut in half", [size](SweepCheckpoint& k) { k.state.resize(size / 2); }},
        {"last byte missing", [size](SweepCheckpoint& k) { k.state.resize(size - 1); }},
        {"a byte too many", [](SweepCheckpoint& k) { k.state.push_back(0); }},
        {"a newer version", [](SweepCheckpoint& k) { k.state[0] = 99; }},
        {"a list's count of 2^64 - 1",
         [](SweepCheckpoint& k) {
           // The first list's count follows the fixed fields: the claimed clusters' on FAT,
           // the records found on NTFS.
           const std::size_t at = k.sweep == "fat" ? 41 : 36;
           for (std::size_t i = at; i < at + 8; ++i) k.state[i] = 0xFF;
         }},
        {"a position elsewhere", [](SweepCheckpoint& k) { k.position += 1; }},
        {"another sweep's",
         [](SweepCheckpoint& k) { k.sweep = k.sweep == "fat" ? "ntfs" : "fat"; }},
    };
    for (const Damage& d : damages) {
      SCOPED_TRACE(d.what);
      CopyingSink::Kept damaged;
      damaged.session = std::make_unique<RecoverySession>();
      CopyCheckpointFields(*good.session, *damaged.session);
      damaged.checkpoint = good.checkpoint;
      d.apply(damaged.checkpoint);
      RecordingView view;
      RunOutcome outcome;
      std::string failure;
      auto result = Resume(c, image, damaged, view, &outcome, nullptr, &failure);
      EXPECT_EQ(outcome, RunOutcome::Failed);
      EXPECT_FALSE(result) << "a failed run hands nothing over";
      EXPECT_NE(failure.find("checkpoint"), std::string::npos) << failure;
    }
  }
}

// The deep search: a FAT32 boot sector (and its backup at +6) as mkfs.fat writes one.
void Fat32(std::string& d, std::uint64_t at, std::uint32_t total) {
  for (std::uint64_t s : {at, at + 6}) {
    const std::size_t b = s * 512;
    d[b] = static_cast<char>(0xEB), d[b + 1] = 0x58, d[b + 2] = static_cast<char>(0x90);
    d.replace(b + 3, 8, "mkfs.fat");
    test::Put16(d, b + 11, 512);
    d[b + 13] = 1;
    test::Put16(d, b + 14, 32);
    d[b + 16] = 2;
    d[b + 21] = static_cast<char>(0xF8);
    test::Put32(d, b + 28, static_cast<std::uint32_t>(at));
    test::Put32(d, b + 32, total);
    test::Put32(d, b + 36, (total / 128) + 1);
    test::Put32(d, b + 44, 2);
    test::Put16(d, b + 50, 6);
    d.replace(b + 82, 8, "FAT32   ");
    d[b + 510] = 0x55, d[b + 511] = static_cast<char>(0xAA);
  }
}

void SetU64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Disks {
  RecoverySession session;
  ui::ResultTree tree;
  explicit Disks(const std::vector<std::string>& paths) {
    for (const std::string& p : paths) {
      platform::DiskFacts facts;
      facts.index = static_cast<int>(session.diskInfoList.size());
      facts.deviceName = p;
      facts.label = "disk";
      facts.heads = 255;
      facts.sectorsPerTrack = 63;
      AddDisk(session, tree, facts);
    }
  }
  // Every disk searched deeply, in order, as `disks --deep-search` does.
  void Search() {
    VolumeSearchOptions deep;
    deep.deep = true;
    deep.batchSectors = 1000;
    deep.stop = &session.stopRequested;
    for (std::size_t d = 0; d < session.diskInfoList.size(); ++d)
      AddFoundVolumes(session, tree, static_cast<int>(d), deep);
  }
  std::string Volumes() const {
    std::ostringstream o;
    for (const DriveRecord& r : session.driveRecords)
      for (std::size_t i = 0; i < r.partitions.size(); ++i)
        o << r.diskIndex << " " << r.fsName[i] << " " << r.partitions[i].startSector << "-"
          << r.partitions[i].endSector << (r.partitions[i].found ? " found " : " ")
          << ToUtf8(r.partitions[i].treeItem ? r.partitions[i].treeItem->text : u"") << "\n";
    return o.str();
  }
};

// Two disks whose volumes lie nowhere usual: the deep search's checkpoints on either, resumed,
// file the same volumes; the disk searched before the checkpoint's is not read again, and the
// checkpoint's own not before its position.
TEST(Resume, TheDeepSearchGoesOnFromItsCheckpointWithTheSameVolumes) {
  std::string first(60000 * 512, '\0'), second(100000 * 512, '\0');
  Fat32(first, 3001, 20000);
  Fat32(second, 5001, 30000);
  Fat32(second, 40001, 50000);
  const std::vector<std::string> paths{test::InstallMemoryDisk(first),
                                       test::InstallMemoryDisk(second)};
  Disks whole(paths);
  CopyingSink sink;
  whole.session.checkpointSink = &sink;
  whole.Search();
  const std::string expected = whole.Volumes();
  ASSERT_NE(expected.find("5001-35001 found"), std::string::npos) << expected;
  ASSERT_NE(expected.find("40001-90001 found"), std::string::npos) << expected;
  ASSERT_EQ(sink.kept.size(), 60u + 100u);
  for (std::size_t i : {std::size_t{0}, std::size_t{10}, std::size_t{59}, std::size_t{60},
                        std::size_t{70}, std::size_t{100}, std::size_t{159}}) {
    const SweepCheckpoint& k = sink.kept[i].checkpoint;
    SCOPED_TRACE("checkpoint " + std::to_string(i) + " at " + std::to_string(k.position));
    EXPECT_EQ(k.sweep, "deep");
    const std::string& device = paths[i < 60 ? 0 : 1];
    Disks resumed(paths);
    resumed.session.resumeFrom = k;
    ReadLog log;
    resumed.Search();
    EXPECT_FALSE(resumed.session.resumeFrom);
    EXPECT_TRUE(resumed.session.failureReason.empty()) << resumed.session.failureReason;
    EXPECT_EQ(resumed.Volumes(), expected);
    std::size_t before = 0, earlierDisk = 0;
    for (const ReadLog::Read& r : log.reads) {
      if (r.device == device && r.start < k.position) ++before;
      if (i >= 60 && r.device == paths[0]) ++earlierDisk;
    }
    EXPECT_EQ(before, 0u) << "sectors before the checkpoint read again";
    EXPECT_EQ(earlierDisk, 0u) << "the disk searched before the checkpoint's read again";
  }
  // The damaged state of a deep search: refused with the reason, nothing filed from it.
  Disks refused(paths);
  refused.session.resumeFrom = sink.kept[70].checkpoint;
  refused.session.resumeFrom->state.resize(sink.kept[70].checkpoint.state.size() - 3);
  refused.Search();
  EXPECT_NE(refused.session.failureReason.find("checkpoint"), std::string::npos);
  EXPECT_FALSE(refused.session.resumeFrom);
  // A candidate that would run past the disk's end is no volume, whatever a state says: its
  // end follows the version, the disk, its path, its size, the (empty) list of partitions, the
  // candidates' count, the first one's file system and start.
  Disks beyond(paths);
  SweepCheckpoint k = sink.kept[70].checkpoint;
  const std::size_t endAt = 4 + 8 + 8 + paths[1].size() + 8 + 8 + 8 + 8 + 5 + 8;
  ASSERT_LT(endAt + 8, k.state.size());
  ASSERT_EQ(k.state[endAt - 8 - 5 - 8], 5) << "the first candidate's file system";
  SetU64(k.state, endAt, 100000 + 1);
  beyond.session.resumeFrom = k;
  beyond.Search();
  EXPECT_NE(beyond.session.failureReason.find("beyond the disk"), std::string::npos)
      << beyond.session.failureReason;
}

}  // namespace
}  // namespace brevant

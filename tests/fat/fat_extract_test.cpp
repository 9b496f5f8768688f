// Extraction: which clusters a file's bytes come from, and how failures are reported.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fat_test_util.h"

namespace brevant::fattest {
namespace {

struct StringSink : ByteSink {
  std::string data;
  bool Write(const void* p, std::size_t len) override {
    data.append(static_cast<const char*>(p), len);
    return true;
  }
};

// Every data cluster filled with its own pattern, so the bytes tell which cluster they came from.
class ExtractVolume {
 public:
  explicit ExtractVolume(bool fat32) : v_(MakeLayout(fat32)) {
    for (std::uint32_t c = 2; c < v_.layout().clusters + 2; ++c)
      v_.PutSector(v_.ClusterSector(c), ClusterBytes(c));
  }
  static Layout MakeLayout(bool fat32) {
    Layout l;
    l.fat32 = fat32;
    l.partStart = 63;
    l.sectorsPerCluster = 4;  // 2048 bytes per cluster
    l.reserved = fat32 ? 32 : 1;
    l.fatSize = 16;
    l.clusters = 400;
    return l;
  }
  static std::string ClusterBytes(std::uint32_t c) { return Pattern(2048, c); }
  static std::string Expected(const std::vector<std::uint32_t>& clusters, std::size_t size) {
    std::string all;
    for (std::uint32_t c : clusters) all += ClusterBytes(c);
    return all.substr(0, size);
  }
  CraftedVolume& volume() { return v_; }

  // A session set up as after a scan of this volume.
  std::unique_ptr<RecoverySession> Session(const std::string& device = "") {
    auto s = std::make_unique<RecoverySession>();
    if (device.empty())
      Select(*s, v_);
    else
      SelectDisk(*s, device, v_.layout().partStart, v_.PartEnd(), v_.layout().fat32 ? "FAT32" : "FAT16");
    RecordingView view;
    EXPECT_EQ(FindFatGeometry(*s, view), 1);
    static_cast<PartitionParameters&>(s->scanParams) = s->partParams;
    s->scanParams.fsName = s->scanFsName;
    return s;
  }

 private:
  CraftedVolume v_;
};

ExtractResult ExtractTo(RecoverySession& s, std::string* out, std::uint64_t size, std::uint32_t start) {
  StringSink sink;
  ExtractResult r = ExtractFatFileTo(s, sink, size, start);
  *out = sink.data;
  EXPECT_EQ(r.bytesWritten, sink.data.size());
  return r;
}

TEST(FatExtract, WorkedExample) {
  ExtractVolume ev(true);
  ev.volume().Chain({100, 101, 250});
  auto s = ev.Session();
  std::string out;
  ExtractResult r = ExtractTo(*s, &out, 5000, 100);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(out, ExtractVolume::Expected({100, 101, 250}, 5000));

  // The same file deleted: both FAT copies cleared, so consecutive clusters.
  for (std::uint32_t c : {100u, 101u, 250u}) ev.volume().SetFat(c, 0);
  auto deleted = ev.Session();
  r = ExtractTo(*deleted, &out, 5000, 100);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(out, ExtractVolume::Expected({100, 101, 102}, 5000));
}

struct ChainCase {
  const char* what;
  bool fat32;
  std::function<void(CraftedVolume&)> fat;
  std::uint64_t size;
  std::vector<std::uint32_t> clusters;  // where the bytes must come from
};

TEST(FatExtract, WhichClusters) {
  const std::uint32_t eoc32 = 0x0FFFFFFF;
  const std::vector<ChainCase> cases = {
      {"empty file", true, [](CraftedVolume&) {}, 0, {}},
      {"size a multiple of the sector and cluster size", true, [](CraftedVolume& v) { v.Chain({100, 101}); }, 4096, {100, 101}},
      {"one cluster, live", true, [&](CraftedVolume& v) { v.SetFat(100, eoc32); }, 1000, {100}},
      {"one cluster, deleted", true, [](CraftedVolume&) {}, 1000, {100}},
      {"FAT #1 cleared, FAT #2 intact", true,
       [](CraftedVolume& v) {
         v.Chain({100, 101, 250});
         v.SetFat(100, 0, 0);
       },
       5000, {100, 101, 250}},
      {"FAT #1 too long, FAT #2 right", true,
       [&](CraftedVolume& v) {
         v.Chain({100, 250});
         v.SetFat(250, 251, 0);
         v.SetFat(251, eoc32, 0);
       },
       4000, {100, 250}},
      {"FAT32: upper four bits masked off", true,
       [](CraftedVolume& v) {
         v.SetFat(100, 0xF0000000 | 250);
         v.SetFat(250, 0x1FFFFFF8);
       },
       4000, {100, 250}},
      {"FAT32: every end mark from 0x0FFFFFF8 ends", true,
       [](CraftedVolume& v) {
         v.SetFat(100, 250);
         v.SetFat(250, 0x0FFFFFF8);
       },
       4000, {100, 250}},
      {"FAT16: end mark 0xFFF8 ends the chain", false,
       [](CraftedVolume& v) {
         v.SetFat(100, 250);
         v.SetFat(250, 0xFFF8);
       },
       4000, {100, 250}},
      {"a live chain longer than the file: its first clusters", true,
       [](CraftedVolume& v) { v.Chain({100, 7, 300, 301}); }, 4000, {100, 7}},
      {"one FAT copy loops, the other is sound", true,
       [](CraftedVolume& v) {
         v.Chain({100, 250, 251});
         v.SetFat(250, 100, 0);
       },
       6000, {100, 250, 251}},
      {"deleted: clusters allocated since are passed over", true,
       [&](CraftedVolume& v) {
         v.SetFat(101, eoc32);
         v.SetFat(103, eoc32);
       },
       6000, {100, 102, 104}},
      {"FAT16 live file, chain intact", false, [&](CraftedVolume& v) { v.Chain({100, 7, 300}); }, 5000, {100, 7, 300}},
  };
  for (const auto& c : cases) {
    ExtractVolume ev(c.fat32);
    c.fat(ev.volume());
    auto s = ev.Session();
    std::string out;
    ExtractResult r = ExtractTo(*s, &out, c.size, 100);
    EXPECT_TRUE(r.ok) << c.what << ": " << r.error;
    EXPECT_EQ(out.size(), c.size) << c.what;
    EXPECT_EQ(out, ExtractVolume::Expected(c.clusters, c.size)) << c.what;
  }
}

// A live file's chain is where its bytes are: where it loops, leaves the volume or stops short,
// the file ends, and the result says so instead of filling up from clusters that belong to
// other files. A deleted file's chain was cleared, so it is read as before from the clusters
// after its first.
TEST(FatExtract, BrokenChainOfALiveFileEndsAtTheBreak) {
  struct Case {
    const char* what;
    bool fat32;
    std::function<void(CraftedVolume&)> fat;
    std::uint64_t size;
    std::vector<std::uint32_t> sound;     // what a live file gets, before the break
    std::string why;                      // in the reason
    std::vector<std::uint32_t> asDeleted; // what the same entry gets when it is deleted
  };
  const std::vector<Case> cases = {
      {"an entry pointing to itself", true, [](CraftedVolume& v) { v.SetFat(100, 100); }, 6000,
       {100}, "chain broken after 2048 bytes (cluster 100 links back to cluster 100)",
       {100, 101, 102}},
      {"a loop further on", true,
       [](CraftedVolume& v) {
         v.SetFat(100, 250);
         v.SetFat(250, 100);
       },
       6000, {100, 250}, "chain broken after 4096 bytes (cluster 250 links back to cluster 100)",
       {100, 101, 102}},
      {"into a cluster beyond the volume", true, [](CraftedVolume& v) { v.SetFat(100, 5000); }, 4000,
       {100}, "chain broken after 2048 bytes (cluster 100 links to 5000, no cluster of this volume)",
       {100, 101}},
      {"FAT16: value 1", false, [](CraftedVolume& v) { v.SetFat(100, 1); }, 4000, {100},
       "chain broken after 2048 bytes (cluster 100 links to 1, no cluster of this volume)",
       {100, 101}},
      {"FAT16: into a bad cluster", false,
       [](CraftedVolume& v) {
         v.SetFat(100, 250);
         v.SetFat(250, 0xFFF7);
       },
       6000, {100, 250}, "chain broken after 4096 bytes (cluster 250 is marked bad)", {100, 101, 102}},
      {"into a free cluster", true,
       [](CraftedVolume& v) {
         v.SetFat(100, 250);
         v.SetFat(250, 0);
       },
       6000, {100, 250}, "chain broken after 4096 bytes (cluster 250 is marked free)",
       {100, 101, 102}},
      {"an end mark before the size", true, [](CraftedVolume& v) { v.Chain({100, 250}); }, 6000,
       {100, 250}, "chain broken after 4096 bytes (the chain ends at cluster 250)", {100, 101, 102}},
  };
  for (const auto& c : cases) {
    ExtractVolume ev(c.fat32);
    c.fat(ev.volume());
    auto s = ev.Session();
    StringSink sink;
    ExtractResult r = ExtractFatFileTo(*s, sink, c.size, 100);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_EQ(r.error, c.why) << c.what;
    const std::uint64_t kept = std::min<std::uint64_t>(c.size, c.sound.size() * 2048);
    EXPECT_EQ(r.bytesWritten, kept) << c.what;
    EXPECT_EQ(sink.data, ExtractVolume::Expected(c.sound, kept)) << c.what;

    StringSink deleted;
    ExtractResult d = ExtractFatFileTo(*s, deleted, c.size, 100, true);
    EXPECT_TRUE(d.ok) << c.what << ": " << d.error;
    EXPECT_EQ(deleted.data, ExtractVolume::Expected(c.asDeleted, c.size)) << c.what;
  }
}

// Written into a folder, the part before the break is kept and the result says why.
TEST(FatExtract, BrokenChainKeepsThePartBeforeTheBreak) {
  ExtractVolume ev(false);
  ev.volume().SetFat(100, 100);
  auto s = ev.Session();
  const auto folder = test::TempDir() / "extract-broken";
  std::filesystem::create_directories(folder);
  ExtractResult r = ExtractFatFile(*s, folder, u"loop.bin", 5000, 100);
  EXPECT_FALSE(r.ok);
  ASSERT_FALSE(r.path.empty()) << r.error;
  EXPECT_EQ(r.error, "chain broken after 2048 bytes (cluster 100 links back to cluster 100)");
  EXPECT_EQ(ReadFile(r.path), ExtractVolume::Expected({100}, 2048));
}

TEST(FatExtract, OutsideTheVolumeIsAFailure) {
  ExtractVolume ev(true);
  auto s = ev.Session();
  const std::uint32_t last = 401;
  struct Case {
    std::uint32_t start;
    std::uint64_t size;
  };
  for (Case c : {Case{0, 10}, Case{1, 10}, Case{last + 1, 10}, Case{0x0FFFFFF0, 10}, Case{last, 5000},
                 Case{100, 0xFFFFFFFFULL}}) {
    std::string out;
    ExtractResult r = ExtractTo(*s, &out, c.size, c.start);
    EXPECT_FALSE(r.ok) << c.start;
    EXPECT_FALSE(r.error.empty()) << c.start;
    EXPECT_TRUE(out.empty()) << c.start;
  }
  // No layout at all.
  RecoverySession none;
  Select(none, ev.volume());
  std::string out;
  EXPECT_FALSE(ExtractTo(none, &out, 10, 100).ok);
}

TEST(FatExtract, UnreadableSectorIsReportedAndTheRestStillWritten) {
  ExtractVolume ev(true);
  ev.volume().Chain({100, 101, 102});
  auto inner = std::make_shared<platform::MemoryDevice>(ev.volume().bytes());
  const std::uint64_t bad = ev.volume().ClusterSector(101) + 2;
  const std::string path = "mem://extract-unreadable";
  platform::DeviceTable::Instance().Install(
      path, std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{bad}));
  auto s = ev.Session(path);
  std::string out;
  ExtractResult r = ExtractTo(*s, &out, 6000, 100);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find(std::to_string(bad)), std::string::npos) << r.error;
  ASSERT_EQ(out.size(), 6000u);
  std::string expected = ExtractVolume::Expected({100, 101, 102}, 6000);
  expected.replace(2048 + 1024, 512, std::string(512, '\0'));
  EXPECT_EQ(out, expected);
}

TEST(FatExtract, ReadsInRunsNotSectorBySector) {
  ExtractVolume ev(true);
  std::vector<std::uint32_t> chain;
  for (std::uint32_t c = 10; c < 310; ++c) chain.push_back(c);  // 600 KiB in one run
  ev.volume().Chain(chain);
  auto inner = std::make_shared<platform::MemoryDevice>(ev.volume().bytes());
  auto counting = std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{});
  const std::string path = "mem://extract-runs";
  platform::DeviceTable::Instance().Install(path, counting);
  auto s = ev.Session(path);
  const auto before = counting->ReadCalls();
  std::string out;
  ExtractResult r = ExtractTo(*s, &out, 300 * 2048, 10);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(out, ExtractVolume::Expected(chain, 300 * 2048));
  EXPECT_LE(counting->ReadCalls() - before, 8u);
}

TEST(FatExtract, IntoAFolder) {
  ExtractVolume ev(true);
  ev.volume().Chain({100, 101, 250});
  auto s = ev.Session();
  const auto folder = test::TempDir() / "extract-into";
  std::filesystem::create_directories(folder);
  // A name read from the disk cannot leave the folder or overwrite anything.
  ExtractResult a = ExtractFatFile(*s, folder, u"../escape.txt", 5000, 100);
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.path.parent_path(), folder);
  EXPECT_EQ(ReadFile(a.path), ExtractVolume::Expected({100, 101, 250}, 5000));
  ExtractResult b = ExtractFatFile(*s, folder, u"../escape.txt", 5000, 100);
  ASSERT_TRUE(b.ok);
  EXPECT_NE(a.path, b.path);
  EXPECT_EQ(b.path.parent_path(), folder);
  // A file that cannot be copied is not created at all.
  const auto count = std::distance(std::filesystem::directory_iterator(folder), {});
  ExtractResult c = ExtractFatFile(*s, folder, u"bad.bin", 10, 0);
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), count);
  // A folder that does not exist: a failure with a reason.
  ExtractResult d = ExtractFatFile(*s, folder / "missing", u"x.bin", 10, 100);
  EXPECT_FALSE(d.ok);
  EXPECT_FALSE(d.error.empty());
}

TEST(FatExtract, RecoveredFileKeepsItsWriteTime) {
  ExtractVolume ev(true);
  ev.volume().Chain({100});
  auto s = ev.Session();
  // 2023-11-28 03:52:58: date (43 << 9) | (11 << 5) | 28, time (3 << 11) | (52 << 5) | 29.
  const std::uint16_t date = (43 << 9) | (11 << 5) | 28, time = (3 << 11) | (52 << 5) | 29;
  const CatalogueNode* node = s->catalogue.AppendFile(u"when.txt", u"0", u"100", u"0", ToText(date), ToText(time),
                                                      u"1000", u"32", u"0", u"FILE", u"NULL", 2);
  const auto folder = test::TempDir() / "extract-time";
  std::filesystem::create_directories(folder);
  ExtractResult r = ExtractFatEntry(*s, folder, *node);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_TRUE(r.modifiedTime.has_value());
  EXPECT_EQ(*r.modifiedTime, 1701143578);
  struct stat st {};
  ASSERT_EQ(::stat(r.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1701143578);
  EXPECT_EQ(ReadFile(r.path), ExtractVolume::Expected({100}, 1000));
}

}  // namespace
}  // namespace brevant::fattest

// Recovering catalogued files into a destination folder: sparse data stays sparse (an 8 TiB
// file in a small crafted NTFS volume takes almost no space), unreadable sectors are read
// around and counted, a stop ends the file being written as a reported part or removes it,
// and names from the disk stay one path component each.
#include "recovery/file_recoverer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "core/text.h"
#include "disk/disks.h"
#include "fat/fat_engine.h"
#include "ntfs/ntfs_builders.h"
#include "ntfs/ntfs_engine.h"
#include "recovery/recovery_worker.h"

namespace brevant {
namespace {

using test::ntfs::RecordBuilder;
using test::ntfs::VolumeImage;

constexpr std::uint64_t kStart = 2048;
constexpr std::uint64_t kSectors = 48000;  // 24 MB
constexpr std::uint64_t kSpc = 8;
constexpr std::uint64_t kCluster = kSpc * 512;
constexpr std::int64_t kModified = 133500000000000000LL;
constexpr std::uint64_t kTiB = 1ULL << 40;

std::string Pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 + i / 251);
  return s;
}

// Sets the session's stop request at the n-th read at or past a chosen offset, as Ctrl-C
// arriving while a file is being copied.
class StoppingDevice : public platform::SectorDevice {
 public:
  StoppingDevice(std::shared_ptr<platform::SectorDevice> inner, std::uint64_t from, int nth,
                 std::atomic<std::int32_t>& stop)
      : inner_(std::move(inner)), from_(from), nth_(nth), stop_(stop) {}
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    if (offset >= from_ && ++reads_ == nth_) stop_.store(1);
    return inner_->ReadAt(offset, buffer, length);
  }
  std::uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
  char Method() const override { return 'T'; }

 private:
  std::shared_ptr<platform::SectorDevice> inner_;
  std::uint64_t from_;
  int nth_;
  int reads_ = 0;
  std::atomic<std::int32_t>& stop_;
};

struct Volume {
  VolumeImage image{kStart, kSectors, kSpc};
  RecoverySession session;
  std::vector<const CatalogueNode*> nodes;
  std::string path;

  std::uint64_t RecordSector(std::uint64_t n) const { return kStart + 100 * kSpc + 2 * n; }
  Volume() {
    image.PutAtSector(
        RecordSector(0),
        RecordBuilder().FileName(u"$MFT", 5, 5, 3).Data({{8, 100}}, 32 * 1024).Finish());
    image.PutAtSector(RecordSector(5), RecordBuilder(1024, 5, 3).FileName(u".", 5, 5, 3).Finish());
    for (std::uint64_t lcn = 200; lcn < 3200; ++lcn)
      image.PutCluster(lcn, Pattern(kCluster, static_cast<char>(lcn)));
  }
  void Put(std::uint64_t record, const std::u16string& name, const RecordBuilder& b,
           std::uint64_t size) {
    image.PutAtSector(RecordSector(record), RecordBuilder(b).Finish());
    nodes.push_back(session.catalogue.AppendFile(name, ToText(RecordSector(record)), ToText(record),
                                                 u"5", u"0", u"0", ToText(size), u"32", u"0",
                                                 u"FILE", u"NULL", 1));
  }
  std::string Cluster(std::uint64_t lcn, std::size_t count = 1) const {
    return image.Disk().substr(image.ClusterSector(lcn) * 512, count * kCluster);
  }
  void Install() {
    path = image.Install(session, RecordSector(0));
    RecordingView view;
    BuildMftExtentTable(session, view);
  }
  const CatalogueNode& Node(std::size_t i) { return *nodes[i]; }
  std::unique_ptr<FileRecoverer> Open(const char* folder) {
    std::string error;
    auto r = FileRecoverer::Open(session, test::TempDir() / folder, &error);
    EXPECT_TRUE(r) << error;
    return r;
  }
};

RecordBuilder File(const char16_t* name) {
  RecordBuilder b;
  b.StandardInformation(kModified, kModified).FileName(name, 5, 5, 1);
  return b;
}

TEST(FileRecoverer, An8TiBSparseFileIsRecoveredAsASparseFile) {
  Volume v;
  const std::uint64_t size = 8 * kTiB;
  const std::uint64_t clusters = size / kCluster;
  v.Put(16, u"huge.bin",
        File(u"huge.bin").Data({{1, 200}, {clusters - 2, std::nullopt}, {1, 50}}, size), size);
  v.Install();
  auto recoverer = v.Open("sparse");
  ASSERT_TRUE(recoverer);
  ExtractResult r = recoverer->Recover(v.Node(0), {u"Big"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytesWritten, size);
  EXPECT_EQ(r.path, test::TempDir() / "sparse" / "Big" / "huge.bin");
  struct stat st {};
  ASSERT_EQ(::stat(r.path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), size);
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 20);
  EXPECT_EQ(st.st_mtime, FileTimeToUnix(kModified));
  std::ifstream in(r.path, std::ios::binary);
  std::string head(kCluster, '\0'), middle(kCluster, '\0'), tail(kCluster, '\0');
  in.read(head.data(), kCluster);
  in.seekg(static_cast<std::streamoff>(size / 2));
  in.read(middle.data(), kCluster);
  in.seekg(static_cast<std::streamoff>(size - kCluster));
  in.read(tail.data(), kCluster);
  EXPECT_TRUE(head == v.Cluster(200));
  EXPECT_TRUE(middle == std::string(kCluster, '\0'));
  EXPECT_TRUE(tail == v.Cluster(250));
}

TEST(FileRecoverer, UnreadableSectorsAreReadAroundAndTheFileIsReportedAsPartial) {
  Volume v;
  v.Put(16, u"file.bin", File(u"file.bin").Data({{4, 300}}, 4 * kCluster - 10), 4 * kCluster - 10);
  v.Install();
  const std::uint64_t bad1 = v.image.ClusterSector(301) + 3, bad2 = v.image.ClusterSector(303);
  auto memory = std::make_shared<platform::MemoryDevice>(v.image.Disk());
  const std::string path = "mem://recoverer-bad-sectors";
  platform::DeviceTable::Instance().Install(
      path, std::make_shared<platform::FaultyDevice>(memory, std::set<std::uint64_t>{bad1, bad2}));
  v.session.devicePath[0] = path;
  auto recoverer = v.Open("bad-sectors");
  ASSERT_TRUE(recoverer);
  ExtractResult r = recoverer->Recover(v.Node(0), {});
  EXPECT_FALSE(r.ok);
  ASSERT_FALSE(r.path.empty()) << r.error;
  EXPECT_EQ(r.unreadableSectors, 2u);
  EXPECT_NE(r.error.find(std::to_string(bad1)), std::string::npos) << r.error;
  std::string expected = v.Cluster(300, 4).substr(0, 4 * kCluster - 10);
  std::fill_n(expected.begin() + kCluster + 3 * 512, 512, '\0');
  std::fill_n(expected.begin() + 3 * kCluster, 512, '\0');
  EXPECT_TRUE(test::ReadFileBytes(r.path) == expected);
}

TEST(FileRecoverer, AStopKeepsThePartWrittenAsPartialOrLeavesNothing) {
  Volume v;
  const std::uint64_t size = 2800 * kCluster;  // about 11 MiB: several reads of the copy buffer
  v.Put(16, u"big.bin", File(u"big.bin").Data({{2800, 200}}, size), size);
  v.Install();
  const std::uint64_t dataOffset = v.image.ClusterSector(200) * 512;
  auto memory = std::make_shared<platform::MemoryDevice>(v.image.Disk());
  struct Case {
    int stopAtRead;  // the data read during which the stop arrives; 0: before the file begins
    bool kept;
  };
  for (const Case c : {Case{2, true}, Case{0, false}}) {
    SCOPED_TRACE(c.stopAtRead);
    v.session.stopRequested.store(c.stopAtRead == 0 ? 1 : 0);
    const std::string path = "mem://recoverer-stop-" + std::to_string(c.stopAtRead);
    platform::DeviceTable::Instance().Install(
        path, std::make_shared<StoppingDevice>(memory, dataOffset, c.stopAtRead,
                                               v.session.stopRequested));
    v.session.devicePath[0] = path;
    const char* folder = c.kept ? "stop-kept" : "stop-none";
    auto recoverer = v.Open(folder);
    ASSERT_TRUE(recoverer);
    ExtractResult r = recoverer->Recover(v.Node(0), {});
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.stopped);
    EXPECT_LT(r.bytesWritten, size);
    if (c.kept) {
      // The part written is kept and the result says so: path set, not ok, stopped.
      ASSERT_FALSE(r.path.empty());
      EXPECT_GT(r.bytesWritten, 0u);
      EXPECT_TRUE(test::ReadFileBytes(r.path) == v.Cluster(200, 2800).substr(0, r.bytesWritten));
    } else {
      EXPECT_TRUE(r.path.empty());
      EXPECT_TRUE(std::filesystem::is_empty(test::TempDir() / folder));
    }
  }
  v.session.stopRequested.store(0);
}

TEST(FileRecoverer, FoldersAreMadeOnceAndNamesStayOnePathComponent) {
  Volume v;
  v.Put(16, u"a.txt", File(u"a.txt").ResidentData("alpha"), 5);
  v.Put(17, u"b/c.txt", File(u"b/c.txt").ResidentData("beta"), 4);
  v.Put(18, u"..", File(u"..").ResidentData("gamma"), 5);
  v.Install();
  auto recoverer = v.Open("folders");
  ASSERT_TRUE(recoverer);
  std::string error;
  ASSERT_TRUE(recoverer->MakeFolder({u"Docs", u"x/y"}, &error)) << error;
  const std::vector<std::u16string> folder{u"Docs", u"x/y"};
  const std::filesystem::path base = test::TempDir() / "folders" / "Docs" / "x_y";
  struct Case {
    std::size_t node;
    const char* file;
    const char* content;
  };
  for (const Case& c : {Case{0, "a.txt", "alpha"}, Case{1, "b_c.txt", "beta"},
                        Case{2, "_..", "gamma"}, Case{0, "a (1).txt", "alpha"}}) {
    ExtractResult r = recoverer->Recover(v.Node(c.node), folder);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.path, base / c.file);
    EXPECT_EQ(test::ReadFileBytes(base / c.file), c.content);
  }
  // Nothing was written outside the destination.
  std::size_t files = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(test::TempDir() / "folders"))
    files += e.is_regular_file();
  EXPECT_EQ(files, 4u);
}

TEST(FileRecoverer, AnUnusableDestinationIsRefusedBeforeAnyFile) {
  Volume v;
  v.Install();
  std::string error;
  EXPECT_FALSE(FileRecoverer::Open(v.session, "", &error));
  EXPECT_NE(error.find("empty"), std::string::npos);
  const auto file = test::TempDir() / "not-a-folder";
  std::ofstream(file) << "x";
  EXPECT_FALSE(FileRecoverer::Open(v.session, file, &error));
  EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
}

// A real image on a disk with unreadable sectors inside a file: the scan runs to its end over
// them, and the file is recovered around them, reported as partial with the count.
TEST(FileRecoverer, OnADiskWithBadSectorsTheScanCompletesAndFilesAreReadAround) {
  const std::filesystem::path image = test::FixtureImage("demo");
  if (image.empty()) GTEST_SKIP() << "fixture demo is missing";
  const std::string disk = test::ReadFileBytes(image);
  platform::DiskFacts facts;
  facts.capacityBytes = disk.size();
  facts.heads = 255;
  facts.sectorsPerTrack = 63;
  facts.model = "Disk image";
  auto memory = std::make_shared<platform::MemoryDevice>(disk);
  for (int number : {1, 3}) {  // FAT32 with one-sector clusters, which the sweep reads; NTFS
    SCOPED_TRACE(number);
    // The largest live file stored in one piece of at least four sectors, found on a clean read.
    RecoverySession clean;
    ui::ResultTree startup;
    facts.deviceName = facts.label = "mem://bad-sectors-clean-" + std::to_string(number);
    platform::DeviceTable::Instance().Install(facts.deviceName, memory);
    ASSERT_TRUE(SelectPartition(clean, AddDisk(clean, startup, facts), number));
    ReadBootSectorParameters(clean);
    RecordingView cleanView;
    ASSERT_EQ(RecoveryWorker(clean, cleanView), RunOutcome::Completed);
    auto cleanResult = clean.CurrentResult();
    ASSERT_TRUE(cleanResult);
    const CatalogueNode* chosen = nullptr;
    std::uint64_t offset = 0, size = 0;
    for (auto* n = cleanResult->catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
      const auto bytes = static_cast<std::uint64_t>(TextToInt(n->size));
      if (n->IsDeleted() || bytes <= size) continue;
      std::string error;
      auto plan =
          number == 1
              ? PlanFatFile(clean, bytes, static_cast<std::uint32_t>(TextToInt(n->id)), &error)
              : PlanNtfsFile(clean, bytes, static_cast<std::uint64_t>(TextToInt(n->sector)),
                             nullptr, &error);
      if (!plan || plan->pieces.size() != 1 || plan->pieces[0].kind != ExtractPiece::Kind::Source ||
          bytes < 4 * 512)
        continue;
      chosen = n;
      offset = plan->pieces[0].offset;
      size = bytes;
    }
    ASSERT_NE(chosen, nullptr);
    const std::uint64_t bad1 = offset / 512 + 1, bad2 = (offset + size) / 512 - 2;

    RecoverySession s;
    facts.deviceName = facts.label = "mem://bad-sectors-" + std::to_string(number);
    platform::DeviceTable::Instance().Install(
        facts.deviceName,
        std::make_shared<platform::FaultyDevice>(memory, std::set<std::uint64_t>{bad1, bad2}));
    ASSERT_TRUE(SelectPartition(s, AddDisk(s, startup, facts), number));
    ReadBootSectorParameters(s);
    RecordingView view;
    EXPECT_EQ(RecoveryWorker(s, view), RunOutcome::Completed);
    auto result = s.CurrentResult();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->catalogue.fileList.count.load(), cleanResult->catalogue.fileList.count.load());
    const CatalogueNode* same = nullptr;
    for (auto* n = result->catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      if (std::u16string_view(n->name) == chosen->name &&
          TextToInt(n->size) == TextToInt(chosen->size))
        same = n;
    ASSERT_NE(same, nullptr);
    std::string error;
    auto recoverer =
        FileRecoverer::Open(s, test::TempDir() / ("bad-sectors-" + std::to_string(number)), &error);
    ASSERT_TRUE(recoverer) << error;
    ExtractResult r = recoverer->Recover(*same, {});
    EXPECT_FALSE(r.ok);
    ASSERT_FALSE(r.path.empty()) << r.error;
    EXPECT_EQ(r.unreadableSectors, 2u);
    EXPECT_EQ(r.bytesWritten, size);
    std::string expected = disk.substr(offset, size);
    std::fill_n(expected.begin() + (bad1 * 512 - offset), 512, '\0');
    std::fill_n(expected.begin() + (bad2 * 512 - offset), 512, '\0');
    EXPECT_TRUE(test::ReadFileBytes(r.path) == expected);
  }
}

}  // namespace
}  // namespace brevant

// FindFatGeometry: boot-sector parameters when they hold together, else the content search.
#include <gtest/gtest.h>

#include "fat_test_util.h"

namespace brevant::fattest {
namespace {

// The worked example: FAT32 at sector 63, 8 sectors per cluster, 32 reserved sectors, two
// FAT copies of 1000 sectors, so the data area begins at 2095 and cluster n at 2079 + 8n.
Layout WorkedExample() {
  Layout l;
  l.fat32 = true;
  l.partStart = 63;
  l.sectorsPerCluster = 8;
  l.reserved = 32;
  l.fatSize = 1000;
  l.clusters = 100;
  return l;
}

void ZeroBootSectors(CraftedVolume& v) {
  v.PutSector(v.layout().partStart, std::string(512, '\0'));
  v.PutSector(v.layout().partStart + 6, std::string(512, '\0'));
}

void PutDirectoryStart(CraftedVolume& v, std::uint64_t sector, std::uint32_t dotCluster) {
  v.PutSector(sector, DotEntries(dotCluster, 0));
}

struct Outcome {
  int result;
  PartitionParameters params;
  std::vector<int> progress;
};

Outcome Find(CraftedVolume& v, const std::string& fsName = "", std::uint32_t batch = 0) {
  RecoverySession s;
  Select(s, v);
  if (!fsName.empty()) s.scanFsName = fsName;
  RecordingView view;
  FatReadOptions options;
  options.batchSectors = batch;
  int r = FindFatGeometry(s, view, options);
  return {r, s.partParams, view.ProgressValues()};
}

TEST(FatGeometry, WorkedExampleFromTheContent) {
  CraftedVolume v(WorkedExample());
  ZeroBootSectors(v);
  PutDirectoryStart(v, 2119, 5);
  PutDirectoryStart(v, 2151, 9);
  for (std::uint32_t batch : {0u, 1u, 7u}) {
    Outcome o = Find(v, "", batch);
    ASSERT_EQ(o.result, 1) << batch;
    EXPECT_EQ(o.params.reservedSectors, 32u);
    EXPECT_EQ(o.params.sectorsPerCluster, 8u);
    EXPECT_EQ(o.params.clusterBase, 2079u);
    EXPECT_EQ(o.params.fatSizeSectors, 1000u);
    EXPECT_EQ(o.params.fat1Start, 95u);
    EXPECT_EQ(o.params.fat2Start, 1095u);
    EXPECT_EQ(o.params.rootDirStart, 2u);
    EXPECT_EQ(o.params.rootDirSectors, 0u);
  }
}

TEST(FatGeometry, ValidBootSectorStandsWithoutASweep) {
  for (bool fat32 : {true, false}) {
    Layout l = WorkedExample();
    l.fat32 = fat32;
    if (!fat32) {
      l.reserved = 4;
      l.fatSize = 40;
      l.rootEntries = 1024;
    }
    CraftedVolume v(l);
    auto inner = std::make_shared<platform::MemoryDevice>(v.bytes());
    auto counting = std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{});
    const std::string path = "mem://geometry-valid-" + std::to_string(fat32);
    platform::DeviceTable::Instance().Install(path, counting);
    RecoverySession s;
    SelectDisk(s, path, l.partStart, v.PartEnd(), fat32 ? "FAT32" : "FAT16");
    RecordingView view;
    ASSERT_EQ(FindFatGeometry(s, view), 1);
    EXPECT_TRUE(view.ProgressValues().empty()) << "the boot sector was valid: no sweep";
    EXPECT_LE(counting->ReadCalls(), 4u);
    EXPECT_EQ(s.partParams.sectorsPerCluster, l.sectorsPerCluster);
    EXPECT_EQ(s.partParams.fat1Start, l.partStart + l.reserved);
    EXPECT_EQ(s.partParams.fat2Start, l.partStart + l.reserved + l.fatSize);
    EXPECT_EQ(s.partParams.fatSizeSectors, l.fatSize);
    EXPECT_EQ(s.partParams.clusterBase + 2 * l.sectorsPerCluster, v.DataStart());
    if (fat32) {
      EXPECT_EQ(s.partParams.rootDirStart, 2u);
      EXPECT_EQ(s.partParams.rootDirSectors, 0u);
    } else {
      EXPECT_EQ(s.partParams.rootDirStart, v.RootStart());
      EXPECT_EQ(s.partParams.rootDirSectors, 64u);  // 1024 entries, not the usual 512
    }
  }
}

TEST(FatGeometry, OneFatCopyFromTheBootSector) {
  Layout l = WorkedExample();
  l.fats = 1;
  CraftedVolume v(l);
  Outcome o = Find(v);
  ASSERT_EQ(o.result, 1);
  EXPECT_TRUE(o.progress.empty());
  EXPECT_EQ(o.params.fat2Start, o.params.fat1Start);
  EXPECT_EQ(o.params.clusterBase + 16, v.DataStart());
}

// Which boot sectors stand (no sweep) and which send the search to the content.
struct BootCase {
  const char* what;
  std::function<void(CraftedVolume&)> damage;
  bool stands;
};

TEST(FatGeometry, BootSectorValidation) {
  const std::vector<BootCase> cases = {
      {"intact", [](CraftedVolume&) {}, true},
      {"no signature in either copy",
       [](CraftedVolume& v) {
         v.bytes()[(63 + 0) * 512 + 510] = 0;
         v.bytes()[(63 + 6) * 512 + 510] = 0;
       },
       false},
      {"primary damaged, backup at +6 intact", [](CraftedVolume& v) { v.bytes()[63 * 512 + 510] = 0; }, true},
      {"3 sectors per cluster",
       [](CraftedVolume& v) {
         v.bytes()[63 * 512 + 13] = 3;
         v.bytes()[69 * 512 + 13] = 3;
       },
       false},
      {"bytes per sector 300",
       [](CraftedVolume& v) {
         Put16(v.bytes(), 63 * 512 + 11, 300);
         Put16(v.bytes(), 69 * 512 + 11, 300);
       },
       false},
      {"no FAT copies",
       [](CraftedVolume& v) {
         v.bytes()[63 * 512 + 16] = 0;
         v.bytes()[69 * 512 + 16] = 0;
       },
       false},
      {"media byte gone from FAT #1, kept in FAT #2",
       [](CraftedVolume& v) { v.bytes()[v.Fat1() * 512] = 0; }, true},
      {"media byte gone from both FATs",
       [](CraftedVolume& v) {
         v.bytes()[v.Fat1() * 512] = 0;
         v.bytes()[(v.Fat1() + 1000) * 512] = 0;
       },
       false},
      {"FAT too small for the clusters",
       [](CraftedVolume& v) {
         Put32(v.bytes(), 63 * 512 + 36, 1);
         Put32(v.bytes(), 69 * 512 + 36, 1);
       },
       false},
      {"data area past the partition",
       [](CraftedVolume& v) {
         Put16(v.bytes(), 63 * 512 + 14, 60000);
         Put16(v.bytes(), 69 * 512 + 14, 60000);
       },
       false},
  };
  for (const auto& c : cases) {
    CraftedVolume v(WorkedExample());
    PutDirectoryStart(v, 2119, 5);
    PutDirectoryStart(v, 2151, 9);
    c.damage(v);
    Outcome o = Find(v);
    EXPECT_EQ(o.progress.empty(), c.stands) << c.what;
    // Either way the layout comes out right.
    EXPECT_EQ(o.result, 1) << c.what;
    EXPECT_EQ(o.params.clusterBase, 2079u) << c.what;
    EXPECT_EQ(o.params.fat1Start, 95u) << c.what;
  }
  // A FAT16 layout is no FAT32 boot sector.
  CraftedVolume v(WorkedExample());
  EXPECT_FALSE(Find(v, "FAT16").progress.empty());
}

// The pairing of directory starts, on the worked example's volume with both boot sectors gone.
struct PairCase {
  const char* what;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> starts;  // (sector, "." cluster)
  bool found;
};

TEST(FatGeometry, PairingOfDirectoryStarts) {
  const std::vector<PairCase> cases = {
      {"two directories", {{2119, 5}, {2151, 9}}, true},
      {"reference naming cluster 0 is passed over", {{2103, 0}, {2119, 5}, {2151, 9}}, true},
      {"reference naming cluster 1 is passed over", {{2103, 1}, {2119, 5}, {2151, 9}}, true},
      {"candidate with a smaller cluster", {{2119, 5}, {2151, 3}}, false},
      {"distance not a multiple of the cluster distance", {{2119, 5}, {2152, 9}}, false},
      {"quotient 3", {{2119, 5}, {2122, 6}}, false},
      {"quotient 9", {{2119, 5}, {2155, 9}}, false},
      {"quotient 256", {{2119, 5}, {2375, 6}}, false},
      {"a single directory", {{2119, 5}}, false},
      {"a bad candidate, then a good one", {{2119, 5}, {2122, 6}, {2151, 9}}, true},
  };
  for (const auto& c : cases) {
    CraftedVolume v(WorkedExample());
    ZeroBootSectors(v);
    for (auto [sector, cluster] : c.starts) PutDirectoryStart(v, sector, cluster);
    Outcome o = Find(v);
    EXPECT_EQ(o.result, c.found ? 1 : 0) << c.what;
    // Written before the pairing, whatever its outcome.
    EXPECT_EQ(o.params.reservedSectors, 32u) << c.what;
    EXPECT_EQ(o.params.rootDirStart, 2u) << c.what;
    if (c.found) {
      EXPECT_EQ(o.params.clusterBase, 2079u) << c.what;
      EXPECT_EQ(o.params.sectorsPerCluster, 8u) << c.what;
    }
  }
}

TEST(FatGeometry, StaleCopiesAreOutvoted) {
  CraftedVolume v(WorkedExample());
  ZeroBootSectors(v);
  // The first two directory starts pair wrongly (a copy kept at the wrong place).
  PutDirectoryStart(v, 2104, 4);
  PutDirectoryStart(v, 2120, 6);
  for (std::uint32_t k = 10; k < 20; ++k) PutDirectoryStart(v, 2079 + 8 * k, k);
  Outcome o = Find(v);
  ASSERT_EQ(o.result, 1);
  EXPECT_EQ(o.params.clusterBase, 2079u);
  EXPECT_EQ(o.params.sectorsPerCluster, 8u);
}

TEST(FatGeometry, FatSignatureWindow) {
  // FAT32: the signature at S + 32 and nowhere else gives 32; without any, 32 too.
  {
    CraftedVolume v(WorkedExample());
    ZeroBootSectors(v);
    PutDirectoryStart(v, 2119, 5);
    PutDirectoryStart(v, 2151, 9);
    EXPECT_EQ(Find(v).params.reservedSectors, 32u);
    v.bytes()[v.Fat1() * 512] = 0;
    v.bytes()[(v.Fat1() + 1000) * 512] = 0;
    EXPECT_EQ(Find(v).params.reservedSectors, 32u);
  }
  // FAT16 with FAT copies of 2 sectors: both copies begin within the first ten sectors; FAT #1
  // is the first of them, not the last.
  {
    Layout l;
    l.fat32 = false;
    l.partStart = 0;
    l.reserved = 1;
    l.fatSize = 2;
    l.sectorsPerCluster = 4;
    l.clusters = 400;
    CraftedVolume v(l);
    v.PutSector(0, std::string(512, '\0'));
    PutDirectoryStart(v, v.ClusterSector(5), 5);
    PutDirectoryStart(v, v.ClusterSector(9), 9);
    Outcome o = Find(v);
    ASSERT_EQ(o.result, 1);
    EXPECT_EQ(o.params.reservedSectors, 1u);
    EXPECT_EQ(o.params.fat1Start, 1u);
    EXPECT_EQ(o.params.fat2Start, 3u);
    EXPECT_EQ(o.params.rootDirStart, 5u);
    EXPECT_EQ(o.params.rootDirSectors, 32u);
    EXPECT_EQ(o.params.clusterBase + 8, v.DataStart());
  }
}

TEST(FatGeometry, ReconciledWithWhatTheBootSectorStillSays) {
  // One FAT copy, boot sector without its signature: its FAT count still counts.
  {
    Layout l = WorkedExample();
    l.fats = 1;
    CraftedVolume v(l);
    v.bytes()[63 * 512 + 510] = 0;
    v.bytes()[69 * 512 + 510] = 0;
    PutDirectoryStart(v, v.ClusterSector(5), 5);
    PutDirectoryStart(v, v.ClusterSector(9), 9);
    Outcome o = Find(v);
    ASSERT_EQ(o.result, 1);
    EXPECT_FALSE(o.progress.empty());
    EXPECT_EQ(o.params.fatSizeSectors, 1000u);
    EXPECT_EQ(o.params.fat2Start, o.params.fat1Start);
  }
  // One FAT copy and nothing left of the boot sector: no second copy half-way, so one.
  {
    Layout l = WorkedExample();
    l.fats = 1;
    CraftedVolume v(l);
    ZeroBootSectors(v);
    PutDirectoryStart(v, v.ClusterSector(5), 5);
    PutDirectoryStart(v, v.ClusterSector(9), 9);
    Outcome o = Find(v);
    ASSERT_EQ(o.result, 1);
    EXPECT_EQ(o.params.fatSizeSectors, 1000u);
    EXPECT_EQ(o.params.fat2Start, o.params.fat1Start);
  }
  // FAT16 with 1024 root entries and a damaged signature: the root directory is 64 sectors.
  {
    Layout l;
    l.fat32 = false;
    l.partStart = 2048;
    l.reserved = 4;
    l.fatSize = 40;
    l.rootEntries = 1024;
    l.sectorsPerCluster = 4;
    l.clusters = 5000;
    CraftedVolume v(l);
    v.bytes()[2048 * 512 + 510] = 0;
    PutDirectoryStart(v, v.ClusterSector(5), 5);
    PutDirectoryStart(v, v.ClusterSector(9), 9);
    Outcome o = Find(v);
    ASSERT_EQ(o.result, 1);
    EXPECT_EQ(o.params.rootDirSectors, 64u);
    EXPECT_EQ(o.params.rootDirStart, v.RootStart());
    EXPECT_EQ(o.params.fatSizeSectors, 40u);
    EXPECT_EQ(o.params.fat2Start, 2048u + 4 + 40);
    EXPECT_EQ(o.params.clusterBase + 8, v.DataStart());
  }
}

TEST(FatGeometry, ProgressRunsOnceFromZeroToHundred) {
  Layout l = WorkedExample();
  l.partStart = 4096;  // a late partition still starts at 0
  l.clusters = 3000;
  CraftedVolume v(l);
  ZeroBootSectors(v);
  PutDirectoryStart(v, v.ClusterSector(5), 5);
  PutDirectoryStart(v, v.ClusterSector(9), 9);
  Outcome o = Find(v, "", 64);
  ASSERT_GE(o.progress.size(), 3u);
  EXPECT_EQ(o.progress.front(), 0);
  EXPECT_EQ(o.progress.back(), 100);
  for (std::size_t i = 1; i < o.progress.size(); ++i) EXPECT_GT(o.progress[i], o.progress[i - 1]);
}

TEST(FatGeometry, StopEndsTheSearchAndLeavesTheRequestForTheWorker) {
  CraftedVolume v(WorkedExample());
  ZeroBootSectors(v);
  PutDirectoryStart(v, 2119, 5);
  PutDirectoryStart(v, 2151, 9);
  RecoverySession s;
  Select(s, v);
  s.stopRequested.store(1);
  RecordingView view;
  EXPECT_EQ(FindFatGeometry(s, view), 0);
  EXPECT_EQ(s.stopRequested.load(), 1);
  EXPECT_EQ(s.partParams.clusterBase, 0u);
  EXPECT_TRUE(HonourStop(s, view));
}

TEST(FatGeometry, OnlyFatNames) {
  CraftedVolume v(WorkedExample());
  Outcome o = Find(v, "NTFS");
  EXPECT_EQ(o.result, 0);
  EXPECT_EQ(o.params.fat1Start, 0u);
  EXPECT_EQ(o.params.sectorsPerCluster, 0u);
}

// Real volumes: the content search, with both boot sectors wiped, finds what the boot sector
// said.
class RealGeometryTest : public ::testing::TestWithParam<int> {};

TEST_P(RealGeometryTest, ContentSearchMatchesTheBootSector) {
  if (!HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  const int bits = GetParam();
  const auto dir = test::TempDir() / ("geometry" + std::to_string(bits));
  std::filesystem::create_directories(dir);
  const auto image = dir / "fat.img";
  // FAT32 needs 65525 clusters: one sector each keeps the image small.
  ASSERT_EQ(RunTool("mkfs.fat -F " + std::to_string(bits) + (bits == 32 ? " -s 1" : " -s 4") + " -C '" +
                    image.string() + "' 40000"),
            0);
  for (const char* d : {"A", "B", "C", "A/D", "B/E"})
    ASSERT_EQ(RunTool("mmd -i '" + image.string() + "' ::/" + d), 0);
  std::string bytes = ReadFile(image);
  const std::string fsName = bits == 32 ? "FAT32" : "FAT16";
  RecoverySession good;
  SelectDisk(good, test::InstallMemoryDisk(bytes), 0, bytes.size() / 512, fsName);
  RecordingView view;
  ASSERT_EQ(FindFatGeometry(good, view), 1);
  ASSERT_TRUE(view.ProgressValues().empty());

  std::memset(bytes.data(), 0, 512);
  if (bits == 32) std::memset(bytes.data() + 6 * 512, 0, 512);
  RecoverySession searched;
  SelectDisk(searched, test::InstallMemoryDisk(bytes), 0, bytes.size() / 512, fsName);
  RecordingView view2;
  ASSERT_EQ(FindFatGeometry(searched, view2), 1);
  EXPECT_FALSE(view2.ProgressValues().empty());
  const auto& a = good.partParams;
  const auto& b = searched.partParams;
  EXPECT_EQ(b.sectorsPerCluster, a.sectorsPerCluster);
  EXPECT_EQ(b.clusterBase, a.clusterBase);
  EXPECT_EQ(b.fat1Start, a.fat1Start);
  EXPECT_EQ(b.fat2Start, a.fat2Start);
  EXPECT_EQ(b.fatSizeSectors, a.fatSizeSectors);
  EXPECT_EQ(b.rootDirStart, a.rootDirStart);
  EXPECT_EQ(b.rootDirSectors, a.rootDirSectors);
  EXPECT_EQ(b.reservedSectors, a.reservedSectors);
}

INSTANTIATE_TEST_SUITE_P(Fat, RealGeometryTest, ::testing::Values(16, 32),
                         [](const auto& info) { return "FAT" + std::to_string(info.param); });

}  // namespace
}  // namespace brevant::fattest

namespace brevant::fattest {
namespace {

// A FAT32 volume of 4 KiB sectors (mkfs.fat -S 4096): the worked example's layout at a 4 KiB
// boundary, its boot sectors counting 4 KiB sectors. The backup lies 6 of those in (48 units).
TEST(FatGeometry, VolumeOf4kSectorsFromEitherBootSector) {
  Layout l = WorkedExample();
  l.partStart = 64;
  CraftedVolume v(l);
  std::string bs(512, '\0');
  std::memcpy(bs.data(), v.bytes().data() + 64 * 512, 512);
  Put16(bs, 11, 4096);
  bs[13] = 1;        // 8 units per cluster
  Put16(bs, 14, 4);  // 32 reserved units
  Put32(bs, 32, static_cast<std::uint32_t>((v.PartEnd() - 64) / 8));
  Put32(bs, 36, 125);  // FATs of 1000 units
  for (bool primaryLost : {false, true}) {
    SCOPED_TRACE(primaryLost ? "backup at 4 KiB sector 6" : "primary");
    v.PutSector(64, primaryLost ? std::string(512, '\0') : bs);
    v.PutSector(64 + 6, std::string(512, '\0'));  // nothing where a 512-byte reading looks
    v.PutSector(64 + 48, bs);
    RecoverySession s;
    Select(s, v);
    s.selectedSectorSize = 4096;
    RecordingView view;
    ASSERT_EQ(FindFatGeometry(s, view), 1);
    EXPECT_EQ(s.partParams.sectorsPerCluster, 8u);
    EXPECT_EQ(s.partParams.reservedSectors, 32u);
    EXPECT_EQ(s.partParams.fatSizeSectors, 1000u);
    EXPECT_EQ(s.partParams.fat1Start, 96u);
    EXPECT_EQ(s.partParams.fat2Start, 1096u);
    EXPECT_EQ(s.partParams.clusterBase, 64u + 32 + 2000 - 16);
    EXPECT_EQ(s.partParams.rootDirStart, 2u);
    EXPECT_TRUE(view.ProgressValues().empty());  // from a boot sector, not from a search
  }
}

}  // namespace
}  // namespace brevant::fattest

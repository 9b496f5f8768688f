// The walk and the parameter reader on images made by real tools (sfdisk, mkfs.fat, mkntfs).
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "crafted_disk.h"
#include "disk/disks.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

const char* const kFixtures[] = {"demo",         "mbr_four_primaries", "mbr_extended_chain",
                                 "mbr_ebr_loop", "gpt_three",          "gpt_backup_only",
                                 "whole_fat32",  "whole_ntfs",         "mbr_type_cases",
                                 "ntfs_features"};

nlohmann::json Manifest(const std::string& name) {
  std::ifstream in(fs::path(BREVANT_FIXTURES_DIR) / (name + ".manifest.json"));
  return nlohmann::json::parse(in);
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class Fixture : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    image_ = test::FixtureImage(GetParam());
    if (image_.empty()) GTEST_SKIP() << "fixture " << GetParam() << " not made yet";
  }
  fs::path image_;
};

TEST_P(Fixture, PartitionsAndParametersMatchTheManifest) {
  const nlohmann::json man = Manifest(GetParam());
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, nullptr, {image_.string()});
  ASSERT_EQ(s.diskInfoList.size(), 1u);
  EXPECT_TRUE(s.diskInfoList[0].openError.empty());
  const DriveRecord& r = s.driveRecords[0];

  std::vector<std::tuple<int, std::string, std::uint64_t, std::uint64_t>> got, want;
  for (std::size_t i = 0; i < r.partitions.size(); ++i)
    got.emplace_back(static_cast<int>(i) + 1, r.fsName[i], r.partitions[i].startSector,
                     r.partitions[i].endSector);
  for (const auto& p : man["partitions"])
    want.emplace_back(p["number"].get<int>(), p["fs"].get<std::string>(),
                      p["start"].get<std::uint64_t>(), p["end"].get<std::uint64_t>());
  EXPECT_EQ(got, want);

  // Every partition's boot sector gives parameters, with the cluster size mkfs chose.
  for (const auto& p : man["partitions"]) {
    const int number = p["number"].get<int>();
    if (number > r.partitionCount) continue;
    ASSERT_TRUE(SelectPartition(s, 0, number));
    ASSERT_EQ(ReadBootSectorParameters(s), 1) << "partition " << number;
    if (p.contains("clusterSize")) {
      EXPECT_EQ(s.partParams.sectorsPerCluster, p["clusterSize"].get<std::uint64_t>() / 512)
          << "partition " << number;
    }
    if (s.selectedFsName == "NTFS") {
      EXPECT_GT(s.partParams.mftStart, s.selectedPartitionStart);
      EXPECT_GT(s.partParams.mftMirrStart, s.selectedPartitionStart);
      EXPECT_EQ(s.partParams.sectorsPerFileRecord, 2u);
      EXPECT_EQ(s.partParams.clusterBase, s.selectedPartitionStart);
    } else {
      EXPECT_EQ(s.partParams.fat1Start, s.selectedPartitionStart + s.partParams.reservedSectors);
      EXPECT_EQ(s.partParams.fat2Start, s.partParams.fat1Start + s.partParams.fatSizeSectors);
      EXPECT_LT(s.partParams.clusterBase, s.selectedPartitionEnd);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Images, Fixture, ::testing::ValuesIn(kFixtures),
                         [](const auto& info) { return std::string(info.param); });

TEST(FixtureParameters, Fat32WithDamagedPrimaryBootSectorTakesTheBackup) {
  fs::path image = test::FixtureImage("whole_fat32");
  if (image.empty()) GTEST_SKIP() << "fixture whole_fat32 not made yet";
  std::string bytes = ReadAll(image);
  RecoverySession s;
  s.EnsureDisk(0);
  s.devicePath[0] = test::InstallMemoryDisk(bytes);
  s.selectedPartitionStart = 0;
  s.selectedPartitionEnd = bytes.size() / 512;
  s.selectedFsName = "FAT32";
  ASSERT_EQ(ReadBootSectorParameters(s), 1);
  const PartitionParameters intact = s.partParams;

  // The primary loses its signature and its numbers; the backup at sector 6 is untouched.
  bytes[510] = bytes[511] = 0;
  bytes[13] = 0;
  test::Put16(bytes, 14, 0);
  test::Put32(bytes, 36, 0);
  s.devicePath[0] = test::InstallMemoryDisk(bytes);
  s.partParams = PartitionParameters{};
  ASSERT_EQ(ReadBootSectorParameters(s), 1);
  EXPECT_EQ(s.partParams.sectorsPerCluster, intact.sectorsPerCluster);
  EXPECT_EQ(s.partParams.reservedSectors, intact.reservedSectors);
  EXPECT_EQ(s.partParams.fatSizeSectors, intact.fatSizeSectors);
  EXPECT_EQ(s.partParams.clusterBase, intact.clusterBase);
  EXPECT_EQ(s.partParams.rootDirStart, intact.rootDirStart);
  EXPECT_NE(s.partParams.fatSizeSectors, 0u);
}

TEST(FixtureParameters, NtfsWithUnreadableMftUsesOnlyTheMirror) {
  fs::path image = test::FixtureImage("whole_ntfs");
  if (image.empty()) GTEST_SKIP() << "fixture whole_ntfs not made yet";
  const std::string bytes = ReadAll(image);
  RecoverySession s;
  s.EnsureDisk(0);
  s.devicePath[0] = test::InstallMemoryDisk(bytes);
  s.selectedPartitionStart = 0;
  s.selectedPartitionEnd = bytes.size() / 512;
  s.selectedFsName = "NTFS";
  ASSERT_EQ(ReadBootSectorParameters(s), 1);
  const std::uint64_t mft = s.partParams.mftStart;
  const std::uint64_t mirror = s.partParams.mftMirrStart;
  ASSERT_NE(mft, 0u);
  ASSERT_NE(mirror, 0u);
  ASSERT_NE(mft, mirror);

  auto faulty = std::make_shared<platform::FaultyDevice>(
      std::make_shared<platform::MemoryDevice>(bytes), std::set<std::uint64_t>{mft});
  s.devicePath[0] = test::InstallDevice(faulty);
  s.partParams = PartitionParameters{};
  ASSERT_EQ(ReadBootSectorParameters(s), 1);
  EXPECT_EQ(s.partParams.mftStart, 0u);
  EXPECT_EQ(s.partParams.mftMirrStart, mirror);
}

}  // namespace
}  // namespace brevant

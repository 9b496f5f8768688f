// Damaged and crafted disks: every engine must come back with a result, never crash or hang.
// Real images made by real tools are damaged at random places inside their metadata, and the
// whole path the window takes is run on each: walk, selection, parameters, scan, tree, listing
// and extraction.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include <cstring>

#include "pipeline.h"
#include "test_support.h"

namespace brevant {
namespace {

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Damages fixture `name` at `seeds` random sets of places inside its metadata and runs the
// whole pipeline in `mode` on each.
void DamageAndRun(const char* name, unsigned seeds, int mode) {
  std::filesystem::path image = test::FixtureImage(name);
  if (image.empty()) GTEST_SKIP() << "fixture " << name << " is missing";
  const std::string pristine = ReadAll(image);
  ASSERT_GE(pristine.size(), 512u);
  // Sectors that hold anything at all: that is where the structures are.
  std::vector<std::size_t> used;
  for (std::size_t s = 0; s + 512 <= pristine.size(); s += 512)
    if (std::string_view(pristine).substr(s, 512).find_first_not_of('\0') != std::string_view::npos)
      used.push_back(s / 512);
  ASSERT_FALSE(used.empty());

  platform::DiskFacts facts;
  facts.capacityBytes = pristine.size();
  facts.heads = 255;
  facts.sectorsPerTrack = 63;
  facts.model = "Damaged image";
  PipelineResult clean;
  {
    facts.deviceName = test::InstallMemoryDisk(pristine);
    facts.label = facts.deviceName;
    clean = RunWholePipeline(facts, 1 << 20, mode);
    EXPECT_EQ(clean.violations, 0u) << clean.firstViolation;
    EXPECT_GT(clean.partitions, 0u);
    EXPECT_GT(clean.files, 0u);
  }
  for (unsigned seed = 1; seed <= seeds; ++seed) {
    std::mt19937 rng(seed);
    std::string damaged = pristine;
    const int flips = seed % 3 == 0 ? 2000 : 150;
    for (int i = 0; i < flips; ++i) {
      std::size_t sector = used[rng() % used.size()];
      std::size_t at = sector * 512 + rng() % 512;
      damaged[at] = static_cast<char>(seed % 2 ? rng() : damaged[at] ^ (1 << (rng() % 8)));
    }
    facts.deviceName = test::InstallMemoryDisk(std::move(damaged));
    facts.label = facts.deviceName;
    SCOPED_TRACE("seed " + std::to_string(seed));
    PipelineResult r = RunWholePipeline(facts, 1 << 20, mode);
    EXPECT_EQ(r.violations, 0u) << r.firstViolation;
    platform::DeviceTable::Instance().Remove(facts.deviceName);
  }
}

class HostileImage : public ::testing::TestWithParam<const char*> {};

TEST_P(HostileImage, RandomDamageInMetadataNeverCrashesOrHangs) { DamageAndRun(GetParam(), 12, 1); }

// The extensive scan reads everything the quick one does and more: the damaged images and the
// volumes whose structures were wiped.
class HostileImageExtensive : public ::testing::TestWithParam<const char*> {};

TEST_P(HostileImageExtensive, RandomDamageNeverCrashesTheExtensiveScan) {
  DamageAndRun(GetParam(), 6, 2);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, HostileImageExtensive,
                         ::testing::Values("ntfs_reformat", "fat32_zeroed_fats", "mbr_zeroed",
                                           "ntfs_features", "exfat_reformat"));

INSTANTIATE_TEST_SUITE_P(Fixtures, HostileImage,
                         ::testing::Values("demo", "whole_fat32", "whole_ntfs", "ntfs_features",
                                           "mbr_ebr_loop", "gpt_backup_only", "whole_ntfs_4k",
                                           "mbr_4k", "exfat_mbr", "exfat_128k"));

TEST(HostileImage, CraftedGarbageDisksEndCleanly) {
  // Boot-sector texts on otherwise random sectors: every engine meets nonsense parameters.
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    std::string bytes(2048 * 512, '\0');
    for (std::size_t i = 0; i < bytes.size(); i += 1 + rng() % 64) bytes[i] = static_cast<char>(rng());
    // An MBR with one entry pointing at a "boot sector" carrying a file-system text.
    bytes[510] = 0x55;
    bytes[511] = static_cast<char>(0xAA);
    bytes[446 + 4] = 0x07;
    test::Put32(bytes, 446 + 8, 64);
    test::Put32(bytes, 446 + 12, 2048 - 64);
    std::size_t boot = 64 * 512;
    static const char* kTexts[] = {"FAT32", "FAT16", "NTFS"};
    const char* text = kTexts[seed % 3];
    std::size_t at = seed % 3 == 0 ? 82 : seed % 3 == 1 ? 54 : 3;
    std::memcpy(&bytes[boot + at], text, std::strlen(text));
    bytes[boot + 510] = 0x55;
    bytes[boot + 511] = static_cast<char>(0xAA);
    platform::DiskFacts facts;
    facts.deviceName = test::InstallMemoryDisk(bytes);
    facts.label = facts.deviceName;
    facts.capacityBytes = bytes.size();
    SCOPED_TRACE("seed " + std::to_string(seed));
    PipelineResult r = RunWholePipeline(facts);
    EXPECT_EQ(r.partitions, 1u);
    EXPECT_EQ(r.violations, 0u) << r.firstViolation;
    platform::DeviceTable::Instance().Remove(facts.deviceName);
  }
}

// A truncated image (or a crafted table) whose FAT partitions claim terabytes the image does not
// hold: the search and the sweep stop asking where the image ends, instead of a read per batch or
// per cluster over the whole claimed range. Found by the pipeline fuzz target.
TEST(HostileImage, PartitionsClaimingFarMoreThanTheImageEndAtItsEnd) {
  for (std::uint8_t type : {std::uint8_t{0x06}, std::uint8_t{0x0B}}) {
    std::string bytes(8 * 512, '\0');
    bytes[510] = 0x55;
    bytes[511] = static_cast<char>(0xAA);
    bytes[446 + 4] = static_cast<char>(type);
    test::Put32(bytes, 446 + 8, 4);
    test::Put32(bytes, 446 + 12, 0xA2000000u);  // 1.3 TiB
    const std::string path = "mem://claims-terabytes";
    auto device = std::make_shared<platform::FaultyDevice>(
        std::make_shared<platform::MemoryDevice>(bytes), std::set<std::uint64_t>{});
    platform::DeviceTable::Instance().Install(path, device);
    platform::DiskFacts facts;
    facts.deviceName = path;
    facts.label = path;
    facts.capacityBytes = bytes.size();
    PipelineResult r = RunWholePipeline(facts);
    EXPECT_EQ(r.partitions, 1u) << int{type};
    EXPECT_EQ(r.violations, 0u) << r.firstViolation;
    EXPECT_LT(device->ReadCalls(), 1000u) << int{type};
    platform::DeviceTable::Instance().Remove(path);
  }
}

// What the pipeline fuzz target found, kept in its seed corpus ("claims-*"): images far smaller
// than what their tables or boot sectors claim, one of them smaller than a sector.
TEST(HostileImage, FuzzFindingsEndAtTheImageEnd) {
  const auto corpus = std::filesystem::path(BREVANT_FIXTURES_DIR).parent_path().parent_path().parent_path() /
                      "fuzz" / "corpus" / "pipeline_fuzz";
  std::size_t seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (entry.path().filename().string().rfind("claims-", 0) != 0) continue;
    ++seen;
    const std::string path = "mem://" + entry.path().filename().string();
    auto device = std::make_shared<platform::FaultyDevice>(
        std::make_shared<platform::MemoryDevice>(ReadAll(entry.path())), std::set<std::uint64_t>{});
    platform::DeviceTable::Instance().Install(path, device);
    platform::DiskFacts facts;
    facts.deviceName = path;
    facts.label = path;
    facts.capacityBytes = device->SizeBytes();
    PipelineResult r = RunWholePipeline(facts);
    EXPECT_EQ(r.violations, 0u) << r.firstViolation;
    EXPECT_GE(r.partitions, 1u) << path;
    EXPECT_LT(device->ReadCalls(), 1000u) << path;
    platform::DeviceTable::Instance().Remove(path);
  }
  EXPECT_GE(seen, 2u);
}

}  // namespace
}  // namespace brevant

// BuildClusterChain: chains end at their end mark, a broken link, the limit, or the first
// cluster that would come round again, whatever the chain's length.
#include <gtest/gtest.h>

#include "fat/fat_volume.h"
#include "fat_test_util.h"

namespace brevant::fattest {
namespace {

fat::FatVolume VolumeOf(CraftedVolume& v, const std::string& device) {
  fat::FatVolume f;
  f.kind = fat::FatKind::Fat32;
  f.device = device;
  f.partStart = v.layout().partStart;
  f.partEnd = v.PartEnd();
  f.sectorsPerCluster = v.layout().sectorsPerCluster;
  f.clusterBase = v.DataStart() - 2 * f.sectorsPerCluster;
  f.dataStart = v.DataStart();
  f.fatSize = v.layout().fatSize;
  f.fat1Start = v.Fat1();
  f.lastCluster = v.layout().clusters + 1;
  return f;
}

TEST(FatChain, EndsAtTheFirstClusterThatComesRoundAgain) {
  constexpr std::uint32_t eoc = 0x0FFFFFFF;
  std::vector<std::uint32_t> longChain;
  for (std::uint32_t c = 10; c < 4010; ++c) longChain.push_back(c);
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links;  // cluster -> value
    std::uint32_t start;
    std::size_t limit;
    std::vector<std::uint32_t> chain;
    bool clean;
  };
  const Case cases[] = {
      {"an intact chain", {{5, 9}, {9, 7}, {7, eoc}}, 5, 100, {5, 9, 7}, true},
      {"a cluster naming itself", {{5, 5}}, 5, 100, {5}, false},
      {"a loop back to the start", {{5, 6}, {6, 7}, {7, 5}}, 5, 100, {5, 6, 7}, false},
      {"a loop into the middle", {{5, 6}, {6, 7}, {7, 8}, {8, 6}}, 5, 100, {5, 6, 7, 8}, false},
      {"the limit ends a long chain",
       {},
       10,
       50,
       {longChain.begin(), longChain.begin() + 51},
       false},
      {"a free cluster breaks it", {{5, 6}, {6, 0}}, 5, 100, {5, 6}, false},
      {"a start outside the volume", {}, 0x0FFFFFF0, 100, {0x0FFFFFF0}, false},
  };
  for (const Case& c : cases) {
    Layout l;
    l.sectorsPerCluster = 1;
    l.fatSize = 64;
    l.clusters = 5000;
    CraftedVolume v(l);
    v.Chain(longChain);
    for (auto [cluster, value] : c.links) v.SetFat(cluster, value);
    const std::string device = test::InstallMemoryDisk(v.bytes());
    const fat::FatVolume volume = VolumeOf(v, device);
    fat::FatTable table(volume, volume.fat1Start);
    // Twice: what one chain marked must not cut the next one short.
    for (int round = 0; round < 2; ++round) {
      bool clean = !c.clean;
      EXPECT_EQ(fat::BuildClusterChain(table, c.start, c.limit, &clean), c.chain) << c.what;
      EXPECT_EQ(clean, c.clean) << c.what;
    }
  }
}

// A FAT12 volume's FAT: two sectors from sector 1 (682 whole entries), two entries packed into
// three bytes, so some entries straddle the two sectors. The sector after the FAT is filled
// with 0x22: an entry read past the FAT would show as a link to cluster 0x222.
struct Fat12Disk {
  static constexpr std::uint64_t kFatSectors = 2;
  std::string bytes = std::string(8 * 512, '\0');
  Fat12Disk() { std::fill(bytes.begin() + 3 * 512, bytes.begin() + 4 * 512, '\x22'); }
  void Set(std::uint32_t cluster, std::uint16_t value) {
    const std::size_t at = 512 + cluster + cluster / 2;
    auto* p = reinterpret_cast<unsigned char*>(bytes.data() + at);
    if (cluster % 2 == 0) {
      p[0] = static_cast<unsigned char>(value & 0xFF);
      p[1] = static_cast<unsigned char>((p[1] & 0xF0) | (value >> 8));
    } else {
      p[0] = static_cast<unsigned char>((p[0] & 0x0F) | ((value & 0x0F) << 4));
      p[1] = static_cast<unsigned char>(value >> 4);
    }
  }
  fat::FatVolume Volume(const std::string& device, std::uint32_t lastCluster) const {
    fat::FatVolume f;
    f.kind = fat::FatKind::Fat12;
    f.device = device;
    f.partEnd = 8;
    f.sectorsPerCluster = 1;
    f.fatSize = kFatSectors;
    f.fat1Start = 1;
    f.lastCluster = lastCluster;
    return f;
  }
};

TEST(FatChain, Fat12EntriesArePackedTwelveBitsAndBoundedByTheFat) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> links;
    std::uint32_t start;
    std::vector<std::uint32_t> chain;
    fat::ChainEnd::Kind end;
    std::uint32_t endValue;  // Broken: the last entry's value
    bool readable;
  };
  using K = fat::ChainEnd::Kind;
  const Case cases[] = {
      {"even and odd entries, one straddling the FAT's two sectors (341)",
       {{2, 341}, {341, 3}, {3, 340}, {340, 0xFFF}}, 2, {2, 341, 3, 340}, K::EndMark, 0, true},
      {"0xFF8 ends a chain as 0xFFF does", {{4, 5}, {5, 0xFF8}}, 4, {4, 5}, K::EndMark, 0, true},
      {"0xFFC ends it too", {{7, 0xFFC}}, 7, {7}, K::EndMark, 0, true},
      {"0xFF7 marks a bad cluster", {{6, 8}, {8, 0xFF7}}, 6, {6, 8}, K::Broken, 0xFF7, true},
      {"a free entry breaks it", {{9, 10}}, 9, {9, 10}, K::Broken, 0, true},
      {"a link beyond the last cluster", {{11, 0x300}}, 11, {11}, K::Broken, 0x300, true},
      {"the last whole entry of the FAT (681) is read", {{680, 681}, {681, 0xFFF}}, 680,
       {680, 681}, K::EndMark, 0, true},
      // Entry 682 would need the first byte after the FAT: it is not this FAT's.
      {"an entry half outside the FAT is no entry", {{681, 682}}, 681, {681, 682}, K::Broken,
       0, false},
      {"an entry wholly outside the FAT is no entry", {{681, 690}}, 681, {681, 690}, K::Broken,
       0, false},
  };
  for (const Case& c : cases) {
    Fat12Disk d;
    for (auto [cluster, value] : c.links) d.Set(cluster, value);
    const std::string device = test::InstallMemoryDisk(d.bytes);
    // More clusters than the FAT has entries for, as a hostile boot sector may claim.
    const fat::FatVolume volume = d.Volume(device, 700);
    fat::FatTable table(volume, volume.fat1Start);
    bool clean = false;
    fat::ChainEnd end;
    EXPECT_EQ(fat::BuildClusterChain(table, c.start, 100, &clean, &end), c.chain) << c.what;
    EXPECT_EQ(end.kind, c.end) << c.what;
    EXPECT_EQ(clean, c.end == K::EndMark) << c.what;
    if (c.end == K::Broken) {
      EXPECT_EQ(end.readable, c.readable) << c.what;
      if (c.readable) EXPECT_EQ(end.value, c.endValue) << c.what;
    }
  }
}

TEST(FatChain, Fat12VolumeFromParametersStopsAtTheFatsLastEntry) {
  PartitionParameters p;
  p.sectorsPerCluster = 1;
  p.clusterBase = 0;
  p.fatSizeSectors = 2;  // 682 entries
  p.fat1Start = 1;
  auto big = fat::VolumeFromParameters(p, "FAT12", "unused", 0, 1u << 20);
  ASSERT_TRUE(big);
  EXPECT_EQ(big->kind, fat::FatKind::Fat12);
  EXPECT_EQ(big->lastCluster, 681u);
  EXPECT_EQ(big->EndMark(), 0xFF8u);
  p.fatSizeSectors = 0;  // no FAT size: twelve bits still end at 0xFF6
  auto unbounded = fat::VolumeFromParameters(p, "FAT12", "unused", 0, 1u << 20);
  ASSERT_TRUE(unbounded);
  EXPECT_EQ(unbounded->lastCluster, 0xFF6u);
}

}  // namespace
}  // namespace brevant::fattest

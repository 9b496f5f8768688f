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

}  // namespace
}  // namespace brevant::fattest

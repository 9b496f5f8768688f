// libFuzzer target: FAT cluster chains. The input's first 8 bytes pick the kind (bit 0: FAT32,
// else bit 1: FAT12's packed entries, else FAT16), the start
// cluster, the length limit and the volume's last cluster; the rest is the FAT.
#include <algorithm>
#include <string>
#include <unordered_set>

#include "fat/fat_volume.h"
#include "platform/sector_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevant;
  if (size < 8) return 0;
  static const std::string path = "mem://fuzz-fat";
  // The FAT starts at sector 1: a FAT at sector 0 means "no FAT copy" to the reader.
  std::string disk(512, '\0');
  disk.append(reinterpret_cast<const char*>(data + 8), size - 8);
  platform::DeviceTable::Instance().Install(path, std::make_shared<platform::MemoryDevice>(disk));
  fat::FatVolume v;
  v.kind = data[0] & 1   ? fat::FatKind::Fat32
           : data[0] & 2 ? fat::FatKind::Fat12
                         : fat::FatKind::Fat16;
  const std::uint32_t start = static_cast<std::uint32_t>(data[1] | data[2] << 8 | data[3] << 16);
  const std::size_t limit = static_cast<std::size_t>(data[4] | data[5] << 8);
  const std::uint64_t fatSectors = (size - 8 + 511) / 512;
  v.device = path;
  v.partStart = 0;
  v.partEnd = fatSectors + 1 + (data[7] & 1);
  v.sectorsPerCluster = 1;
  v.fatSize = fatSectors;
  v.fat1Start = 1;
  v.lastCluster = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(2, v.EntriesIn(fatSectors * 512) + (data[6] % 8) - 4));
  fat::FatTable table(v, v.fat1Start);
  bool clean = false;
  auto chain = fat::BuildClusterChain(table, start, limit, &clean);
  // At most limit + 1 clusters, each at most once.
  if (chain.size() > limit + 1) __builtin_trap();
  std::unordered_set<std::uint32_t> seen(chain.begin(), chain.end());
  if (seen.size() != chain.size()) __builtin_trap();
  // Every link leads to a cluster of the volume.
  for (std::size_t i = 1; i < chain.size(); ++i)
    if (!v.IsDataCluster(chain[i])) __builtin_trap();
  return 0;
}

// libFuzzer target: NTFS run lists (mapping pairs), walked and turned into MFT extents.
#include <vector>

#include "ntfs/extents.h"
#include "ntfs/mft_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevant::ntfs;
  if (size < 1) return 0;
  const std::uint64_t firstVcn = data[0] & 0x0F;
  RunListWalk walk(Bytes(data + 1, size - 1), firstVcn);
  std::vector<DataRun> runs;
  std::uint64_t vcn = firstVcn;
  while (auto run = walk.Next()) {
    // Runs follow each other without gaps, each at least one cluster long.
    if (run->vcn != vcn || run->length == 0) __builtin_trap();
    vcn = run->vcn + run->length;
    runs.push_back(*run);
    if (runs.size() > size) __builtin_trap();  // every run takes at least one byte
  }
  Volume volume;
  volume.device = "mem://none";
  volume.firstSector = 2048;
  volume.endSector = 2048 + (1u << 20);
  volume.sectorsPerCluster = 1u << (data[0] >> 5);
  brevant::MftExtentTable table;
  AppendRunsAsExtents(volume, runs, firstVcn, table);
  for (std::uint64_t r = 0; r < 64; ++r) MapRecordToSector(table, r * 977, table.mftRunCount);
  return 0;
}

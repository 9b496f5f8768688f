// libFuzzer target: the partition-table walk (MBR, extended chain, GPT, whole-disk volume) over
// a disk whose first sectors are the input.
#include "disk/disks.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevant;
  platform::DiskFacts facts;
  facts.deviceName = fuzz::InstallDisk(data, size);
  facts.label = "fuzz";
  facts.capacityBytes = size;
  RecoverySession session;
  ui::ResultTree tree;
  const int d = AddDisk(session, tree, facts);
  // Every partition the walk files can be selected and lies where it said.
  for (int n = 1; n <= session.driveRecords[d].partitionCount; ++n)
    if (!SelectPartition(session, d, n) ||
        session.selectedPartitionEnd < session.selectedPartitionStart)
      __builtin_trap();
  return 0;
}

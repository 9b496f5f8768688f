// libFuzzer target: the boot-sector parameters of a FAT12, FAT16, FAT32 or NTFS partition, then the
// FAT geometry search, on a small volume whose sectors are the input. The first byte picks
// the file-system name the partition is filed under.
#include "disk/disks.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevant;
  if (size < 1) return 0;
  static const char* const kNames[] = {"FAT16", "FAT32", "NTFS", "FAT12"};
  RecoverySession s;
  s.EnsureDisk(0);
  s.devicePath[0] = fuzz::InstallDisk(data + 1, size - 1);
  s.selectedDisk = 0;
  s.selectedPartitionStart = 0;
  s.selectedPartitionEnd = (size - 1) / 512 + 1;
  s.selectedFsName = kNames[data[0] % 4];
  ReadBootSectorParameters(s);
  if (s.selectedFsName != "NTFS") {
    s.scanFsName = s.selectedFsName;
    RecordingView view;
    FindFatGeometry(s, view, FatReadOptions{8});
    fat::VolumeFromParameters(s.partParams, s.scanFsName, s.devicePath[0], s.selectedPartitionStart,
                              s.selectedPartitionEnd);
  }
  return 0;
}

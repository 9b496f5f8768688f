#pragma once
// Where the machine's physical disks come from (sysfs on Linux; WMI on Windows later).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace brevant::platform {

struct DiskFacts {
  int index = 0;
  std::string deviceName;  // e.g. /dev/sdb, or the image file's path
  std::string label;       // e.g. sdb, or the image file's name
  std::string model;
  std::uint64_t capacityBytes = 0;
  std::uint64_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
};

class DiskSource {
 public:
  virtual ~DiskSource() = default;
  virtual std::vector<DiskFacts> Disks() = 0;
};

// Whole disks under /sys/block (sd*, nvme*n*, vd*, mmcblk*, loop devices with a backing file).
std::unique_ptr<DiskSource> MakeSysfsDiskSource(const std::string& sysBlockRoot = "/sys/block",
                                                const std::string& devRoot = "/dev");
// What a block device says of the drive it lies on (a partition's: its whole disk's); empty
// for an image file or where sysfs says nothing.
struct DriveIds {
  std::string model;
  std::string serial;
};
DriveIds DriveIdsOf(const std::string& path, const std::string& sysDevBlockRoot = "/sys/dev/block");

// Facts of an image file treated as a disk (geometry 255 heads, 63 sectors per track).
DiskFacts ImageDiskFacts(int index, const std::string& path);

}  // namespace brevant::platform

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <system_error>

#include "platform/output_target.h"

namespace brevant::platform {
namespace {

// The whole disk a block device belongs to, as sysfs names it ("sdb" for sdb1 and sdb).
std::string DiskOf(dev_t device) {
  std::error_code ec;
  const std::filesystem::path link =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::filesystem::path real = std::filesystem::canonical(link, ec);
  if (ec) return {};
  // A partition's sysfs folder sits inside its disk's folder and has a "partition" file.
  if (std::filesystem::exists(real / "partition", ec)) real = real.parent_path();
  return real.filename().string();
}

}  // namespace

bool FolderIsOnDevice(const std::string& devicePath, const std::filesystem::path& folder) {
  struct stat source {};
  if (::stat(devicePath.c_str(), &source) != 0 || !S_ISBLK(source.st_mode)) return false;
  std::error_code ec;
  std::filesystem::path probe = std::filesystem::absolute(folder, ec);
  if (ec) probe = folder;
  struct stat target {};
  // The folder may not exist yet: what counts is where it would be created.
  while (::stat(probe.c_str(), &target) != 0) {
    if (!probe.has_parent_path() || probe.parent_path() == probe) return false;
    probe = probe.parent_path();
  }
  if (target.st_dev == source.st_rdev) return true;
  const std::string disk = DiskOf(source.st_rdev);
  return !disk.empty() && disk == DiskOf(target.st_dev);
}

}  // namespace brevant::platform

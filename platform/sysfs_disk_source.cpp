// Linux disk source: whole disks under /sys/block, geometry from HDIO_GETGEO.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>

#include "platform/disk_source.h"

namespace brevant::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kDefaultHeads = 255;
constexpr std::uint32_t kDefaultSectorsPerTrack = 63;

std::string Trim(std::string s) {
  auto blank = [](unsigned char c) { return std::isspace(c) != 0 || c == 0; };
  while (!s.empty() && blank(static_cast<unsigned char>(s.back()))) s.pop_back();
  std::size_t i = 0;
  while (i < s.size() && blank(static_cast<unsigned char>(s[i]))) ++i;
  return s.substr(i);
}

// First line of a sysfs attribute, trimmed; empty when it cannot be read.
std::string ReadAttribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  return Trim(line);
}

// Whole disks only: no partitions, RAM disks, optical drives or device-mapper nodes.
bool IsWholeDiskName(const std::string& name) {
  static const std::regex kWholeDisk(R"((sd|hd|vd|xvd)[a-z]+|nvme\d+n\d+|mmcblk\d+|loop\d+)");
  return std::regex_match(name, kWholeDisk);
}

// Families of whole disks, in the order they are listed.
struct NameKey {
  int family = 0;
  bool lettered = false;  // sda..sdz, sdaa..: the suffix counts in base 26
  std::string rest;       // the name after the family prefix
};

NameKey KeyOf(const std::string& name) {
  static const char* const kFamilies[] = {"sd", "hd", "vd", "xvd", "nvme", "mmcblk", "loop"};
  NameKey key;
  for (int i = 0; i < 7; ++i) {
    std::string prefix = kFamilies[i];
    if (name.rfind(prefix, 0) == 0 && !(prefix == "vd" && name.rfind("xvd", 0) == 0)) {
      key.family = i;
      key.rest = name.substr(prefix.size());
      key.lettered = i <= 3;
      return key;
    }
  }
  key.family = 7;
  key.rest = name;
  return key;
}

// Digit runs compare by value: nvme2n1 before nvme10n1.
bool NaturalLess(const std::string& a, const std::string& b) {
  std::size_t i = 0, j = 0;
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// The kernel's order: sdz before sdaa, nvme2n1 before nvme10n1.
bool DiskNameLess(const std::string& a, const std::string& b) {
  NameKey ka = KeyOf(a), kb = KeyOf(b);
  if (ka.family != kb.family) return ka.family < kb.family;
  if (ka.lettered && ka.rest.size() != kb.rest.size()) return ka.rest.size() < kb.rest.size();
  return NaturalLess(ka.rest, kb.rest);
}

std::string ModelOf(const fs::path& block, const std::string& name) {
  if (auto model = ReadAttribute(block / "device" / "model"); !model.empty()) return model;
  if (auto card = ReadAttribute(block / "device" / "name"); !card.empty()) return card;  // SD/MMC
  if (name.rfind("loop", 0) == 0)
    return "Loop device (" + ReadAttribute(block / "loop" / "backing_file") + ")";
  if (name.rfind("vd", 0) == 0) return "Virtio Block Device";
  if (name.rfind("xvd", 0) == 0) return "Xen Virtual Block Device";
  return {};
}

// Heads and sectors per track as the drive reports them, else the conventional 255 and 63.
// Cylinders always come from the capacity: the ioctl's own count is 16 bits and wraps.
void FillGeometry(DiskFacts& facts) {
  facts.heads = kDefaultHeads;
  facts.sectorsPerTrack = kDefaultSectorsPerTrack;
  int fd = ::open(facts.deviceName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    struct hd_geometry geo {};
    if (::ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
      facts.heads = geo.heads;
      facts.sectorsPerTrack = geo.sectors;
    }
    ::close(fd);
  }
  facts.cylinders =
      facts.capacityBytes / (std::uint64_t{facts.heads} * facts.sectorsPerTrack * 512);
}

class SysfsDiskSource : public DiskSource {
 public:
  SysfsDiskSource(std::string sysBlockRoot, std::string devRoot)
      : sysBlockRoot_(std::move(sysBlockRoot)), devRoot_(std::move(devRoot)) {}

  std::vector<DiskFacts> Disks() override {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(sysBlockRoot_, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (IsWholeDiskName(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), DiskNameLess);

    std::vector<DiskFacts> disks;
    for (const std::string& name : names) {
      fs::path block = fs::path(sysBlockRoot_) / name;
      if (ReadAttribute(block / "hidden") == "1") continue;  // multipath member paths
      if (name.rfind("loop", 0) == 0 && ReadAttribute(block / "loop" / "backing_file").empty())
        continue;
      // The size attribute counts 512-byte units whatever the drive's own sector size.
      const std::string size = ReadAttribute(block / "size");
      if (size.empty() ||
          !std::all_of(size.begin(), size.end(), [](unsigned char c) { return std::isdigit(c); }))
        continue;
      std::uint64_t units = 0;
      try {
        units = std::stoull(size);
      } catch (...) {
        continue;
      }
      if (units == 0 || units > UINT64_MAX / 512) continue;  // an empty card reader or drive bay
      DiskFacts facts;
      facts.index = static_cast<int>(disks.size());
      facts.label = name;
      facts.deviceName = (fs::path(devRoot_) / name).string();
      facts.model = ModelOf(block, name);
      facts.capacityBytes = units * 512;
      FillGeometry(facts);
      disks.push_back(std::move(facts));
    }
    return disks;
  }

 private:
  std::string sysBlockRoot_;
  std::string devRoot_;
};

}  // namespace

std::unique_ptr<DiskSource> MakeSysfsDiskSource(const std::string& sysBlockRoot,
                                                const std::string& devRoot) {
  return std::make_unique<SysfsDiskSource>(sysBlockRoot, devRoot);
}

DriveIds DriveIdsOf(const std::string& path, const std::string& sysDevBlockRoot) {
  DriveIds ids;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return ids;
  std::error_code ec;
  fs::path block = fs::canonical(fs::path(sysDevBlockRoot) / (std::to_string(major(st.st_rdev)) +
                                                              ":" + std::to_string(minor(st.st_rdev))),
                                 ec);
  if (ec) return ids;
  if (fs::exists(block / "partition", ec)) block = block.parent_path();
  ids.model = ModelOf(block, block.filename().string());
  ids.serial = ReadAttribute(block / "device" / "serial");
  if (ids.serial.empty()) ids.serial = ReadAttribute(block / "device" / "wwid");
  if (ids.serial.empty()) ids.serial = ReadAttribute(block / "serial");  // NVMe, virtio
  return ids;
}

DiskFacts ImageDiskFacts(int index, const std::string& path) {
  DiskFacts facts;
  facts.index = index;
  facts.deviceName = path;
  facts.label = fs::path(path).filename().string();
  if (facts.label.empty()) facts.label = path;
  facts.model = "Disk Image";
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      facts.capacityBytes = static_cast<std::uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
      int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      unsigned long long bytes = 0;
      if (fd >= 0) {
        if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) facts.capacityBytes = bytes;
        ::close(fd);
      }
    }
  }
  facts.heads = kDefaultHeads;
  facts.sectorsPerTrack = kDefaultSectorsPerTrack;
  facts.cylinders =
      facts.capacityBytes / (std::uint64_t{kDefaultHeads} * kDefaultSectorsPerTrack * 512);
  return facts;
}

}  // namespace brevant::platform

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "platform/sector_device.h"

namespace brevant::platform {
namespace {

class PosixDevice : public SectorDevice {
 public:
  PosixDevice(int fd, std::uint64_t size, std::uint32_t logicalSectorSize)
      : fd_(fd), size_(size), logicalSectorSize_(logicalSectorSize) {}
  ~PosixDevice() override { ::close(fd_); }
  PosixDevice(const PosixDevice&) = delete;
  PosixDevice& operator=(const PosixDevice&) = delete;

  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    // pread may return short counts; loop until the end of the device or an error.
    while (done < length) {
      ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return done > 0 ? static_cast<std::int64_t>(done) : -1;
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
  }
  std::uint64_t SizeBytes() const override { return size_; }
  char Method() const override { return 'P'; }
  int NativeHandle() const override { return fd_; }
  std::uint32_t LogicalSectorSize() const override { return logicalSectorSize_; }

 private:
  int fd_;
  std::uint64_t size_;
  std::uint32_t logicalSectorSize_;
};

}  // namespace

std::shared_ptr<SectorDevice> OpenPosixDevice(const std::string& path, std::string* error) {
  // Read-only, always: this program never writes to the disk it examines. Non-blocking, so a
  // FIFO or a terminal named by mistake is refused below instead of waiting for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  auto refuse = [&](const char* why) -> std::shared_ptr<SectorDevice> {
    ::close(fd);
    if (error) *error = path + ": " + why;
    return nullptr;
  };
  struct stat st {};
  if (::fstat(fd, &st) != 0) return refuse(std::strerror(errno));
  std::uint64_t size = 0;
  std::uint32_t logicalSectorSize = 0;
  if (S_ISBLK(st.st_mode)) {
    unsigned long long bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) size = bytes;
    int sectorBytes = 0;
    if (::ioctl(fd, BLKSSZGET, &sectorBytes) == 0 && sectorBytes > 0)
      logicalSectorSize = static_cast<std::uint32_t>(sectorBytes);
  } else if (S_ISREG(st.st_mode)) {
    size = static_cast<std::uint64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    return refuse("is a directory");
  } else {
    // Reading needs positions: pipes, sockets and character devices have none to read at.
    return refuse("is neither a disk image file nor a block device");
  }
  // Reads of disks and files do not block anyway; clear the flag for plain semantics.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::make_shared<PosixDevice>(fd, size, logicalSectorSize);
}

DeviceTable& DeviceTable::Instance() {
  static DeviceTable table;
  return table;
}

std::shared_ptr<SectorDevice> DeviceTable::Get(const std::string& path, std::string* error) {
  std::lock_guard lock(mutex_);
  if (auto it = devices_.find(path); it != devices_.end()) return it->second;
  std::string why;
  auto device = OpenPosixDevice(path, &why);
  if (!device) {
    if (error) *error = why;
    return nullptr;
  }
  devices_[path] = device;
  return device;
}

void DeviceTable::Install(const std::string& path, std::shared_ptr<SectorDevice> device) {
  std::lock_guard lock(mutex_);
  devices_[path] = std::move(device);
}

void DeviceTable::Remove(const std::string& path) {
  std::lock_guard lock(mutex_);
  devices_.erase(path);
}

std::int64_t MemoryDevice::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  if (offset >= bytes_.size()) return 0;
  std::size_t n = std::min<std::uint64_t>(length, bytes_.size() - offset);
  std::memcpy(buffer, bytes_.data() + offset, n);
  return static_cast<std::int64_t>(n);
}

std::int64_t FaultyDevice::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
  ++calls_;
  if (length > 0) {
    std::uint64_t first = offset / kSectorSize;
    std::uint64_t last = (offset + length - 1) / kSectorSize;
    auto it = bad_.lower_bound(first);
    if (it != bad_.end() && *it <= last) return -1;
  }
  return inner_->ReadAt(offset, buffer, length);
}

}  // namespace brevant::platform

#pragma once
// Raw access to a disk or disk image, one backend per operating system.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace brevant::platform {

// The unit every read is addressed in, whatever a disk's own logical sector size.
inline constexpr std::uint32_t kSectorSize = 512;

// A read-only source of bytes addressed by 64-bit offsets. Implementations must
// allow concurrent ReadAt calls from several threads.
class SectorDevice {
 public:
  virtual ~SectorDevice() = default;
  // Reads up to `length` bytes at `offset`. Returns the number of bytes read
  // (short at the end of the device), or -1 when the read failed.
  virtual std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) = 0;
  // Size in bytes, 0 when unknown.
  virtual std::uint64_t SizeBytes() const = 0;
  // Backend marker: 'P' POSIX, 'N' NT device files, 'F' the 9x-family library, 'T' test.
  virtual char Method() const = 0;
  // The system's descriptor for the source, for copies the kernel makes itself; -1 when the
  // bytes can only be had through ReadAt.
  virtual int NativeHandle() const { return -1; }
  // The logical sector size the system reports for a block device; 0 when it reports none
  // (an image file), and its structures must tell.
  virtual std::uint32_t LogicalSectorSize() const { return 0; }
};

// Opens a device or image for reading only. Returns null and sets `error` when it cannot.
std::shared_ptr<SectorDevice> OpenPosixDevice(const std::string& path, std::string* error);

// Process-wide table of open devices: one handle per path, kept for the life of the process.
class DeviceTable {
 public:
  static DeviceTable& Instance();
  // Returns the open device for `path`, opening it on first use; null when it cannot be opened.
  std::shared_ptr<SectorDevice> Get(const std::string& path, std::string* error = nullptr);
  // Installs a device under a path (tests use it for fault injection and in-memory disks).
  void Install(const std::string& path, std::shared_ptr<SectorDevice> device);
  void Remove(const std::string& path);

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<SectorDevice>> devices_;
};

// An in-memory disk for tests, with chosen sectors that fail to read.
class MemoryDevice : public SectorDevice {
 public:
  explicit MemoryDevice(std::string bytes) : bytes_(std::move(bytes)) {}
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;
  std::uint64_t SizeBytes() const override { return bytes_.size(); }
  char Method() const override { return 'T'; }
  std::uint32_t LogicalSectorSize() const override { return logicalSectorSize_; }
  std::string& Bytes() { return bytes_; }
  // Makes the memory disk report a sector size, as a block device would.
  void SetLogicalSectorSize(std::uint32_t bytes) { logicalSectorSize_ = bytes; }

 private:
  std::string bytes_;
  std::uint32_t logicalSectorSize_ = 0;
};

// Wraps another device and fails every read that touches one of the chosen sectors.
class FaultyDevice : public SectorDevice {
 public:
  FaultyDevice(std::shared_ptr<SectorDevice> inner, std::set<std::uint64_t> badSectors)
      : inner_(std::move(inner)), bad_(std::move(badSectors)) {}
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;
  std::uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
  char Method() const override { return 'T'; }
  std::uint32_t LogicalSectorSize() const override { return inner_->LogicalSectorSize(); }
  std::uint64_t ReadCalls() const { return calls_.load(); }

 private:
  std::shared_ptr<SectorDevice> inner_;
  std::set<std::uint64_t> bad_;
  std::atomic<std::uint64_t> calls_{0};
};

}  // namespace brevant::platform

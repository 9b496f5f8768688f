#include "core/read_sectors.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/sector_device.h"

namespace brevant {
namespace {
std::atomic<char> gLastMethod{0};
std::atomic<ReadObserver> gObserver{nullptr};
void* gObserverContext = nullptr;
}

void SetReadObserverForTesting(ReadObserver observer, void* context) {
  gObserverContext = context;
  gObserver.store(observer);
}

char LastReadMethod() { return gLastMethod.load(); }

std::uint64_t DeviceSectorCount(const std::string& devicePath) {
  auto device = platform::DeviceTable::Instance().Get(devicePath);
  // A last sector held in part still counts: it reads with zeros after its bytes.
  return device ? (device->SizeBytes() + platform::kSectorSize - 1) / platform::kSectorSize : 0;
}

std::uint32_t DeviceLogicalSectorSize(const std::string& devicePath) {
  auto device = platform::DeviceTable::Instance().Get(devicePath);
  return device ? device->LogicalSectorSize() : 0;
}

namespace {

struct ReadOutcome {
  bool whole;           // the run came in one request
  std::uint32_t unread; // sectors no retry could read (each cleared when zero-filling)
};

// The shared reader.
ReadOutcome Read(const std::string& devicePath, void* buffer, std::uint64_t startSector,
                   std::uint32_t count, bool zeroFill,
                   std::vector<std::uint32_t>* unreadable = nullptr) {
  if (count == 0) return {true, 0};
  if (ReadObserver observer = gObserver.load(std::memory_order_relaxed))
    observer(gObserverContext, devicePath, startSector, count);
  auto* out = static_cast<unsigned char*>(buffer);
  constexpr std::uint64_t kSector = platform::kSectorSize;
  auto device = platform::DeviceTable::Instance().Get(devicePath);
  auto unread = [&](std::uint32_t from, std::uint32_t to) {
    if (unreadable)
      for (std::uint32_t j = from; j < to; ++j) unreadable->push_back(j);
    if (zeroFill && to > from)
      std::memset(out + static_cast<std::size_t>(from) * kSector, 0,
                  static_cast<std::size_t>(to - from) * kSector);
    return to - from;
  };
  if (!device) return {false, unread(0, count)};
  gLastMethod.store(device->Method());
  // Refuse offsets that would wrap around 64 bits rather than read the wrong place.
  if (startSector > (UINT64_MAX / kSector) - count) return {false, unread(0, count)};
  const std::size_t bytes = static_cast<std::size_t>(count) * kSector;
  // One request for the whole run. A device only hands back bytes it really read, so what
  // lands in the buffer before a failure is good data at its right place.
  std::int64_t got = device->ReadAt(startSector * kSector, out, bytes);
  if (got == static_cast<std::int64_t>(bytes)) return {true, 0};
  std::uint32_t first = got > 0 ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(got) / kSector) : 0;
  // Sector by sector for the rest: readable sectors are filled in, unreadable ones left alone.
  // Sectors wholly past the end of a device of known size cannot be read; do not ask.
  std::uint64_t size = device->SizeBytes();
  std::uint32_t stop = count;
  if (size > 0) {
    std::uint64_t existing = size / kSector > startSector ? size / kSector - startSector : 0;
    if (existing < stop) stop = static_cast<std::uint32_t>(existing);
  }
  std::uint32_t failed = unread(stop < first ? first : stop, count);
  for (std::uint32_t j = first; j < stop; ++j) {
    unsigned char one[platform::kSectorSize];
    if (device->ReadAt((startSector + j) * kSector, one, kSector) == static_cast<std::int64_t>(kSector))
      std::memcpy(out + static_cast<std::size_t>(j) * kSector, one, kSector);
    else
      failed += unread(j, j + 1);
  }
  return {false, failed};
}

}  // namespace

int ReadSectors(const std::string& devicePath, void* buffer, std::uint64_t startSector,
                std::uint32_t count) {
  return Read(devicePath, buffer, startSector, count, false).whole ? 1 : 0;
}

std::uint32_t ReadSectorsZeroFilling(const std::string& devicePath, void* buffer,
                                     std::uint64_t startSector, std::uint32_t count) {
  return Read(devicePath, buffer, startSector, count, true).unread;
}

std::uint32_t ReadSectorsListingUnreadable(const std::string& devicePath, void* buffer,
                                           std::uint64_t startSector, std::uint32_t count,
                                           std::vector<std::uint32_t>& unreadable) {
  const std::size_t before = unreadable.size();
  const std::uint32_t unread = Read(devicePath, buffer, startSector, count, true, &unreadable).unread;
  // Sectors past the device's end are noted before the ones that failed on their own.
  std::sort(unreadable.begin() + static_cast<std::ptrdiff_t>(before), unreadable.end());
  return unread;
}

}  // namespace brevant

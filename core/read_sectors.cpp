#include "core/read_sectors.h"

#include <atomic>
#include <cstring>

#include "platform/sector_device.h"

namespace brevant {
namespace {
std::atomic<char> gLastMethod{0};
}

char LastReadMethod() { return gLastMethod.load(); }

std::uint64_t DeviceSectorCount(const std::string& devicePath) {
  auto device = platform::DeviceTable::Instance().Get(devicePath);
  // A last sector held in part still counts: it reads with zeros after its bytes.
  return device ? (device->SizeBytes() + platform::kSectorSize - 1) / platform::kSectorSize : 0;
}

int ReadSectors(const std::string& devicePath, void* buffer, std::uint64_t startSector,
                std::uint32_t count) {
  if (count == 0) return 1;
  auto device = platform::DeviceTable::Instance().Get(devicePath);
  if (!device) return 0;
  gLastMethod.store(device->Method());
  constexpr std::uint64_t kSector = platform::kSectorSize;
  // Refuse offsets that would wrap around 64 bits rather than read the wrong place.
  if (startSector > (UINT64_MAX / kSector) - count) return 0;
  const std::size_t bytes = static_cast<std::size_t>(count) * kSector;
  auto* out = static_cast<unsigned char*>(buffer);
  // One request for the whole run. A device only hands back bytes it really read, so what
  // lands in the buffer before a failure is good data at its right place.
  std::int64_t got = device->ReadAt(startSector * kSector, out, bytes);
  if (got == static_cast<std::int64_t>(bytes)) return 1;
  std::uint32_t first = got > 0 ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(got) / kSector) : 0;
  // Sector by sector for the rest: readable sectors are filled in, unreadable ones left alone.
  // Sectors wholly past the end of a device of known size cannot be read; do not ask.
  std::uint64_t size = device->SizeBytes();
  std::uint32_t stop = count;
  if (size > 0) {
    std::uint64_t existing = size / kSector > startSector ? size / kSector - startSector : 0;
    if (existing < stop) stop = static_cast<std::uint32_t>(existing);
  }
  for (std::uint32_t j = first; j < stop; ++j) {
    unsigned char one[platform::kSectorSize];
    if (device->ReadAt((startSector + j) * kSector, one, kSector) == static_cast<std::int64_t>(kSector))
      std::memcpy(out + static_cast<std::size_t>(j) * kSector, one, kSector);
  }
  return 0;
}

}  // namespace brevant

#include "disk/on_disk.h"

#include "core/read_sectors.h"

namespace brevant::disk {

bool ReadSector(const std::string& devicePath, std::uint64_t lba, Sector& out) {
  out.fill(0);
  return ReadSectors(devicePath, out.data(), lba, 1) == 1;
}

}  // namespace brevant::disk

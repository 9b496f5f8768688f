#include "fat/boot_sector.h"

namespace brevant::fat {
namespace {
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
}  // namespace

std::optional<FatBootSector> ParseFatBootSector(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 512) return std::nullopt;
  const std::uint8_t* b = bytes.data();
  FatBootSector s;
  s.bytesPerSector = Le16(b + 11);
  s.sectorsPerCluster = b[13];
  s.reservedSectors = Le16(b + 14);
  s.numberOfFats = b[16];
  s.rootEntries = Le16(b + 17);
  const std::uint16_t total16 = Le16(b + 19);
  s.media = b[21];
  s.fatSize16 = Le16(b + 22);
  s.totalSectors = total16 != 0 ? total16 : Le32(b + 32);
  s.fatSize32 = Le32(b + 36);
  s.rootCluster = Le32(b + 44);
  s.signature = b[510] == 0x55 && b[511] == 0xAA;
  return s;
}

bool IsFatStartSector(std::span<const std::uint8_t> sector, bool fat32) {
  if (sector.size() < 4) return false;
  const std::uint8_t media = sector[0];
  if (media != 0xF0 && media < 0xF8) return false;
  if (sector[1] != 0xFF) return false;
  if (fat32) return sector[2] == 0xFF && (sector[3] & 0x0F) == 0x0F;
  return true;
}

}  // namespace brevant::fat

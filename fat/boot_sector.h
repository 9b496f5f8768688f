#pragma once
// The BIOS parameter block of a FAT12/FAT16/FAT32 boot sector, as read from its 512 bytes.
#include <cstdint>
#include <optional>
#include <span>

namespace brevant::fat {

struct FatBootSector {
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint16_t reservedSectors = 0;
  std::uint8_t numberOfFats = 0;
  std::uint16_t rootEntries = 0;
  std::uint32_t totalSectors = 0;  // the 16-bit count, else the 32-bit one
  std::uint8_t media = 0;
  std::uint16_t fatSize16 = 0;
  std::uint32_t fatSize32 = 0;
  std::uint32_t rootCluster = 0;  // FAT32 only
  bool signature = false;         // 0x55 0xAA at offset 510

  bool Fat32Layout() const { return fatSize16 == 0; }
  std::uint32_t FatSize() const { return fatSize16 != 0 ? fatSize16 : fatSize32; }
};

// Absent when `bytes` is shorter than one sector.
std::optional<FatBootSector> ParseFatBootSector(std::span<const std::uint8_t> bytes);

// True for a sector that starts a FAT copy: the media byte (0xF0 or 0xF8-0xFF) followed by
// the filler of entry 0 (0xFF; FAT32 also 0xFF 0x0F).
bool IsFatStartSector(std::span<const std::uint8_t> sector, bool fat32);

}  // namespace brevant::fat

#pragma once
// GUID partition tables: header and entry array, checked by their CRC32s.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/on_disk.h"

namespace brevant::disk {

// CRC-32 (IEEE 802.3, reflected), as GPT uses it. Pass the previous result to continue.
std::uint32_t Crc32(Bytes data, std::uint32_t previous = 0);

struct GptHeader {
  std::uint64_t myLba = 0;
  std::uint64_t alternateLba = 0;
  std::uint64_t entriesLba = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t entrySize = 0;
  std::uint32_t entriesCrc = 0;
};

// The entry array is never larger than this; a header asking for more is not trusted.
inline constexpr std::uint64_t kMaxGptEntryArrayBytes = 1u << 20;

// Parses the header held in `sector`, read from `lba`: signature, size, its own CRC32, its own
// position and a sane entry-array shape. Absent when any of them is wrong.
std::optional<GptHeader> ParseGptHeader(Bytes sector, std::uint64_t lba);

struct GptPartition {
  std::uint64_t firstLba = 0;
  std::uint64_t lastLba = 0;  // inclusive
};

struct GptTable {
  bool fromBackup = false;
  std::vector<GptPartition> partitions;  // used entries, in array order
};

// Reads the GPT of a disk: the primary header at sector 1 and its entries, or, when either is
// damaged, the backup header at the disk's last sector (or where the primary says it lies).
// Absent when no intact copy exists. `diskSectors` counts 512-byte units, 0 when the disk's
// size is unknown; the table's own LBAs (and the partitions returned) count `sectorBytes`.
std::optional<GptTable> ReadGpt(const std::string& devicePath, std::uint64_t diskSectors,
                                std::uint32_t sectorBytes = kSectorBytes);

}  // namespace brevant::disk

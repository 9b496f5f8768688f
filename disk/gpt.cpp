#include "disk/gpt.h"

#include <array>

#include "core/read_sectors.h"

namespace brevant::disk {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr auto kCrcTable = MakeCrcTable();

constexpr std::size_t kMinHeaderSize = 92;
constexpr std::size_t kEntryFirstLba = 32;
constexpr std::size_t kEntryLastLba = 40;

bool IsUnused(Bytes entry) {
  for (std::size_t i = 0; i < 16 && i < entry.size(); ++i)
    if (entry[i] != 0) return false;
  return true;
}

// The header at `lba` and its entry array, when both check out. `lba` and `diskLbas` count
// sectors of `unit` 512-byte units.
std::optional<GptTable> ReadCopy(const std::string& devicePath, std::uint64_t diskLbas,
                                 std::uint64_t unit, std::uint64_t lba,
                                 std::optional<GptHeader>* headerOut) {
  Sector sector;
  if (lba > UINT64_MAX / unit || !ReadSector(devicePath, lba * unit, sector)) return std::nullopt;
  auto header = ParseGptHeader(sector, lba);
  if (headerOut) *headerOut = header;
  if (!header) return std::nullopt;
  const std::uint64_t sectorBytes = unit * kSectorBytes;
  const std::uint64_t bytes = std::uint64_t{header->entryCount} * header->entrySize;
  const std::uint64_t lbas = (bytes + sectorBytes - 1) / sectorBytes;
  // The array must lie on the disk and clear of the MBR and the primary header.
  if (header->entriesLba < 2) return std::nullopt;
  if (diskLbas != 0 && (header->entriesLba >= diskLbas || lbas > diskLbas - header->entriesLba))
    return std::nullopt;
  if (header->entriesLba > UINT64_MAX / unit - lbas) return std::nullopt;
  std::vector<unsigned char> array(static_cast<std::size_t>(lbas * sectorBytes));
  if (ReadSectors(devicePath, array.data(), header->entriesLba * unit,
                  static_cast<std::uint32_t>(lbas * unit)) != 1)
    return std::nullopt;
  Bytes entries(array.data(), static_cast<std::size_t>(bytes));
  if (Crc32(entries) != header->entriesCrc) return std::nullopt;

  GptTable table;
  for (std::uint32_t i = 0; i < header->entryCount; ++i) {
    Bytes entry = entries.subspan(std::size_t{i} * header->entrySize, header->entrySize);
    if (IsUnused(entry)) continue;
    GptPartition p{Le64(entry, kEntryFirstLba), Le64(entry, kEntryLastLba)};
    if (p.firstLba > p.lastLba || p.lastLba >= UINT64_MAX / unit) continue;  // no extent
    table.partitions.push_back(p);
  }
  return table;
}

}  // namespace

std::uint32_t Crc32(Bytes data, std::uint32_t previous) {
  std::uint32_t c = previous ^ 0xFFFFFFFFu;
  for (unsigned char byte : data) c = kCrcTable[(c ^ byte) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::optional<GptHeader> ParseGptHeader(Bytes sector, std::uint64_t lba) {
  if (!HasText(sector, 0, "EFI PART")) return std::nullopt;
  const std::uint32_t headerSize = Le32(sector, 12);
  if (headerSize < kMinHeaderSize || headerSize > sector.size()) return std::nullopt;
  // The header's CRC is taken with its own field counted as zero.
  const std::uint32_t stored = Le32(sector, 16);
  static constexpr unsigned char kZero[4] = {0, 0, 0, 0};
  std::uint32_t crc = Crc32(sector.subspan(0, 16));
  crc = Crc32(Bytes(kZero, 4), crc);
  crc = Crc32(sector.subspan(20, headerSize - 20), crc);
  if (crc != stored) return std::nullopt;

  GptHeader h;
  h.myLba = Le64(sector, 24);
  h.alternateLba = Le64(sector, 32);
  h.entriesLba = Le64(sector, 72);
  h.entryCount = Le32(sector, 80);
  h.entrySize = Le32(sector, 84);
  h.entriesCrc = Le32(sector, 88);
  if (h.myLba != lba) return std::nullopt;
  if (h.entrySize < 128 || h.entrySize % 8 != 0) return std::nullopt;
  if (h.entryCount == 0 || std::uint64_t{h.entryCount} * h.entrySize > kMaxGptEntryArrayBytes)
    return std::nullopt;
  return h;
}

std::optional<GptTable> ReadGpt(const std::string& devicePath, std::uint64_t diskSectors,
                                std::uint32_t sectorBytes) {
  if (sectorBytes < kSectorBytes || sectorBytes % kSectorBytes != 0) return std::nullopt;
  const std::uint64_t unit = sectorBytes / kSectorBytes;
  const std::uint64_t diskLbas = diskSectors / unit;
  std::optional<GptHeader> primaryHeader;
  if (auto table = ReadCopy(devicePath, diskLbas, unit, 1, &primaryHeader)) return table;
  // The primary is damaged: the backup header sits in the disk's last sector. When only the
  // primary's entries are bad, its header still says where the backup is.
  std::vector<std::uint64_t> candidates;
  if (diskLbas > 2) candidates.push_back(diskLbas - 1);
  if (primaryHeader && primaryHeader->alternateLba > 1 &&
      (diskLbas == 0 || primaryHeader->alternateLba < diskLbas) &&
      (candidates.empty() || candidates[0] != primaryHeader->alternateLba))
    candidates.push_back(primaryHeader->alternateLba);
  for (std::uint64_t lba : candidates) {
    if (auto table = ReadCopy(devicePath, diskLbas, unit, lba, nullptr)) {
      table->fromBackup = true;
      return table;
    }
  }
  return std::nullopt;
}

}  // namespace brevant::disk

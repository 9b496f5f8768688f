#include "disk/sector_size.h"

#include <array>

#include "disk/gpt.h"

namespace brevant::disk {
namespace {

constexpr std::array<std::uint32_t, 4> kSizes = {512, 4096, 1024, 2048};
constexpr std::uint8_t kProtectiveGpt = 0xEE;

bool IsExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

// Entries of the MBR that make sense in `size`-byte sectors: starting on the disk, and leading to
// a boot sector (directly, or through the first logical of an extended partition) that
// states this size.
int LandingEntries(const std::string& device, const Sector& mbr, std::uint64_t diskBytes,
                   std::uint32_t size) {
  const std::uint64_t unit = size / kSectorBytes;
  int landed = 0;
  for (int i = 0; i < 4; ++i) {
    const TableEntry e = ParseTableEntry(mbr, i);
    if (e.type == 0 || e.type == kProtectiveGpt || e.firstSector == 0) continue;
    // The start must lie on the disk (the end may not: images are often cut short).
    if (diskBytes != 0 && std::uint64_t{e.firstSector} * size >= diskBytes) continue;
    if (!IsExtendedType(e.type)) {
      landed += BootSectorStates(device, e.firstSector, size) ? 1 : 0;
      continue;
    }
    Sector ebr;
    ReadSector(device, std::uint64_t{e.firstSector} * unit, ebr);
    const TableEntry logical = ParseTableEntry(ebr, 0);
    if (HasBootSignature(ebr) && logical.type != 0 && !IsExtendedType(logical.type) &&
        BootSectorStates(device, std::uint64_t{e.firstSector} + logical.firstSector, size))
      ++landed;
  }
  return landed;
}

}  // namespace

bool BootSectorStates(const std::string& device, std::uint64_t lba, std::uint32_t size) {
  if (!IsSectorSize(size)) return false;
  const std::uint64_t unit = size / kSectorBytes;
  if (lba == 0 || lba > UINT64_MAX / unit) return false;
  Sector s;
  ReadSector(device, lba * unit, s);
  return BootSectorBytes(s) == size;
}

std::uint32_t BootSectorBytes(Bytes boot) {
  if (HasText(boot, 3, "EXFAT   ")) return PlausibleBpb(boot) ? 1u << Le8(boot, 108) : 0;
  return !BootSectorFsName(boot).empty() && PlausibleBpb(boot) ? Le16(boot, 11) : 0;
}

SectorSizeFinding DetectSectorSize(const std::string& devicePath, std::uint64_t diskBytes,
                                   std::uint32_t reported) {
  if (reported > kSectorBytes && IsSectorSize(reported))
    return {reported, SectorSizeSource::Reported};

  // A GPT header names its own LBA, and its CRC rules out chance.
  for (std::uint32_t size : kSizes) {
    Sector s;
    if (diskBytes != 0 && 2 * std::uint64_t{size} > diskBytes) continue;
    ReadSector(devicePath, size / kSectorBytes, s);
    if (HasText(s, 0, "EFI PART") && ParseGptHeader(s, 1)) return {size, SectorSizeSource::Gpt};
  }

  Sector mbr;
  ReadSector(devicePath, 0, mbr);
  if (HasTableSignature(mbr)) {
    int best = 0;
    std::uint32_t bestSize = 0;
    for (std::uint32_t size : kSizes) {
      const int landed = LandingEntries(devicePath, mbr, diskBytes, size);
      // 512 first: a table that makes sense as written is never reinterpreted.
      if (landed > best) {
        best = landed;
        bestSize = size;
      }
      if (size == kSectorBytes && landed > 0) break;
    }
    if (bestSize != 0) return {bestSize, SectorSizeSource::Table};
  }

  if (const std::uint32_t bytes = BootSectorBytes(mbr); bytes != 0)
    return {bytes, SectorSizeSource::BootSector};
  return {kSectorBytes,
          reported == kSectorBytes ? SectorSizeSource::Reported : SectorSizeSource::Default};
}

}  // namespace brevant::disk

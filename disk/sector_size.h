#pragma once
// A disk's logical sector size: what the system reports for a block device, or what the
// structures at the start of an image show. Every sector number the disk layer files counts
// 512-byte units; this size says how the disk's own tables and boot sectors count.
#include <cstdint>
#include <string>

#include "disk/on_disk.h"

namespace brevant::disk {

// The bytes per sector a FAT12, FAT16, FAT32 or NTFS boot sector states, when it names one of them,
// states a size from IsSectorSize and a power of two up to 128 sectors per cluster; else 0.
std::uint32_t BootSectorBytes(Bytes boot);

// The boot sector at `lba`, counted in `sectorBytes`-byte sectors, names a file system and
// states that same sector size.
bool BootSectorStates(const std::string& devicePath, std::uint64_t lba, std::uint32_t sectorBytes);

// How the sector size of a disk was decided.
enum class SectorSizeSource { Reported, Gpt, Table, BootSector, Default };

struct SectorSizeFinding {
  std::uint32_t bytes = 512;
  SectorSizeSource source = SectorSizeSource::Default;
};

// The logical sector size of the disk at `devicePath` (`diskBytes` 0 when its size is
// unknown). A device that reports more than 512 bytes is taken at its word: it cannot be
// addressed in smaller units. Otherwise (an image, or a drive that says 512 while its
// contents were written in 4 KiB units, as by a USB enclosure) the structures decide, in this
// order: a GPT header at the start of the second sector of some size; an MBR whose entries
// land on boot sectors stating the same size only when counted in that size (512 wins when
// any entry lands in it); a whole-disk volume's own boot sector. Nothing found: 512.
SectorSizeFinding DetectSectorSize(const std::string& devicePath, std::uint64_t diskBytes,
                                   std::uint32_t reported);

}  // namespace brevant::disk

#pragma once
// The names the partition walk gives the file systems it recognises, and the families they
// belong to. Every layer asks here rather than comparing names itself, so a new file system
// is one more name in one place.
#include <string_view>

namespace brevant {

// Volumes the FAT engine reads: 12-, 16- and 32-bit FATs. exFAT is a file system of its own
// (its own engine and directory format) and not one of them.
inline bool IsFatFamily(std::string_view fsName) {
  return fsName == "FAT12" || fsName == "FAT16" || fsName == "FAT32";
}

// Volumes whose entries keep their times as FAT does (a local date and clock, no time zone):
// the FAT family and exFAT, whose listed times follow the same form.
inline bool HasFatTimes(std::string_view fsName) {
  return IsFatFamily(fsName) || fsName == "exFAT";
}

// For texts that name what the program reads (exFAT has an engine of its own).
inline constexpr std::string_view kFileSystemsText = "FAT12, FAT16, FAT32, exFAT and NTFS";
inline constexpr std::string_view kFileSystemsOrText = "FAT12, FAT16, FAT32, exFAT or NTFS";

}  // namespace brevant

#pragma once
// Texts for people: entry times and sizes as the file list, the panel and the command line show
// them. The catalogue keeps its raw texts; these are made from them when shown.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/catalogue.h"

namespace brevant::ui {

// "YYYY-MM-DD HH:MM:SS" from a FAT directory entry's date and time words (local time as
// stored); empty when the date word holds no valid date (0 or a month/day of 0), the date alone
// ("YYYY-MM-DD") when only the time word is out of range.
std::u16string FormatFatDateTime(std::uint16_t date, std::uint16_t time);
// "YYYY-MM-DD HH:MM:SS" (UTC) from an NTFS FILETIME (100 ns units since 1601-01-01); empty for 0
// and for times past the year 9999.
std::u16string FormatFileTime(std::uint64_t fileTime);
// An entry's time from its catalogue texts: FAT ("FAT16", "FAT32") reads the date and time
// words, NTFS the FILETIME in `date`. Empty when there is none.
std::u16string FormatEntryTime(const CatalogueNode& entry, std::string_view fsName);

// "0 bytes", "1 byte", "512 bytes", "1.0 KB", "12.3 MB", "4.7 GB", "2.0 TB" (units of 1024).
std::u16string FormatSize(std::uint64_t bytes);

}  // namespace brevant::ui

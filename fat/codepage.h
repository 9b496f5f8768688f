#pragma once
// OEM code pages for 8.3 names: DOS and Windows store the accented letters of a short name
// as OEM bytes (é as 0x82 in code pages 437 and 850).
#include <cstdint>
#include <vector>

namespace brevant::fat {

inline constexpr int kDefaultOemCodePage = 850;

// The 128 characters of bytes 0x80-0xFF in `codePage`, or null when it is not supported.
const char16_t* OemHighTable(int codePage);
bool IsSupportedOemCodePage(int codePage);
std::vector<int> SupportedOemCodePages();
// One byte of a short name as Unicode; bytes below 0x80 are ASCII. An unsupported code page
// decodes as the default one.
char16_t OemToUnicode(int codePage, std::uint8_t byte);

}  // namespace brevant::fat

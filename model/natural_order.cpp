#include "model/natural_order.h"

#include <cstddef>

namespace brevant::ui {
namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Lower case of the scripts names are mostly written in (Latin, Greek, Cyrillic, full-width
// Latin); other characters compare as they are. Sorting needs no more: two names equal but for
// case stay in catalogue order either way.
char16_t Lower(char16_t c) {
  if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
      (c >= 0x410 && c <= 0x42F) || (c >= 0xFF21 && c <= 0xFF3A))
    return static_cast<char16_t>(c + 32);
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
  if (c == 0x178) return 0xFF;
  if (c == 0x17F) return u's';
  // Latin Extended-A and the Cyrillic supplement pair capital and small letter side by side:
  // even then odd, but odd then even in the two runs between 0x139 and 0x148 and 0x179..0x17E.
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
    return (c & 1) ? static_cast<char16_t>(c + 1) : c;
  if ((c >= 0x100 && c <= 0x137 && c != 0x130) || (c >= 0x14A && c <= 0x177) ||
      (c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF))
    return (c & 1) ? c : static_cast<char16_t>(c + 1);
  return c;
}

// The end of the digit run starting at `i`.
std::size_t DigitRunEnd(std::u16string_view s, std::size_t i) {
  while (i < s.size() && IsDigit(s[i])) ++i;
  return i;
}

}  // namespace

int NaturalCompare(std::u16string_view a, std::u16string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // By value, however long the run: leading zeros skipped, then the longer run is the
      // larger number, then digit by digit.
      const std::size_t endA = DigitRunEnd(a, i), endB = DigitRunEnd(b, j);
      std::size_t za = i, zb = j;
      while (za + 1 < endA && a[za] == u'0') ++za;
      while (zb + 1 < endB && b[zb] == u'0') ++zb;
      const std::size_t lenA = endA - za, lenB = endB - zb;
      if (lenA != lenB) return lenA < lenB ? -1 : 1;
      for (std::size_t k = 0; k < lenA; ++k)
        if (a[za + k] != b[zb + k]) return a[za + k] < b[zb + k] ? -1 : 1;
      i = endA;
      j = endB;
      continue;
    }
    const char16_t ca = Lower(a[i]), cb = Lower(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

}  // namespace brevant::ui

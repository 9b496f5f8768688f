#include "model/natural_order.h"

#include <unicode/uchar.h>

#include <cstddef>

namespace brevant::ui {
namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Case aside: ASCII directly, everything else by Unicode's simple case folding. A surrogate
// compares as it is (names outside the Basic Multilingual Plane rarely differ by case alone).
char16_t Fold(char16_t c) {
  if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  const UChar32 folded = u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT);
  return folded <= 0xFFFF ? static_cast<char16_t>(folded) : c;
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
    const char16_t ca = Fold(a[i]), cb = Fold(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::u16string NaturalKey(std::u16string_view text) {
  std::u16string key;
  key.reserve(text.size() + 4);
  for (std::size_t i = 0; i < text.size();) {
    if (!IsDigit(text[i])) {
      key.push_back(Fold(text[i++]));
      continue;
    }
    // A digit run becomes '0', its length without leading zeros, then those digits: against
    // anything but a digit the '0' decides as any digit would, against another run the length
    // decides first, then the digits.
    const std::size_t end = DigitRunEnd(text, i);
    while (i + 1 < end && text[i] == u'0') ++i;
    const std::size_t length = end - i;
    key.push_back(u'0');
    key.push_back(static_cast<char16_t>(length < 0xFFFF ? length : 0xFFFF));
    key.append(text.substr(i, length));
    i = end;
  }
  return key;
}

}  // namespace brevant::ui

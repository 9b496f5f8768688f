#pragma once
// Text helpers shared by every layer: catalogue texts are UTF-16, the terminal and JSON are UTF-8.
#include <cstdint>
#include <string>
#include <string_view>

namespace brevant {

std::u16string ToText(std::uint64_t value);        // unsigned decimal, no leading zeros
std::u16string ToSignedText(std::int64_t value);   // signed decimal
// Decimal with an optional sign, stopping at the first character that is not a digit
// (0 for an empty or non-numeric text); saturates instead of overflowing.
std::int64_t TextToInt(std::u16string_view text);
std::int64_t TextToInt(const char16_t* text);

std::string ToUtf8(std::u16string_view text);      // unpaired surrogates become U+FFFD
std::u16string FromUtf8(std::string_view text);    // invalid bytes become U+FFFD
std::u16string Widen(std::string_view ascii);      // byte-for-byte, for ASCII literals
// UTF-8 for one line of text output: a name read from a disk can never start a new line or
// reach the terminal as a control sequence. Control characters (C0, DEL, C1) and the line and
// paragraph separators become escapes ("\n", "\r", "\t", "\x1b", "\u0085"), and a
// backslash becomes "\\" so every escape reads back one way.
std::string ToUtf8Line(std::u16string_view text);

}  // namespace brevant

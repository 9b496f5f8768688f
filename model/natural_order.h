#pragma once
// The order people expect of names in a list: "file2" before "file10".
#include <string>
#include <string_view>

namespace brevant::ui {

// Digit runs compare by value, the rest case-insensitively; <0, 0 or >0.
int NaturalCompare(std::u16string_view a, std::u16string_view b);

// A key that orders as NaturalCompare does when compared unit by unit (std::u16string's own
// order): made once per name, it makes sorting many names cheap. A key holds no NUL, so keys
// joined with u'\0' between them order field by field.
std::u16string NaturalKey(std::u16string_view text);

}  // namespace brevant::ui

#pragma once
// The order people expect of names in a list: "file2" before "file10".
#include <string_view>

namespace brevant::ui {

// Digit runs compare by value, the rest case-insensitively; <0, 0 or >0.
int NaturalCompare(std::u16string_view a, std::u16string_view b);

}  // namespace brevant::ui

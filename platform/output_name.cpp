#include "platform/output_name.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace brevant::platform {
namespace {

// "~" and eight hex digits.
constexpr std::size_t kMarkerBytes = 9;

std::string Marker(std::string_view name) {
  // FNV-1a over the whole name, folded to 32 bits.
  std::uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  char text[kMarkerBytes + 1];
  std::snprintf(text, sizeof text, "~%08x", static_cast<unsigned>((h >> 32) ^ h));
  return text;
}

// The longest start of `text` of at most `bytes` bytes that ends between two UTF-8 characters.
std::string_view CutAtCharacter(std::string_view text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  std::size_t end = bytes;
  // Step back over continuation bytes (10xxxxxx) to the lead byte of the character cut.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::string NumberedName(std::string_view name, unsigned n) {
  return FitName(name, " (" + std::to_string(n) + ")");
}

std::size_t ExtensionStart(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name.size() : dot;
}

std::string FitName(std::string_view name, std::string_view suffix, std::size_t limit) {
  std::size_t split = ExtensionStart(name);
  if (name.size() + suffix.size() <= limit) {
    std::string out(name.substr(0, split));
    out += suffix;
    out += name.substr(split);
    return out;
  }
  // The extension is kept when a character of the stem still fits beside it; a longer
  // "extension" is no extension and is cut like the rest of the name.
  std::string_view ext = name.substr(split);
  if (ext.size() + suffix.size() + kMarkerBytes + 4 > limit) {
    split = name.size();
    ext = {};
  }
  const std::size_t room = limit > ext.size() + suffix.size() + kMarkerBytes
                               ? limit - ext.size() - suffix.size() - kMarkerBytes
                               : 0;
  std::string out(CutAtCharacter(name.substr(0, split), room));
  out += Marker(name);
  out += suffix;
  out += ext;
  return out;
}

}  // namespace brevant::platform

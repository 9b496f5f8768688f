#pragma once
// Names of recovered files as the destination's file system takes them: whole up to its limit,
// and only a name that does not fit shortened, so that no two shortened names meet.
#include <cstddef>
#include <string>
#include <string_view>

namespace brevant::platform {

// Bytes of one name (one path component) on Linux file systems.
inline constexpr std::size_t kMaxNameBytes = 255;

// `name` (UTF-8, one path component) with `suffix` (a clash number such as " (2)", may be
// empty) put before its extension, within `limit` bytes. A name that fits is only joined. One
// that does not keeps its extension (unless the extension alone leaves no room) and as much of
// its start as fits, cut between characters, followed by "~" and eight hex digits of a hash of
// the whole name: names that differ anywhere stay apart once shortened.
std::string FitName(std::string_view name, std::string_view suffix = {},
                    std::size_t limit = kMaxNameBytes);

// "name (n).ext" for the n-th try at a name that is taken, shortened where the number would
// not fit beside the name: the one clash rule of recovered files and previews.
std::string NumberedName(std::string_view name, unsigned n);

// Where the extension of `name` begins (its last "."), or name.size() when it has none; a
// leading dot ("".profile") starts no extension.
std::size_t ExtensionStart(std::string_view name);

}  // namespace brevant::platform

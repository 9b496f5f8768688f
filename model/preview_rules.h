#pragma once
// What the preview shows of a clicked file, decided without any toolkit: which names are
// refused, how much of a file is extracted for a look, and how its first bytes read as text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brevant::ui {

inline constexpr std::u16string_view kPreviewRefusedText =
    u"Preview not available for this file\r\n";
inline constexpr std::u16string_view kPreviewCaption = u"Calverin Brevant";

// Extensions never previewed, in the order they are compared (upper case).
inline constexpr std::array<std::u16string_view, 20> kRefusedExtensions = {
    u"EXE", u"DLL", u"LIB", u"RES", u"OST", u"PST", u"BKF", u"EDB", u"DBX", u"MP3",
    u"MP4", u"CAB", u"MSP", u"MSI", u"MUI", u"CFG", u"COM", u"BIN", u"TTF", u"MAN"};

// A file larger than this is previewed from its first bytes only (a setting; 64 MiB by default).
inline constexpr std::uint64_t kDefaultPreviewLimit = 64ull << 20;

// The part of `name` after its last "." (the whole name without a ".", empty after a trailing
// "."), with a to z upper-cased.
std::u16string PreviewExtension(std::u16string_view name);
// True when the preview refuses a file of this name.
bool IsPreviewRefused(std::u16string_view name);
// How many bytes of a file of `size` bytes a preview extracts.
std::uint64_t PreviewByteCount(std::uint64_t size, std::uint64_t limit);
// The row a click previews: the lowest selected row index, or -1 when none is selected.
int FirstSelectedRow(std::span<const int> selectedRows);

// How a file's first bytes are best read.
enum class TextEncoding { None, Utf8, Utf16Le, Utf16Be, Oem, Latin1 };
struct TextReading {
  TextEncoding encoding = TextEncoding::None;  // None: not text, show the bytes
  std::size_t bomBytes = 0;                    // byte-order mark to skip
};
// UTF-16 with a byte-order mark; else UTF-8 when the bytes are valid UTF-8 (a sequence cut at
// the end of `head` counts as valid); else a single-byte reading: the OEM code page when bytes
// 0x80-0x9F occur (control characters in Latin-1, letters in OEM), Latin-1 otherwise. Bytes
// with control characters other than tab, line breaks, form feed and escape are not text.
TextReading ChooseTextReading(std::span<const std::uint8_t> head);

// Lines longer than this are no text a person reads (a log filled with 0xFF, a data file),
// and laying out one line of megabytes would freeze the window: such files show as bytes.
inline constexpr std::size_t kLongestTextLine = 16 * 1024;
// Whether every line of `head` (a cut last line included) is at most kLongestTextLine bytes.
bool FitsTextView(std::span<const std::uint8_t> head);
// True when the name or the first bytes say HTML.
bool LooksLikeHtml(std::u16string_view name, std::span<const std::uint8_t> head);

}  // namespace brevant::ui

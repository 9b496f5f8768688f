#include "model/preview_rules.h"

#include <algorithm>
#include <cctype>

namespace brevant::ui {

std::u16string PreviewExtension(std::u16string_view name) {
  const std::size_t dot = name.rfind(u'.');
  std::u16string ext(dot == std::u16string_view::npos ? name : name.substr(dot + 1));
  for (char16_t& c : ext)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return ext;
}

bool IsPreviewRefused(std::u16string_view name) {
  const std::u16string ext = PreviewExtension(name);
  return std::find(kRefusedExtensions.begin(), kRefusedExtensions.end(), ext) !=
         kRefusedExtensions.end();
}

std::uint64_t PreviewByteCount(std::uint64_t size, std::uint64_t limit) {
  return std::min(size, limit);
}

int FirstSelectedRow(std::span<const int> selectedRows) {
  int first = -1;
  for (int row : selectedRows)
    if (row >= 0 && (first < 0 || row < first)) first = row;
  return first;
}

namespace {

// Length of the UTF-8 sequence at `i`: >0 valid, 0 invalid, -1 cut off by the end of `b`.
int Utf8SequenceLength(std::span<const std::uint8_t> b, std::size_t i) {
  const std::uint8_t c = b[i];
  int need;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    cp = c & 0x07;
  } else {
    return 0;
  }
  for (int k = 1; k <= need; ++k) {
    if (i + k >= b.size()) return -1;
    if ((b[i + k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b[i + k] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((need == 2 && cp < 0x800) || (need == 3 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return need + 1;
}

bool IsTextControl(std::uint8_t c) {
  return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1B;
}

bool StartsWith(std::span<const std::uint8_t> b, std::initializer_list<std::uint8_t> prefix) {
  return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
}

}  // namespace

TextReading ChooseTextReading(std::span<const std::uint8_t> head) {
  if (StartsWith(head, {0xFF, 0xFE})) return {TextEncoding::Utf16Le, 2};
  if (StartsWith(head, {0xFE, 0xFF})) return {TextEncoding::Utf16Be, 2};
  const std::size_t bom = StartsWith(head, {0xEF, 0xBB, 0xBF}) ? 3 : 0;
  bool utf8 = true, highControls = false;
  for (std::size_t i = bom; i < head.size();) {
    if (IsTextControl(head[i]) || head[i] == 0x7F) return {};
    if (head[i] >= 0x80 && head[i] <= 0x9F) highControls = true;
    if (!utf8) {
      ++i;
      continue;
    }
    const int n = Utf8SequenceLength(head, i);
    if (n < 0) break;  // cut by the end of what was read
    if (n == 0) {
      utf8 = false;
      ++i;
    } else {
      i += static_cast<std::size_t>(n);
    }
  }
  if (utf8) return {TextEncoding::Utf8, bom};
  return {highControls ? TextEncoding::Oem : TextEncoding::Latin1, 0};
}

bool FitsTextView(std::span<const std::uint8_t> head) {
  std::size_t line = 0;
  for (std::uint8_t c : head) {
    line = (c == '\n' || c == '\r') ? 0 : line + 1;
    if (line > kLongestTextLine) return false;
  }
  return true;
}

bool LooksLikeHtml(std::u16string_view name, std::span<const std::uint8_t> head) {
  const std::u16string ext = PreviewExtension(name);
  if (ext == u"HTM" || ext == u"HTML" || ext == u"XHTML" || ext == u"XHT") return true;
  std::size_t i = StartsWith(head, {0xEF, 0xBB, 0xBF}) ? 3 : 0;
  while (i < head.size() && std::isspace(head[i])) ++i;
  std::string start;
  for (; i < head.size() && start.size() < 14; ++i)
    start.push_back(static_cast<char>(std::tolower(head[i])));
  return start.starts_with("<!doctype html") || start.starts_with("<html");
}

}  // namespace brevant::ui

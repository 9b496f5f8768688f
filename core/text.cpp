#include "core/text.h"

#include <cstdio>
#include <limits>

namespace brevant {

std::u16string ToText(std::uint64_t value) {
  char16_t digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::u16string out;
  out.reserve(n);
  while (n > 0) out.push_back(digits[--n]);
  return out;
}

std::u16string ToSignedText(std::int64_t value) {
  if (value >= 0) return ToText(static_cast<std::uint64_t>(value));
  std::uint64_t magnitude = ~static_cast<std::uint64_t>(value) + 1;
  return u"-" + ToText(magnitude);
}

std::int64_t TextToInt(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + static_cast<unsigned>(text[i] - u'0');
    if (value > kMax) {
      value = kMax;
      break;
    }
  }
  return negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
}

std::int64_t TextToInt(const char16_t* text) {
  return text ? TextToInt(std::u16string_view(text)) : 0;
}

std::string ToUtf8(std::u16string_view text) {
  // Sized for the worst case once, written through a pointer: this runs for every name shown.
  std::string out(text.size() * 3, '\0');
  char* o = out.data();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      // A surrogate pair: two units in, four bytes out, within the 3-per-unit budget.
      *o++ = static_cast<char>(0xF0 | (c >> 18));
      *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

std::string ToUtf8Line(std::u16string_view text) {
  auto plain = [](char16_t c) {
    return c >= 0x20 && c != 0x7F && c != u'\\' && !(c >= 0x80 && c <= 0x9F) && c != 0x2028 &&
           c != 0x2029;
  };
  std::size_t i = 0;
  while (i < text.size() && plain(text[i])) ++i;
  if (i == text.size()) return ToUtf8(text);  // the common case: nothing to escape
  std::string out = ToUtf8(text.substr(0, i));
  for (; i < text.size(); ++i) {
    std::size_t run = i;
    while (run < text.size() && plain(text[run])) ++run;
    if (run > i) {
      out += ToUtf8(text.substr(i, run - i));
      i = run;
      if (i == text.size()) break;
    }
    const char16_t c = text[i];
    char buf[8];
    switch (c) {
      case u'\n': out += "\\n"; break;
      case u'\r': out += "\\r"; break;
      case u'\t': out += "\\t"; break;
      case u'\\': out += "\\\\"; break;
      default:
        std::snprintf(buf, sizeof buf, c < 0x80 ? "\\x%02x" : "\\u%04x", static_cast<unsigned>(c));
        out += buf;
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    char32_t c = 0xFFFD;
    std::size_t len = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2;
      c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3;
      c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4;
      c = b & 0x07;
    } else {
      len = 0;
    }
    bool ok = len > 0 && i + len <= text.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      unsigned char cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cont & 0x3F);
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    i += len;
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(0xFFFD);
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::u16string Widen(std::string_view ascii) {
  std::u16string out;
  out.reserve(ascii.size());
  for (unsigned char c : ascii) out.push_back(c);
  return out;
}

}  // namespace brevant

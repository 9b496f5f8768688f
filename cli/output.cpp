#include "cli/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace brevant::cli {
namespace {

// Length of the well-formed UTF-8 character at the start of `s` (RFC 3629, table 3-7 of the
// Unicode standard), 0 when it does not start one.
std::size_t CharLength(std::string_view s) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = at(0);
  if (c < 0x80) return 1;
  auto tail = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < s.size() && at(i) >= lo && at(i) <= hi;
  };
  if (c >= 0xC2 && c <= 0xDF) return tail(1) ? 2 : 0;
  if (c == 0xE0) return tail(1, 0xA0) && tail(2) ? 3 : 0;
  if (c == 0xED) return tail(1, 0x80, 0x9F) && tail(2) ? 3 : 0;  // no surrogates
  if (c >= 0xE1 && c <= 0xEF) return tail(1) && tail(2) ? 3 : 0;
  if (c == 0xF0) return tail(1, 0x90) && tail(2) && tail(3) ? 4 : 0;
  if (c >= 0xF1 && c <= 0xF3) return tail(1) && tail(2) && tail(3) ? 4 : 0;
  if (c == 0xF4) return tail(1, 0x80, 0x8F) && tail(2) && tail(3) ? 4 : 0;
  return 0;
}

// Length of the ill-formed sequence at the start of `s` that one U+FFFD stands for: the
// longest start of a well-formed character there is, at least one byte (the "maximal subpart"
// practice of the Unicode standard, which Python's and browsers' decoders follow too).
std::size_t IllFormedLength(std::string_view s) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = at(0);
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    lo = c == 0xE0 ? 0xA0 : 0x80;
    hi = c == 0xED ? 0x9F : 0xBF;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    lo = c == 0xF0 ? 0x90 : 0x80;
    hi = c == 0xF4 ? 0x8F : 0xBF;
  }
  std::size_t n = 1;
  for (; n < need && n < s.size(); ++n) {
    if (at(n) < (n == 1 ? lo : 0x80) || at(n) > (n == 1 ? hi : 0xBF)) break;
  }
  return n;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = CharLength(text.substr(i));
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string ValidUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = CharLength(text.substr(i));
    if (n == 0) {
      out += kReplacement;
      i += IllFormedLength(text.substr(i));
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string HexBytes(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// JSON is written as it goes: a volume of millions of entries never sits in memory twice.
void JsonString(std::string& out, std::string_view text) {
  out += '"';
  std::size_t run = 0;  // start of the bytes that need no escape, appended in one go
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const std::size_t n = CharLength(text.substr(i));
      if (n > 0) {
        i += n - 1;
        continue;
      }
      out.append(text, run, i - run);
      out += kReplacement;
      i += IllFormedLength(text.substr(i)) - 1;
      run = i + 1;
      continue;
    }
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
    }
  }
  out.append(text, run, text.size() - run);
  out += '"';
}

void JsonField(std::string& out, const char* key, std::string_view text, bool first) {
  if (!first) out += ", ";
  out += '"';
  out += key;
  out += "\": ";
  JsonString(out, text);
  if (!IsValidUtf8(text)) {
    out += ", \"";
    out += key;
    out += "Bytes\": \"";
    out += HexBytes(text);
    out += '"';
  }
}

void JsonNumber(std::string& out, const char* key, long long value) {
  out += ", \"";
  out += key;
  out += "\": ";
  out += std::to_string(value);
}

StdOut& StdOut::Get() {
  static StdOut out;
  return out;
}

void StdOut::Write(std::string_view text) {
  if (Failed()) return;
  buffer_ += text;
  if (buffer_.size() >= (1 << 16)) Drain();
}

bool StdOut::Flush() {
  if (!Failed()) Drain();
  buffer_.clear();
  return !Failed();
}

void StdOut::Drain() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? std::strerror(errno) : "nothing could be written";
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

}  // namespace brevant::cli

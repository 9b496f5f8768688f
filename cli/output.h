#pragma once
// What the command line prints: standard output written with every write checked, and text
// that is always valid UTF-8 even where a path of the system (an image, a destination) is not.
#include <concepts>
#include <string>
#include <string_view>

namespace brevant::cli {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF), as a strict parser wants it.
bool IsValidUtf8(std::string_view text);
// `text` with each ill-formed sequence replaced by one U+FFFD (as the Unicode standard
// recommends, and Python's errors="replace" does); valid text comes back unchanged.
std::string ValidUtf8(std::string_view text);
// The bytes of `text` as lower-case hex, two digits each.
std::string HexBytes(std::string_view text);

// Appends `text` to `out` as a JSON string: quotes, backslashes and control characters
// escaped, ill-formed UTF-8 written as U+FFFD.
void JsonString(std::string& out, std::string_view text);
// Appends `, "key": "value"` (no comma when `first`). A value that is not valid UTF-8 is
// followed by `"keyBytes": "<hex of its bytes>"`, so that nothing of it is lost.
void JsonField(std::string& out, const char* key, std::string_view text, bool first = false);
void JsonNumber(std::string& out, const char* key, long long value);

// The process's standard output, buffered here and written with write(2). The first failure
// (a full disk, /dev/full, a closed descriptor) is kept with its reason; what follows it is
// dropped, so a loop can stop early, and the command ends with an error instead of a cut
// document that looks whole.
class StdOut {
 public:
  static StdOut& Get();

  StdOut& operator<<(std::string_view text) {
    Write(text);
    return *this;
  }
  StdOut& operator<<(const std::string& text) { return *this << std::string_view(text); }
  StdOut& operator<<(const char* text) { return *this << std::string_view(text); }
  StdOut& operator<<(char c) { return *this << std::string_view(&c, 1); }
  template <std::integral T>
  requires(!std::same_as<T, char> && !std::same_as<T, bool>) StdOut& operator<<(T value) {
    return *this << std::to_string(value);
  }

  void Write(std::string_view text);
  // Writes what is buffered; false once anything failed.
  bool Flush();
  bool Failed() const { return !error_.empty(); }
  // The reason of the first failure ("No space left on device").
  const std::string& Error() const { return error_; }

 private:
  StdOut() = default;
  void Drain();
  std::string buffer_;
  std::string error_;
};

}  // namespace brevant::cli

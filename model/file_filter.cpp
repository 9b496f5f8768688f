#include "model/file_filter.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "core/file_systems.h"
#include "core/output_file.h"
#include "core/text.h"

namespace brevant::ui {
namespace {

// ---------------------------------------------------------------------------------------------
// Case folding. Names and patterns are compared in ICU's NFKC_Casefold form: full Unicode case
// folding ("Straße" and "STRASSE" are one), with composed and decomposed accents and width
// variants made alike, since a name typed on one system and written by another may differ
// only there.

const icu::Normalizer2* Folder() {
  static const icu::Normalizer2* folder = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFKCCasefoldInstance(status);
    return U_SUCCESS(status) ? n : nullptr;
  }();
  return folder;
}

std::u16string Fold(std::u16string_view text) {
  bool ascii = true;
  for (char16_t c : text) ascii = ascii && c < 0x80;
  std::u16string out(text);
  if (ascii) {
    for (char16_t& c : out)
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
  }
  const icu::Normalizer2* folder = Folder();
  if (!folder) return out;
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString source(false, text.data(), static_cast<int32_t>(text.size()));
  icu::UnicodeString folded = folder->normalize(source, status);
  // A name that cannot be folded (ICU refuses it) is compared as it is read.
  if (U_FAILURE(status) || folded.isBogus()) return out;
  return std::u16string(reinterpret_cast<const char16_t*>(folded.getBuffer()),
                        static_cast<std::size_t>(folded.length()));
}

// One code point at `i` (an unpaired surrogate stands for itself); `i` moves past it.
char32_t NextCodePoint(std::u16string_view s, std::size_t& i) {
  const char16_t c = s[i++];
  if (c >= 0xD800 && c < 0xDC00 && i < s.size() && s[i] >= 0xDC00 && s[i] < 0xE000)
    return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (s[i++] - 0xDC00);
  return c;
}

char32_t SimpleFold(char32_t c) { return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT)); }

// ---------------------------------------------------------------------------------------------
// Glob patterns: `*` any run, `?` one character, `[...]` one of a set (`[!...]` or `[^...]` none
// of it; `]` first in the set is a member; `a-z` a range). An unclosed `[` is itself. Time stays
// proportional to name length times pattern length whatever either holds.

struct CharClass {
  bool negated = false;
  std::vector<std::pair<char32_t, char32_t>> ranges;  // inclusive, as written and folded

  bool Has(char32_t c) const {
    bool in = false;
    for (const auto& [lo, hi] : ranges) in = in || (c >= lo && c <= hi);
    return in != negated;
  }
};

struct Token {
  enum Kind : std::uint8_t { Literal, AnyOne, Star, Class } kind;
  char32_t c = 0;
  std::uint32_t cls = 0;
};

struct Glob {
  std::vector<Token> tokens;
  std::vector<CharClass> classes;
  bool any = true;  // empty, or stars only: keeps every name
  // Patterns of literal text and stars only (the usual "*.jpg", "report*"): the pieces between
  // the stars, found in order from left to right, which is linear in the name's length.
  bool plain = false;
  std::vector<std::u16string> pieces;
  bool starFirst = false, starLast = false;

  bool Match(std::u16string_view name) const;
  bool MatchPlain(std::u16string_view name) const;
  std::size_t MatchRun(std::size_t t, std::size_t end, std::u16string_view name,
                       std::size_t at) const;
};

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c < 0xE000; }

void AppendUnits(std::u16string& out, char32_t c) {
  if (c >= 0x10000) {
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    out += static_cast<char16_t>(c);
  }
}

// Splits a pattern of literals and stars into its pieces. A lone surrogate in the pattern
// keeps the general matcher, which never matches it against half of a pair.
void MakePlain(Glob& g) {
  g.plain = !g.any;
  for (const Token& t : g.tokens)
    g.plain = g.plain && (t.kind == Token::Star || (t.kind == Token::Literal && !IsSurrogate(t.c)));
  if (!g.plain) return;
  g.starFirst = g.tokens.front().kind == Token::Star;
  g.starLast = g.tokens.back().kind == Token::Star;
  std::u16string piece;
  for (const Token& t : g.tokens) {
    if (t.kind == Token::Star) {
      if (!piece.empty()) g.pieces.push_back(std::move(piece));
      piece.clear();
    } else {
      AppendUnits(piece, t.c);
    }
  }
  if (!piece.empty()) g.pieces.push_back(std::move(piece));
}

bool Glob::MatchPlain(std::u16string_view name) const {
  std::size_t from = 0, to = name.size();
  std::size_t first = 0, last = pieces.size();
  if (!starFirst) {
    // No star at all: the whole name.
    if (pieces.size() == 1 && !starLast) return name == pieces[0];
    if (name.substr(0, pieces[0].size()) != pieces[0]) return false;
    from = pieces[0].size();
    first = 1;
  }
  if (!starLast && last > first) {
    const std::u16string& tail = pieces[last - 1];
    if (tail.size() > to - from || name.substr(to - tail.size()) != tail) return false;
    to -= tail.size();
    --last;
  }
  for (std::size_t k = first; k < last; ++k) {
    const std::size_t at = name.substr(0, to).find(pieces[k], from);
    if (at == std::u16string_view::npos) return false;
    from = at + pieces[k].size();
  }
  return true;
}

Glob Compile(std::u16string_view pattern) {
  Glob g;
  std::vector<char32_t> cps;
  for (std::size_t i = 0; i < pattern.size();) cps.push_back(NextCodePoint(pattern, i));
  std::u16string literal;
  auto flush = [&] {
    if (literal.empty()) return;
    const std::u16string folded = Fold(literal);
    for (std::size_t i = 0; i < folded.size();)
      g.tokens.push_back({Token::Literal, NextCodePoint(folded, i), 0});
    literal.clear();
  };
  auto appendLiteral = [&](char32_t c) {
    if (c >= 0x10000) {
      literal += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      literal += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      literal += static_cast<char16_t>(c);
    }
  };
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const char32_t c = cps[i];
    if (c == U'*') {
      flush();
      if (g.tokens.empty() || g.tokens.back().kind != Token::Star)
        g.tokens.push_back({Token::Star, 0, 0});
    } else if (c == U'?') {
      flush();
      g.tokens.push_back({Token::AnyOne, 0, 0});
    } else if (c == U'[') {
      // Find the closing bracket: a `]` right after `[`, `[!` or `[^` is a member.
      std::size_t j = i + 1;
      bool negated = false;
      if (j < cps.size() && (cps[j] == U'!' || cps[j] == U'^')) {
        negated = true;
        ++j;
      }
      const std::size_t first = j;
      if (j < cps.size() && cps[j] == U']') ++j;
      while (j < cps.size() && cps[j] != U']') ++j;
      if (j >= cps.size()) {
        appendLiteral(c);  // unclosed: a plain '['
        continue;
      }
      flush();
      CharClass cls;
      cls.negated = negated;
      for (std::size_t k = first; k < j; ++k) {
        char32_t lo = cps[k], hi = cps[k];
        if (k + 2 < j && cps[k + 1] == U'-') {
          hi = cps[k + 2];
          k += 2;
        }
        if (lo > hi) continue;  // an empty range, as fnmatch takes it
        cls.ranges.push_back({lo, hi});
        // Names are folded: a range is also tried with its ends folded ("[A-Z]" keeps "q").
        char32_t flo = SimpleFold(lo), fhi = SimpleFold(hi);
        if (flo <= fhi && (flo != lo || fhi != hi)) cls.ranges.push_back({flo, fhi});
        if (lo == hi) {
          // A member that folds to one other character (a full-width letter) is that too.
          char16_t units[2];
          std::size_t len = 1;
          if (lo >= 0x10000) {
            units[0] = static_cast<char16_t>(0xD800 + ((lo - 0x10000) >> 10));
            units[1] = static_cast<char16_t>(0xDC00 + ((lo - 0x10000) & 0x3FF));
            len = 2;
          } else {
            units[0] = static_cast<char16_t>(lo);
          }
          const std::u16string folded = Fold(std::u16string_view(units, len));
          std::size_t at = 0;
          if (!folded.empty()) {
            const char32_t f = NextCodePoint(folded, at);
            if (at == folded.size()) cls.ranges.push_back({f, f});
          }
        }
      }
      g.classes.push_back(std::move(cls));
      g.tokens.push_back({Token::Class, 0, static_cast<std::uint32_t>(g.classes.size() - 1)});
      i = j;
    } else {
      appendLiteral(c);
    }
  }
  flush();
  for (const Token& t : g.tokens) g.any = g.any && t.kind == Token::Star;
  MakePlain(g);
  return g;
}

// The tokens from `t` up to the next star (or the end) matched at `at`: where the match ends,
// or npos. Each token takes one character.
std::size_t Glob::MatchRun(std::size_t t, std::size_t end, std::u16string_view name,
                           std::size_t at) const {
  for (; t < end; ++t) {
    if (at >= name.size()) return std::u16string_view::npos;
    const char32_t c = NextCodePoint(name, at);
    const Token& k = tokens[t];
    const bool ok = k.kind == Token::AnyOne || (k.kind == Token::Literal && k.c == c) ||
                    (k.kind == Token::Class && classes[k.cls].Has(c));
    if (!ok) return std::u16string_view::npos;
  }
  return at;
}

// Runs between stars match a fixed number of characters, so taking each at its leftmost place
// is never wrong: one pass over the name per run, with no backtracking beyond it.
bool Glob::Match(std::u16string_view name) const {
  if (any) return true;
  if (plain) return MatchPlain(name);
  const std::size_t npos = std::u16string_view::npos;
  // Runs as [begin, end) token ranges.
  std::size_t from = 0, to = name.size();
  std::size_t t = 0;
  const std::size_t n = tokens.size();
  auto runEnd = [&](std::size_t b) {
    while (b < n && tokens[b].kind != Token::Star) ++b;
    return b;
  };
  if (tokens[0].kind != Token::Star) {
    const std::size_t e = runEnd(0);
    const std::size_t at = MatchRun(0, e, name, 0);
    if (at == npos) return false;
    if (e == n) return at == name.size();
    from = at;
    t = e;
  }
  // The last run, when no star follows it, sits at the name's end.
  std::size_t lastBegin = n;
  if (tokens[n - 1].kind != Token::Star) {
    lastBegin = n - 1;
    while (tokens[lastBegin - 1].kind != Token::Star) --lastBegin;
    std::size_t at = name.size();
    for (std::size_t k = lastBegin; k < n; ++k) {
      if (at <= from) return false;
      --at;
      if (at > from && name[at] >= 0xDC00 && name[at] < 0xE000 && name[at - 1] >= 0xD800 &&
          name[at - 1] < 0xDC00)
        --at;
    }
    if (MatchRun(lastBegin, n, name, at) != name.size()) return false;
    to = at;
  }
  while (t < lastBegin) {
    if (tokens[t].kind == Token::Star) {
      ++t;
      continue;
    }
    const std::size_t e = runEnd(t);
    const std::u16string_view window = name.substr(0, to);
    // A run that starts with a plain character only begins where that character is.
    const bool findFirst = tokens[t].kind == Token::Literal && !IsSurrogate(tokens[t].c) &&
                           tokens[t].c < 0x10000;
    std::size_t at = from;
    for (;;) {
      if (findFirst) {
        at = window.find(static_cast<char16_t>(tokens[t].c), at);
        if (at == npos) return false;
      }
      const std::size_t end = MatchRun(t, e, window, at);
      if (end != npos) {
        from = end;
        break;
      }
      if (at >= to) return false;
      NextCodePoint(name, at);
    }
    t = e;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Categories by extension (lower case ASCII).

struct Extension {
  std::string_view ext;
  FileCategory category;
};

constexpr Extension kExtensions[] = {
    // Pictures, camera raw formats included.
    {"jpg", FileCategory::Pictures}, {"jpeg", FileCategory::Pictures}, {"jpe", FileCategory::Pictures},
    {"jfif", FileCategory::Pictures}, {"png", FileCategory::Pictures}, {"gif", FileCategory::Pictures},
    {"bmp", FileCategory::Pictures}, {"dib", FileCategory::Pictures}, {"tif", FileCategory::Pictures},
    {"tiff", FileCategory::Pictures}, {"webp", FileCategory::Pictures}, {"heic", FileCategory::Pictures},
    {"heif", FileCategory::Pictures}, {"avif", FileCategory::Pictures}, {"jxl", FileCategory::Pictures},
    {"ico", FileCategory::Pictures}, {"svg", FileCategory::Pictures}, {"psd", FileCategory::Pictures},
    {"xcf", FileCategory::Pictures}, {"pcx", FileCategory::Pictures}, {"tga", FileCategory::Pictures},
    {"raw", FileCategory::Pictures}, {"cr2", FileCategory::Pictures}, {"cr3", FileCategory::Pictures},
    {"crw", FileCategory::Pictures}, {"nef", FileCategory::Pictures}, {"nrw", FileCategory::Pictures},
    {"arw", FileCategory::Pictures}, {"dng", FileCategory::Pictures}, {"orf", FileCategory::Pictures},
    {"rw2", FileCategory::Pictures}, {"raf", FileCategory::Pictures}, {"pef", FileCategory::Pictures},
    {"srw", FileCategory::Pictures},
    // Documents: office formats, text, e-books.
    {"doc", FileCategory::Documents}, {"docx", FileCategory::Documents}, {"docm", FileCategory::Documents},
    {"dot", FileCategory::Documents}, {"dotx", FileCategory::Documents}, {"odt", FileCategory::Documents},
    {"ott", FileCategory::Documents}, {"ods", FileCategory::Documents}, {"odp", FileCategory::Documents},
    {"odg", FileCategory::Documents}, {"rtf", FileCategory::Documents}, {"txt", FileCategory::Documents},
    {"text", FileCategory::Documents}, {"md", FileCategory::Documents}, {"pdf", FileCategory::Documents},
    {"xls", FileCategory::Documents}, {"xlsx", FileCategory::Documents}, {"xlsm", FileCategory::Documents},
    {"xlsb", FileCategory::Documents}, {"ppt", FileCategory::Documents}, {"pptx", FileCategory::Documents},
    {"pptm", FileCategory::Documents}, {"pps", FileCategory::Documents}, {"ppsx", FileCategory::Documents},
    {"csv", FileCategory::Documents}, {"tsv", FileCategory::Documents}, {"htm", FileCategory::Documents},
    {"html", FileCategory::Documents}, {"tex", FileCategory::Documents}, {"epub", FileCategory::Documents},
    {"mobi", FileCategory::Documents}, {"djvu", FileCategory::Documents}, {"xps", FileCategory::Documents},
    {"oxps", FileCategory::Documents}, {"wpd", FileCategory::Documents}, {"wps", FileCategory::Documents},
    {"pages", FileCategory::Documents}, {"numbers", FileCategory::Documents}, {"key", FileCategory::Documents},
    // Audio.
    {"mp3", FileCategory::Audio}, {"wav", FileCategory::Audio}, {"flac", FileCategory::Audio},
    {"aac", FileCategory::Audio}, {"m4a", FileCategory::Audio}, {"m4b", FileCategory::Audio},
    {"ogg", FileCategory::Audio}, {"oga", FileCategory::Audio}, {"opus", FileCategory::Audio},
    {"wma", FileCategory::Audio}, {"aif", FileCategory::Audio}, {"aiff", FileCategory::Audio},
    {"aifc", FileCategory::Audio}, {"mid", FileCategory::Audio}, {"midi", FileCategory::Audio},
    {"amr", FileCategory::Audio}, {"ape", FileCategory::Audio}, {"wv", FileCategory::Audio},
    {"ac3", FileCategory::Audio}, {"ra", FileCategory::Audio}, {"au", FileCategory::Audio},
    // Video.
    {"mp4", FileCategory::Video}, {"m4v", FileCategory::Video}, {"mov", FileCategory::Video},
    {"avi", FileCategory::Video}, {"mkv", FileCategory::Video}, {"wmv", FileCategory::Video},
    {"flv", FileCategory::Video}, {"f4v", FileCategory::Video}, {"webm", FileCategory::Video},
    {"mpg", FileCategory::Video}, {"mpeg", FileCategory::Video}, {"mpe", FileCategory::Video},
    {"m2ts", FileCategory::Video}, {"mts", FileCategory::Video}, {"m2v", FileCategory::Video},
    {"vob", FileCategory::Video}, {"3gp", FileCategory::Video}, {"3g2", FileCategory::Video},
    {"ogv", FileCategory::Video}, {"asf", FileCategory::Video}, {"rm", FileCategory::Video},
    {"rmvb", FileCategory::Video}, {"divx", FileCategory::Video},
    // Archives and disk images.
    {"zip", FileCategory::Archives}, {"zipx", FileCategory::Archives}, {"rar", FileCategory::Archives},
    {"7z", FileCategory::Archives}, {"tar", FileCategory::Archives}, {"gz", FileCategory::Archives},
    {"tgz", FileCategory::Archives}, {"bz2", FileCategory::Archives}, {"tbz", FileCategory::Archives},
    {"tbz2", FileCategory::Archives}, {"xz", FileCategory::Archives}, {"txz", FileCategory::Archives},
    {"zst", FileCategory::Archives}, {"lz", FileCategory::Archives}, {"lzma", FileCategory::Archives},
    {"z", FileCategory::Archives}, {"cab", FileCategory::Archives}, {"arj", FileCategory::Archives},
    {"lzh", FileCategory::Archives}, {"cpio", FileCategory::Archives}, {"iso", FileCategory::Archives},
    // E-mail: messages and mailboxes.
    {"eml", FileCategory::Email}, {"emlx", FileCategory::Email}, {"msg", FileCategory::Email},
    {"oft", FileCategory::Email}, {"pst", FileCategory::Email}, {"ost", FileCategory::Email},
    {"mbox", FileCategory::Email}, {"mbx", FileCategory::Email}, {"dbx", FileCategory::Email},
    {"nsf", FileCategory::Email},
};

// ---------------------------------------------------------------------------------------------
// System files of NTFS: the metadata files in the MFT's first records, and everything below
// $Extend. Decided by record number, so that a user's "$budget.xls" stays a user file.

constexpr std::int64_t kRootRecord = 5;
constexpr std::int64_t kExtendRecord = 11;
// Records 0 to 23 are the volume's own: 0-11 the metadata files, 12-23 held back for it.
constexpr std::int64_t kFirstUserRecord = 24;
// Entries the NTFS extensive sweep finds beyond the MFT carry ids from here up (their record
// numbers belong to an older MFT, so they say nothing); below it, the id is the record number.
constexpr std::int64_t kFirstSweptId = 0x10000000;
// The names the metadata records have, for entries of the sweep (whose record number is lost):
// those sitting in the root are the older volume's metadata.
constexpr std::u16string_view kMetadataNames[] = {
    u"$MFT",    u"$MFTMirr", u"$LogFile", u"$Volume", u"$AttrDef", u"$Bitmap",
    u"$Boot",   u"$BadClus", u"$Secure",  u"$UpCase", u"$Extend",  u"$Quota"};

std::u16string_view BaseName(const CatalogueNode& n) {
  std::u16string_view name(n.name);
  if (n.stream && *n.stream) {
    const std::size_t stream = std::char_traits<char16_t>::length(n.stream);
    if (name.size() > stream) name.remove_suffix(stream + 1);
  }
  return name;
}

// The entry's own record says it is the volume's metadata.
bool OwnRecordIsSystem(const CatalogueNode& n) {
  const std::int64_t id = TextToInt(n.id);
  if (id < 0) return false;
  if (id < kFirstSweptId) return id < kFirstUserRecord && id != kRootRecord;
  if (TextToInt(n.parentId) != kRootRecord) return false;
  const std::u16string_view base = BaseName(n);
  return std::find(std::begin(kMetadataNames), std::end(kMetadataNames), base) !=
         std::end(kMetadataNames);
}

struct Facts {
  std::uint32_t nameStart = 0, nameLength = 0;  // the folded name in Impl::names
  std::uint64_t size = 0;
  std::int64_t time = 0;
  bool hasTime = false;
  bool deleted = false;
  bool folder = false;
  bool system = false;
  FileCategory category = FileCategory::Other;
  FileCondition condition = FileCondition::Live;
};

bool IsFatName(std::string_view fs) { return HasFatTimes(fs); }

}  // namespace

// ---------------------------------------------------------------------------------------------

FileCategory CategoryOfName(std::u16string_view name) {
  const std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot + 1 >= name.size()) return FileCategory::Other;
  const std::u16string_view ext = name.substr(dot + 1);
  if (ext.size() > 8) return FileCategory::Other;
  char lower[8];
  for (std::size_t i = 0; i < ext.size(); ++i) {
    const char16_t c = ext[i];
    if (c >= 0x80) return FileCategory::Other;
    lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const std::string_view key(lower, ext.size());
  for (const Extension& e : kExtensions)
    if (e.ext == key) return e.category;
  return FileCategory::Other;
}

std::string_view CategoryText(FileCategory category) {
  switch (category) {
    case FileCategory::Pictures: return "pictures";
    case FileCategory::Documents: return "documents";
    case FileCategory::Audio: return "audio";
    case FileCategory::Video: return "video";
    case FileCategory::Archives: return "archives";
    case FileCategory::Email: return "e-mail";
    case FileCategory::Other: return "other";
  }
  return "other";
}

std::optional<FileCategory> ParseCategory(std::string_view text) {
  for (FileCategory c : {FileCategory::Pictures, FileCategory::Documents, FileCategory::Audio,
                         FileCategory::Video, FileCategory::Archives, FileCategory::Email,
                         FileCategory::Other})
    if (CategoryText(c) == text) return c;
  if (text == "email") return FileCategory::Email;
  return std::nullopt;
}

std::optional<std::uint64_t> ParseByteSize(std::string_view text) {
  std::size_t i = 0;
  unsigned __int128 whole = 0;
  const unsigned __int128 limit = static_cast<unsigned __int128>(1) << 64;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    whole = whole * 10 + static_cast<unsigned>(text[i++] - '0');
    if (whole >= limit) return std::nullopt;
  }
  if (i == 0) return std::nullopt;
  // Up to nine digits of fraction count ("1.5M"); more say nothing a byte count can hold.
  std::uint64_t fraction = 0, scale = 1;
  if (i < text.size() && text[i] == '.') {
    ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (scale < 1000000000ULL) {
        fraction = fraction * 10 + static_cast<unsigned>(text[i] - '0');
        scale *= 10;
      }
      ++i;
    }
    if (i == start) return std::nullopt;
  }
  std::string unit;
  for (; i < text.size(); ++i) unit += static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
  int shift = 0;
  if (unit.empty() || unit == "b") shift = 0;
  else if (unit == "k" || unit == "kb" || unit == "kib") shift = 10;
  else if (unit == "m" || unit == "mb" || unit == "mib") shift = 20;
  else if (unit == "g" || unit == "gb" || unit == "gib") shift = 30;
  else if (unit == "t" || unit == "tb" || unit == "tib") shift = 40;
  else return std::nullopt;
  const unsigned __int128 bytes =
      (whole << shift) + ((static_cast<unsigned __int128>(fraction) << shift) / scale);
  if (bytes >= limit) return std::nullopt;
  return static_cast<std::uint64_t>(bytes);
}

std::optional<std::int64_t> ParseIsoTime(std::string_view text, bool endOfRange) {
  std::size_t i = 0;
  auto number = [&](std::size_t digits, int& out) {
    if (i + digits > text.size()) return false;
    out = 0;
    for (std::size_t k = 0; k < digits; ++k) {
      const char c = text[i + k];
      if (c < '0' || c > '9') return false;
      out = out * 10 + (c - '0');
    }
    i += digits;
    return true;
  };
  auto expect = [&](char c) {
    if (i < text.size() && text[i] == c) {
      ++i;
      return true;
    }
    return false;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(4, year) || !expect('-') || !number(2, month) || !expect('-') || !number(2, day))
    return std::nullopt;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return std::nullopt;
  bool dateOnly = true;
  if (i < text.size() && (text[i] == 'T' || text[i] == 't' || text[i] == ' ')) {
    ++i;
    dateOnly = false;
    if (!number(2, hour) || !expect(':') || !number(2, minute)) return std::nullopt;
    if (expect(':') && !number(2, second)) return std::nullopt;
    if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  }
  std::int64_t offset = 0;
  if (i < text.size()) {
    if (dateOnly) return std::nullopt;
    if (text[i] == 'Z' || text[i] == 'z') {
      ++i;
    } else if (text[i] == '+' || text[i] == '-') {
      const int sign = text[i++] == '-' ? -1 : 1;
      int oh = 0, om = 0;
      if (!number(2, oh)) return std::nullopt;
      expect(':');
      if (!number(2, om) || oh > 23 || om > 59) return std::nullopt;
      offset = sign * (oh * 3600 + om * 60);
    }
    if (i != text.size()) return std::nullopt;
  }
  // Days from the civil date (proleptic Gregorian).
  const int y = year - (month <= 2);
  const int era = y / 400, yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  std::int64_t t = days * 86400 + hour * 3600 + minute * 60 + second - offset;
  if (dateOnly && endOfRange) t += 86399;
  return t;
}

bool FileFilter::Narrows() const {
  return !Compile(namePattern).any || liveness != Liveness::Any || !conditions.empty() ||
         minSize || maxSize || since || until || !categories.empty();
}

bool NameMatches(std::u16string_view pattern, std::u16string_view name) {
  return Compile(pattern).Match(Fold(name));
}

// ---------------------------------------------------------------------------------------------

struct FilterIndex::Impl {
  std::vector<const CatalogueNode*> files;  // catalogue order
  std::vector<Facts> fileFacts;
  // Node -> place in the facts, sorted by address: a million map nodes would cost more to
  // make than the facts themselves.
  using Place = std::pair<const CatalogueNode*, std::uint32_t>;
  std::vector<Place> folderAt, fileAt;
  std::vector<Facts> folderFacts;
  std::u16string names;
  std::string fsName;

  Facts Make(const RunResult& result, const CatalogueNode& n,
             const std::unordered_set<std::int64_t>& systemFolders) {
    Facts f;
    const std::u16string folded = Fold(n.name);
    f.nameStart = static_cast<std::uint32_t>(names.size());
    f.nameLength = static_cast<std::uint32_t>(folded.size());
    names += folded;
    f.folder = n.IsFolder();
    f.deleted = n.IsDeleted();
    const std::int64_t size = TextToInt(n.size);
    f.size = f.folder || size < 0 ? 0 : static_cast<std::uint64_t>(size);
    if (auto t = ListedTime(n, IsFatName(fsName))) {
      f.time = *t;
      f.hasTime = true;
    }
    f.category = f.folder ? FileCategory::Other : CategoryOfName(n.name);
    f.condition = f.folder ? (f.deleted ? FileCondition::Unknown : FileCondition::Live)
                           : result.StateOf(n).condition;
    if (fsName == "NTFS")
      f.system = OwnRecordIsSystem(n) || systemFolders.count(TextToInt(n.parentId)) != 0;
    return f;
  }

  static const Facts* Find(const std::vector<Place>& at, const std::vector<Facts>& facts,
                           const CatalogueNode* node) {
    auto it = std::lower_bound(at.begin(), at.end(), Place{node, 0},
                               [](const Place& a, const Place& b) { return a.first < b.first; });
    return it != at.end() && it->first == node ? &facts[it->second] : nullptr;
  }
  const Facts* FactsOf(const CatalogueNode* node) const {
    if (const Facts* f = Find(fileAt, fileFacts, node)) return f;
    return Find(folderAt, folderFacts, node);
  }

  std::u16string_view Name(const Facts& f) const {
    return std::u16string_view(names).substr(f.nameStart, f.nameLength);
  }
};

namespace {

// Folder ids whose folder is system or lies below one (walked up by parent id, as the tree
// places folders: the first folder catalogued with an id answers for it).
std::unordered_set<std::int64_t> SystemFolderIds(const Catalogue& catalogue) {
  std::unordered_map<std::int64_t, const CatalogueNode*> byId;
  for (auto* n = catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    byId.emplace(TextToInt(n->id), n);
  std::unordered_map<std::int64_t, bool> known;
  std::vector<std::int64_t> chain;
  for (const auto& [id, node] : byId) {
    if (known.count(id)) continue;
    chain.clear();
    bool system = false;
    std::int64_t at = id;
    // Bounded: a crafted loop of parents, or a chain deeper than any tree shows, ends here.
    for (std::size_t steps = 0; steps < 4096; ++steps) {
      if (auto k = known.find(at); k != known.end()) {
        system = k->second;
        break;
      }
      auto f = byId.find(at);
      if (f == byId.end() || at == kRootRecord) break;
      chain.push_back(at);
      if (OwnRecordIsSystem(*f->second)) {
        system = true;
        break;
      }
      const std::int64_t parent = TextToInt(f->second->parentId);
      if (parent == at) break;
      at = parent;
    }
    for (std::int64_t c : chain) known[c] = system;
  }
  std::unordered_set<std::int64_t> out;
  for (const auto& [id, system] : known)
    if (system) out.insert(id);
  return out;
}

}  // namespace

FilterIndex::FilterIndex(const RunResult& result) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.fsName = result.fsName;
  const Catalogue& c = result.catalogue;
  std::unordered_set<std::int64_t> systemFolders;
  if (m.fsName == "NTFS") systemFolders = SystemFolderIds(c);
  const std::size_t fileCount = c.fileList.count.load(std::memory_order_acquire);
  m.files.reserve(fileCount);
  m.fileFacts.reserve(fileCount);
  m.fileAt.reserve(fileCount);
  m.names.reserve(fileCount * 24);
  for (auto* n = c.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
    m.folderAt.emplace_back(n, static_cast<std::uint32_t>(m.folderFacts.size()));
    m.folderFacts.push_back(m.Make(result, *n, systemFolders));
  }
  for (auto* n = c.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
    m.fileAt.emplace_back(n, static_cast<std::uint32_t>(m.files.size()));
    m.files.push_back(n);
    m.fileFacts.push_back(m.Make(result, *n, systemFolders));
  }
  std::sort(m.folderAt.begin(), m.folderAt.end());
  std::sort(m.fileAt.begin(), m.fileAt.end());
}

FilterIndex::~FilterIndex() = default;

namespace {

struct Compiled {
  Glob glob;
  const FileFilter& filter;
  std::array<bool, 5> conditions{};

  explicit Compiled(const FileFilter& f) : glob(Compile(f.namePattern)), filter(f) {
    for (FileCondition c : f.conditions) conditions[static_cast<std::size_t>(c)] = true;
  }

  bool Keeps(const Facts& facts, std::u16string_view name) const {
    const FileFilter& f = filter;
    if (facts.system && !f.includeSystem) return false;
    if (f.liveness == FileFilter::Liveness::LiveOnly && facts.deleted) return false;
    if (f.liveness == FileFilter::Liveness::DeletedOnly && !facts.deleted) return false;
    // Size, category and condition are facts of files: no folder has them.
    if (facts.folder && (f.minSize || f.maxSize || !f.categories.empty() || !f.conditions.empty()))
      return false;
    if (f.minSize && facts.size < *f.minSize) return false;
    if (f.maxSize && facts.size > *f.maxSize) return false;
    if ((f.since || f.until) && !facts.hasTime) return false;
    if (f.since && facts.time < *f.since) return false;
    if (f.until && facts.time > *f.until) return false;
    if (!f.conditions.empty() && !conditions[static_cast<std::size_t>(facts.condition)])
      return false;
    if (!f.categories.empty() &&
        std::find(f.categories.begin(), f.categories.end(), facts.category) == f.categories.end())
      return false;
    return glob.Match(name);
  }
};

}  // namespace

std::vector<const CatalogueNode*> FilterIndex::Matching(const FileFilter& filter) const {
  const Impl& m = *impl_;
  const Compiled compiled(filter);
  std::vector<const CatalogueNode*> out;
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const Facts& f = m.fileFacts[i];
    if (compiled.Keeps(f, m.Name(f))) out.push_back(m.files[i]);
  }
  return out;
}

bool FilterIndex::Matches(const FileFilter& filter, const CatalogueNode& entry) const {
  const Impl& m = *impl_;
  const Facts* f = m.FactsOf(&entry);
  if (!f) return false;
  const Compiled compiled(filter);
  return compiled.Keeps(*f, m.Name(*f));
}

bool FilterIndex::IsSystem(const CatalogueNode& entry) const {
  const Facts* f = impl_->FactsOf(&entry);
  return f && f->system;
}

}  // namespace brevant::ui

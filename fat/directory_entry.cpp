#include "fat/directory_entry.h"

#include "fat/codepage.h"

namespace brevant::fat {
namespace {

constexpr std::size_t kMaxLongNameEntries = 20;  // 260 UTF-16 units
constexpr std::size_t kLongNameOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

bool IsForbidden(char16_t c) {
  return c < 0x20 || c == u'"' || c == u'\\' || c == u'/' || c == u'?' || c == u'*' ||
         c == u'<' || c == u'>' || c == u'|';
}

char16_t ToLower(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x0391 && c <= 0x03A9 && c != 0x03A2) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x0410 && c <= 0x042F) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 0x50);
  return c;
}

// Appends bytes [from, to) of the name without trailing blanks; false on a forbidden character.
bool AppendPart(const ShortEntry& e, std::size_t from, std::size_t to, bool lower, int codePage,
                std::u16string& out) {
  while (to > from && e.name[to - 1] == 0x20) --to;
  for (std::size_t i = from; i < to; ++i) {
    std::uint8_t byte = e.name[i];
    char16_t c;
    if (i == 0 && byte == kDeletedMark)
      c = u'_';
    else if (i == 0 && byte == 0x05)  // a real 0xE5 first byte, escaped
      c = OemToUnicode(codePage, 0xE5);
    else
      c = OemToUnicode(codePage, byte);
    if (IsForbidden(c)) return false;
    out.push_back(lower ? ToLower(c) : c);
  }
  return true;
}

}  // namespace

bool IsLongNameAttribute(std::uint8_t attributes) { return (attributes & 0x3F) == 0x0F; }

std::optional<ShortEntry> ParseShortEntry(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kEntryBytes) return std::nullopt;
  const std::uint8_t* b = bytes.data();
  ShortEntry e;
  for (std::size_t i = 0; i < 11; ++i) e.name[i] = b[i];
  e.attributes = b[11];
  e.caseFlags = b[12];
  e.clusterHigh = Le16(b + 20);
  e.writeTime = Le16(b + 22);
  e.writeDate = Le16(b + 24);
  e.clusterLow = Le16(b + 26);
  e.size = static_cast<std::uint32_t>(b[28]) | (static_cast<std::uint32_t>(b[29]) << 8) |
           (static_cast<std::uint32_t>(b[30]) << 16) | (static_cast<std::uint32_t>(b[31]) << 24);
  return e;
}

std::optional<LongNameEntry> ParseLongNameEntry(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kEntryBytes || !IsLongNameAttribute(bytes[11])) return std::nullopt;
  const std::uint8_t* b = bytes.data();
  LongNameEntry e;
  e.ordinal = b[0];
  for (std::size_t i = 0; i < 13; ++i) e.units[i] = Le16(b + kLongNameOffsets[i]);
  e.type = b[12];
  e.checksum = b[13];
  e.cluster = Le16(b + 26);
  return e;
}

std::uint8_t ShortNameChecksum(const std::array<std::uint8_t, 11>& name) {
  std::uint8_t sum = 0;
  for (std::uint8_t byte : name)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + byte);
  return sum;
}

std::optional<std::u16string> DecodeShortName(const ShortEntry& entry, int codePage) {
  std::u16string out;
  if (!AppendPart(entry, 0, 8, (entry.caseFlags & 0x08) != 0, codePage, out)) return std::nullopt;
  if (out.empty()) return std::nullopt;
  std::u16string ext;
  if (!AppendPart(entry, 8, 11, (entry.caseFlags & 0x10) != 0, codePage, ext)) return std::nullopt;
  if (!ext.empty()) out += u'.' + ext;
  return out;
}

bool IsDirectoryStart(std::span<const std::uint8_t> sector, bool strict) {
  if (sector.size() < 64) return false;
  if (!(sector[0] == 0x2E && sector[1] == 0x20 && sector[32] == 0x2E && sector[33] == 0x2E &&
        sector[34] == 0x20))
    return false;
  if (!strict) return true;
  if ((sector[11] & kAttrDirectory) == 0 || (sector[43] & kAttrDirectory) == 0) return false;
  for (std::size_t i = 2; i < 11; ++i)
    if (sector[i] != 0x20 || (i >= 3 && sector[32 + i] != 0x20)) return false;
  return true;
}

std::uint32_t DotCluster(std::span<const std::uint8_t> sector, FatKind kind) {
  auto e = ParseShortEntry(sector);
  return e ? e->Cluster(kind) : 0;
}

bool LooksLikeDirectorySector(std::span<const std::uint8_t> sector) {
  if (sector.size() < kEntryBytes || sector[0] == 0x00) return false;
  for (std::size_t at = 0; at + kEntryBytes <= sector.size(); at += kEntryBytes) {
    auto bytes = sector.subspan(at, kEntryBytes);
    if (bytes[0] == 0x00) {
      // After the end mark a directory holds nothing but zeros.
      for (std::size_t i = at; i < sector.size(); ++i)
        if (sector[i] != 0) return false;
      return true;
    }
    const std::uint8_t attributes = bytes[11];
    if (IsLongNameAttribute(attributes)) {
      auto e = ParseLongNameEntry(bytes);
      if (e->cluster != 0 || e->type != 0) return false;
      if (!e->IsDeleted() && ((e->ordinal & 0x1F) == 0 || (e->ordinal & 0x1F) > 20 ||
                              (e->ordinal & 0xA0) != 0))
        return false;
      continue;
    }
    if ((attributes & 0xC0) != 0) return false;
    if (bytes[0] == 0x2E) return false;  // "." and ".." only begin a directory
    for (std::size_t i = 0; i < 11; ++i) {
      std::uint8_t c = bytes[i];
      if (i == 0 && (c == kDeletedMark || c == 0x05)) continue;
      if (c < 0x20 || c == '"' || c == '*' || c == '/' || c == ':' || c == '<' || c == '>' ||
          c == '?' || c == '\\' || c == '|' || (c >= 'a' && c <= 'z'))
        return false;
    }
    if (bytes[0] == 0x20) return false;
  }
  return true;
}

void LongNameCollector::Add(const LongNameEntry& entry) {
  if (pending_.size() >= kMaxLongNameEntries) pending_.erase(pending_.begin());
  pending_.push_back(entry);
}

std::optional<std::u16string> LongNameCollector::NameFor(const ShortEntry& entry) const {
  if (pending_.empty()) return std::nullopt;
  std::vector<const LongNameEntry*> parts;  // nearest first: characters 1-13, 14-26, ...
  if (!entry.IsDeleted()) {
    const std::uint8_t sum = ShortNameChecksum(entry.name);
    bool complete = false;
    for (std::size_t i = pending_.size(); i-- > 0;) {
      const LongNameEntry& e = pending_[i];
      const std::size_t expected = parts.size() + 1;
      if (e.IsDeleted() || e.checksum != sum || (e.ordinal & 0x1F) != expected) break;
      parts.push_back(&e);
      if (e.ordinal & 0x40) {
        complete = true;
        break;
      }
    }
    if (!complete) return std::nullopt;
  } else {
    // The ordinals are gone; the entries of one name still share one checksum.
    const std::uint8_t sum = pending_.back().checksum;
    for (std::size_t i = pending_.size(); i-- > 0;) {
      const LongNameEntry& e = pending_[i];
      if (e.checksum != sum) break;
      parts.push_back(&e);
      if (!e.IsDeleted() && (e.ordinal & 0x40)) break;
    }
  }
  std::u16string name;
  for (const LongNameEntry* e : parts) {
    for (char16_t unit : e->units) {
      if (unit == 0x0000 || unit == 0xFFFF) return name.empty() ? std::nullopt : std::optional(name);
      name.push_back(unit);
    }
  }
  if (name.empty()) return std::nullopt;
  return name;
}

bool DirectoryDecoder::Feed(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber,
                            const std::function<void(const DirectoryRecord&)>& emit) {
  if (ended_) return false;
  for (std::size_t at = 0; at + kEntryBytes <= sector.size(); at += kEntryBytes) {
    auto bytes = sector.subspan(at, kEntryBytes);
    if (bytes[0] == 0x00) {
      ended_ = true;
      return false;
    }
    if (IsLongNameAttribute(bytes[11])) {
      auto lfn = ParseLongNameEntry(bytes);
      if (strict_ && lfn->cluster != 0) {
        longNames_.Clear();
        continue;
      }
      longNames_.Add(*lfn);
      continue;
    }
    auto entry = ParseShortEntry(bytes);
    if (entry->IsDotEntry() || entry->IsVolumeLabel() || (strict_ && (entry->attributes & 0xC0))) {
      longNames_.Clear();
      continue;
    }
    std::optional<std::u16string> shortName = DecodeShortName(*entry, codePage_);
    std::optional<std::u16string> longName = longNames_.NameFor(*entry);
    longNames_.Clear();
    // A long name whose checksum vouches for the entry stands even when the short name holds
    // characters a short name may not.
    if (!shortName && (strict_ || !longName)) continue;
    DirectoryRecord record;
    record.name = longName ? std::move(*longName) : std::move(*shortName);
    record.sector = sectorNumber;
    record.entry = *entry;
    emit(record);
  }
  return true;
}

}  // namespace brevant::fat

#pragma once
// 32-byte FAT directory entries: short (8.3) entries and long-name entries, and the decoding
// of a directory's entries in order.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fat/fat_volume.h"

namespace brevant::fat {

inline constexpr std::size_t kEntryBytes = 32;
inline constexpr std::uint8_t kAttrVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttrDirectory = 0x10;
inline constexpr std::uint8_t kDeletedMark = 0xE5;

bool IsLongNameAttribute(std::uint8_t attributes);

struct ShortEntry {
  std::array<std::uint8_t, 11> name{};  // 8 name bytes, 3 extension bytes, blank-padded
  std::uint8_t attributes = 0;
  std::uint8_t caseFlags = 0;  // 0x08: base name in lower case; 0x10: extension in lower case
  std::uint16_t clusterHigh = 0;
  std::uint16_t writeTime = 0;
  std::uint16_t writeDate = 0;
  std::uint16_t clusterLow = 0;
  std::uint32_t size = 0;

  std::uint32_t Cluster(FatKind kind) const {
    return kind == FatKind::Fat32 ? (static_cast<std::uint32_t>(clusterHigh) << 16) | clusterLow
                                  : clusterLow;
  }
  bool IsEnd() const { return name[0] == 0x00; }
  bool IsDeleted() const { return name[0] == kDeletedMark; }
  bool IsDotEntry() const { return name[0] == 0x2E; }
  bool IsDirectory() const { return (attributes & kAttrDirectory) != 0; }
  bool IsVolumeLabel() const {
    return (attributes & kAttrVolumeLabel) != 0 && (attributes & kAttrDirectory) == 0;
  }
};

struct LongNameEntry {
  std::uint8_t ordinal = 0;  // 0xE5 once deleted
  std::array<char16_t, 13> units{};
  std::uint8_t checksum = 0;
  std::uint8_t type = 0;
  std::uint16_t cluster = 0;
  bool IsDeleted() const { return ordinal == kDeletedMark; }
};

// Absent when `bytes` holds fewer than 32 bytes (or, for the long form, no long-name entry).
std::optional<ShortEntry> ParseShortEntry(std::span<const std::uint8_t> bytes);
std::optional<LongNameEntry> ParseLongNameEntry(std::span<const std::uint8_t> bytes);

// The checksum of an 8.3 name that its long-name entries carry.
std::uint8_t ShortNameChecksum(const std::array<std::uint8_t, 11>& name);

// The short name as the user sees it: OEM bytes through `codePage`, lower-case flags applied,
// trailing blanks dropped, a deleted entry's lost first letter shown as "_". Absent when the
// name holds a control character or one of the characters no FAT name may hold.
std::optional<std::u16string> DecodeShortName(const ShortEntry& entry, int codePage);

// A sector that starts a subdirectory: "." then "..". `strict` also asks for the directory
// attribute and blank padding on both, for places where nothing else vouches for the sector.
bool IsDirectoryStart(std::span<const std::uint8_t> sector, bool strict);
// The cluster the "." entry of a directory start names.
std::uint32_t DotCluster(std::span<const std::uint8_t> sector, FatKind kind);

// A sector that reads as directory entries from its first byte on (used where only the content
// says whether a cluster continues a directory).
bool LooksLikeDirectorySector(std::span<const std::uint8_t> sector);

// Long-name entries waiting for the short entry they belong to.
class LongNameCollector {
 public:
  void Add(const LongNameEntry& entry);
  void Clear() { pending_.clear(); }
  // The long name of `entry`: for a live entry only a complete run whose checksum matches;
  // for a deleted one (its first byte, and so the checksum, lost) the run before it as it is.
  std::optional<std::u16string> NameFor(const ShortEntry& entry) const;

 private:
  std::vector<LongNameEntry> pending_;
};

// One decoded directory entry (not ".", "..", a long-name entry or a volume label).
struct DirectoryRecord {
  std::u16string name;
  std::uint64_t sector = 0;  // absolute sector holding the short entry
  ShortEntry entry;
};

// Decodes a directory's sectors in order, carrying long names across sector and cluster
// boundaries. Stops for good at the end-of-directory mark.
class DirectoryDecoder {
 public:
  DirectoryDecoder(FatKind kind, int codePage, bool strict)
      : kind_(kind), codePage_(codePage), strict_(strict) {}
  // Returns false once the end of the directory has been reached.
  bool Feed(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber,
            const std::function<void(const DirectoryRecord&)>& emit);
  bool Ended() const { return ended_; }

 private:
  FatKind kind_;
  int codePage_;
  bool strict_;
  bool ended_ = false;
  LongNameCollector longNames_;
};

}  // namespace brevant::fat

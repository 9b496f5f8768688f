#pragma once
// The on-disk structures of an MFT file record, one type each. Every parser takes a byte span
// and returns nothing instead of reading past it; the attribute, run-list and attribute-list
// walks stop at the first bad length, so no caller repeats the bounds logic.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace brevant::ntfs {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

inline constexpr std::uint32_t kAttrStandardInformation = 0x10;
inline constexpr std::uint32_t kAttrAttributeList = 0x20;
inline constexpr std::uint32_t kAttrFileName = 0x30;
inline constexpr std::uint32_t kAttrData = 0x80;
inline constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;

inline constexpr std::uint16_t kRecordInUse = 0x0001;
inline constexpr std::uint16_t kRecordDirectory = 0x0002;

inline constexpr std::uint16_t kAttrFlagCompressed = 0x0001;
inline constexpr std::uint16_t kAttrFlagEncrypted = 0x4000;

// Little-endian reads that fail instead of running past the span.
std::optional<std::uint64_t> ReadLe(Bytes bytes, std::size_t offset, std::size_t width);
inline std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t Le64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(Le32(p)) | static_cast<std::uint64_t>(Le32(p + 4)) << 32;
}

// A file reference: 48-bit record number and 16-bit sequence number.
struct FileReference {
  std::uint64_t record = 0;
  std::uint16_t sequence = 0;
  static FileReference From(std::uint64_t raw) {
    return {raw & 0x0000FFFFFFFFFFFFULL, static_cast<std::uint16_t>(raw >> 48)};
  }
};

struct FixupResult {
  unsigned applied = 0;     // sector ends restored
  bool consistent = false;  // every 512-byte stride of the record was covered and matched
};

// Restores the last two bytes of every 512-byte stride covered by the update sequence array
// (N - 1 entries) and reports whether each stride ended with the update sequence number.
// A record that does not match is still restored as far as the array goes.
FixupResult ApplyFixups(MutableBytes record);

// FILE record header.
struct FileRecordHeader {
  std::uint16_t usaOffset = 0;
  std::uint16_t usaCount = 0;
  std::uint16_t sequence = 0;
  std::uint16_t firstAttribute = 0;
  std::uint16_t flags = 0;
  std::uint32_t bytesInUse = 0;
  std::uint32_t bytesAllocated = 0;
  FileReference baseRecord;  // record 0 for a base record
  bool InUse() const { return (flags & kRecordInUse) != 0; }
  bool IsDirectory() const { return (flags & kRecordDirectory) != 0; }
  bool IsExtension() const { return baseRecord.record != 0 || baseRecord.sequence != 0; }
  // Where the attributes may lie: up to the bytes in use, never past the record.
  std::size_t AttributesEnd(std::size_t recordSize) const;
  // Requires the "FILE" signature and a first attribute inside the record.
  static std::optional<FileRecordHeader> Parse(Bytes record);
};

// Attribute header, resident or not, with the attribute's own bytes.
struct AttributeHeader {
  std::uint32_t type = 0;
  std::uint32_t length = 0;
  bool nonResident = false;
  std::uint8_t nameLength = 0;
  std::uint16_t nameOffset = 0;
  std::uint16_t flags = 0;
  std::uint16_t attributeId = 0;
  // Resident.
  std::uint32_t valueLength = 0;
  std::uint16_t valueOffset = 0;
  // Non-resident.
  std::uint64_t lowestVcn = 0;
  std::uint64_t highestVcn = 0;
  std::uint16_t runListOffset = 0;
  std::uint16_t compressionUnit = 0;
  std::uint64_t allocatedSize = 0;
  std::uint64_t realSize = 0;
  std::uint64_t initializedSize = 0;

  std::size_t offset = 0;  // from the record start
  Bytes bytes;             // the whole attribute

  bool Unnamed() const { return nameLength == 0; }
  std::u16string Name() const;
  // Whether the attribute's name is `name` (empty: the unnamed attribute), without copying it.
  bool NameIs(std::u16string_view name) const;
  Bytes Value() const;    // resident value
  Bytes RunList() const;  // non-resident mapping pairs
  // Parses the attribute at `offset` of `area`; nothing for an end marker or a bad header.
  static std::optional<AttributeHeader> Parse(Bytes area, std::size_t offset);
};

// Walks the attributes of a record from its first attribute; stops at the end marker, at type 0
// and at the first header whose length or fields do not fit.
class AttributeWalk {
 public:
  AttributeWalk(Bytes record, const FileRecordHeader& header);
  std::optional<AttributeHeader> Next();
  bool Damaged() const { return damaged_; }  // stopped on a bad header rather than the end marker

 private:
  Bytes area_;
  std::size_t position_;
  bool done_ = false;
  bool damaged_ = false;
};

// $FILE_NAME value.
struct FileNameValue {
  FileReference parent;
  std::int64_t creationTime = 0;
  std::int64_t modificationTime = 0;
  std::uint8_t nameSpace = 0;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
  std::u16string name;
  static std::optional<FileNameValue> Parse(Bytes value);
  // The same into `out`, reusing its storage; false when the value does not hold a name.
  static bool ParseInto(Bytes value, FileNameValue& out);
};

// The preference of a name space: Win32, Win32-and-DOS, DOS, then POSIX. Lower is better;
// 255 for a value no file name carries.
int NameSpaceRank(std::uint8_t nameSpace);

// $STANDARD_INFORMATION value.
struct StandardInformation {
  std::int64_t creationTime = 0;
  std::int64_t modificationTime = 0;
  std::uint32_t fileAttributes = 0;
  static std::optional<StandardInformation> Parse(Bytes value);
};

// One data run: `length` clusters from virtual cluster `vcn`, at `lcn` unless sparse.
struct DataRun {
  std::uint64_t vcn = 0;
  std::uint64_t length = 0;
  bool sparse = false;
  std::uint64_t lcn = 0;
};

// Walks mapping pairs. Offsets are deltas from the previous run that had one; fields are up to
// eight bytes wide. Stops at the terminating zero header or at the first run that does not fit.
class RunListWalk {
 public:
  explicit RunListWalk(Bytes runs, std::uint64_t firstVcn = 0) : runs_(runs), vcn_(firstVcn) {}
  std::optional<DataRun> Next();
  bool Damaged() const { return damaged_; }

 private:
  Bytes runs_;
  std::size_t position_ = 0;
  std::uint64_t vcn_;
  std::int64_t lcn_ = 0;
  bool done_ = false;
  bool damaged_ = false;
};

// One $ATTRIBUTE_LIST entry.
struct AttributeListEntry {
  std::uint32_t type = 0;
  std::uint16_t length = 0;
  std::uint8_t nameLength = 0;
  std::uint64_t lowestVcn = 0;
  FileReference record;
  std::uint16_t attributeId = 0;
  std::u16string name;
  bool Unnamed() const { return nameLength == 0; }
};

// Walks $ATTRIBUTE_LIST entries; stops at the first entry that does not fit.
class AttributeListWalk {
 public:
  explicit AttributeListWalk(Bytes list) : list_(list) {}
  std::optional<AttributeListEntry> Next();
  bool Damaged() const { return damaged_; }

 private:
  Bytes list_;
  std::size_t position_ = 0;
  bool done_ = false;
  bool damaged_ = false;
};

}  // namespace brevant::ntfs

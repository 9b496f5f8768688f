#include "ntfs/mft_record.h"

#include <cstring>

namespace brevant::ntfs {
namespace {

constexpr std::size_t kStride = 512;
constexpr std::size_t kResidentHeader = 0x18;
constexpr std::size_t kNonResidentHeader = 0x40;
constexpr std::size_t kListEntryMin = 0x1A;

std::u16string DecodeUtf16(const std::uint8_t* p, std::size_t count) {
  std::u16string out(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char16_t>(Le16(p + 2 * i));
  return out;
}

}  // namespace

std::optional<std::uint64_t> ReadLe(Bytes bytes, std::size_t offset, std::size_t width) {
  if (width > 8 || offset > bytes.size() || width > bytes.size() - offset) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i)
    value |= static_cast<std::uint64_t>(bytes[offset + i]) << (8 * i);
  return value;
}

FixupResult ApplyFixups(MutableBytes record) {
  FixupResult result;
  const std::size_t size = record.size();
  if (size < 8) return result;
  const std::size_t usa = Le16(record.data() + 4);
  const std::size_t count = Le16(record.data() + 6);
  if (count == 0 || usa + 2 * count > size) return result;
  const std::size_t entries = count - 1;
  const std::size_t strides = size / kStride;
  result.consistent = entries == strides && strides > 0;
  const std::uint8_t usn0 = record[usa], usn1 = record[usa + 1];
  for (std::size_t i = 1; i <= entries; ++i) {
    const std::size_t end = i * kStride;
    if (end > size) {
      result.consistent = false;
      break;
    }
    if (record[end - 2] != usn0 || record[end - 1] != usn1) result.consistent = false;
    record[end - 2] = record[usa + 2 * i];
    record[end - 1] = record[usa + 2 * i + 1];
    ++result.applied;
  }
  return result;
}

std::size_t FileRecordHeader::AttributesEnd(std::size_t recordSize) const {
  if (bytesInUse > firstAttribute && bytesInUse <= recordSize) return bytesInUse;
  return recordSize;
}

std::optional<FileRecordHeader> FileRecordHeader::Parse(Bytes record) {
  if (record.size() < 0x30 || std::memcmp(record.data(), "FILE", 4) != 0) return std::nullopt;
  const std::uint8_t* p = record.data();
  FileRecordHeader h;
  h.usaOffset = Le16(p + 0x04);
  h.usaCount = Le16(p + 0x06);
  h.sequence = Le16(p + 0x10);
  h.firstAttribute = Le16(p + 0x14);
  h.flags = Le16(p + 0x16);
  h.bytesInUse = Le32(p + 0x18);
  h.bytesAllocated = Le32(p + 0x1C);
  h.baseRecord = FileReference::From(Le64(p + 0x20));
  // The first attribute follows the header; anything else is not a record we can walk.
  if (h.firstAttribute < 0x18 || static_cast<std::size_t>(h.firstAttribute) + 8 > record.size())
    return std::nullopt;
  return h;
}

std::u16string AttributeHeader::Name() const {
  if (nameLength == 0) return {};
  return DecodeUtf16(bytes.data() + nameOffset, nameLength);
}

bool AttributeHeader::NameIs(std::u16string_view name) const {
  if (nameLength != name.size()) return false;
  const std::uint8_t* p = bytes.data() + nameOffset;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (Le16(p + 2 * i) != name[i]) return false;
  return true;
}

Bytes AttributeHeader::Value() const {
  if (nonResident) return {};
  return bytes.subspan(valueOffset, valueLength);
}

Bytes AttributeHeader::RunList() const {
  if (!nonResident) return {};
  return bytes.subspan(runListOffset);
}

std::optional<AttributeHeader> AttributeHeader::Parse(Bytes area, std::size_t offset) {
  if (offset > area.size() || area.size() - offset < kResidentHeader) return std::nullopt;
  const std::uint8_t* p = area.data() + offset;
  AttributeHeader a;
  a.type = Le32(p);
  if (a.type == kAttrEnd || a.type == 0) return std::nullopt;
  a.length = Le32(p + 4);
  if (a.length < kResidentHeader || a.length > area.size() - offset) return std::nullopt;
  if (p[8] > 1) return std::nullopt;
  a.nonResident = p[8] == 1;
  a.nameLength = p[9];
  a.nameOffset = Le16(p + 0x0A);
  a.flags = Le16(p + 0x0C);
  a.attributeId = Le16(p + 0x0E);
  a.offset = offset;
  a.bytes = area.subspan(offset, a.length);
  if (a.nameLength != 0 &&
      static_cast<std::size_t>(a.nameOffset) + 2 * static_cast<std::size_t>(a.nameLength) >
          a.length)
    return std::nullopt;
  if (!a.nonResident) {
    a.valueLength = Le32(p + 0x10);
    a.valueOffset = Le16(p + 0x14);
    if (static_cast<std::uint64_t>(a.valueOffset) + a.valueLength > a.length) return std::nullopt;
    return a;
  }
  if (a.length < kNonResidentHeader) return std::nullopt;
  a.lowestVcn = Le64(p + 0x10);
  a.highestVcn = Le64(p + 0x18);
  a.runListOffset = Le16(p + 0x20);
  a.compressionUnit = Le16(p + 0x22);
  a.allocatedSize = Le64(p + 0x28);
  a.realSize = Le64(p + 0x30);
  a.initializedSize = Le64(p + 0x38);
  if (a.runListOffset < kNonResidentHeader || a.runListOffset > a.length) return std::nullopt;
  return a;
}

AttributeWalk::AttributeWalk(Bytes record, const FileRecordHeader& header)
    : area_(record.first(header.AttributesEnd(record.size()))), position_(header.firstAttribute) {}

std::optional<AttributeHeader> AttributeWalk::Next() {
  if (done_) return std::nullopt;
  if (position_ >= area_.size() || area_.size() - position_ < 4) {
    // Ran to the end of the bytes in use without an end marker.
    done_ = true;
    damaged_ = position_ != area_.size();
    return std::nullopt;
  }
  const std::uint32_t type = Le32(area_.data() + position_);
  if (type == kAttrEnd || type == 0) {
    done_ = true;
    return std::nullopt;
  }
  auto attribute = AttributeHeader::Parse(area_, position_);
  if (!attribute) {
    done_ = damaged_ = true;
    return std::nullopt;
  }
  position_ += attribute->length;
  return attribute;
}

bool FileNameValue::ParseInto(Bytes value, FileNameValue& f) {
  if (value.size() < 0x42) return false;
  const std::uint8_t* p = value.data();
  const std::size_t length = p[0x40];
  if (0x42 + 2 * length > value.size()) return false;
  f.parent = FileReference::From(Le64(p));
  f.creationTime = static_cast<std::int64_t>(Le64(p + 0x08));
  f.modificationTime = static_cast<std::int64_t>(Le64(p + 0x10));
  f.nameSpace = p[0x41];
  f.name.resize(length);
  for (std::size_t i = 0; i < length; ++i)
    f.name[i] = static_cast<char16_t>(Le16(p + 0x42 + 2 * i));
  return true;
}

std::optional<FileNameValue> FileNameValue::Parse(Bytes value) {
  FileNameValue f;
  if (!ParseInto(value, f)) return std::nullopt;
  return f;
}

int NameSpaceRank(std::uint8_t nameSpace) {
  switch (nameSpace) {
    case 1:
      return 0;
    case 3:
      return 1;
    case 2:
      return 2;
    case 0:
      return 3;
    default:
      return 255;
  }
}

std::optional<StandardInformation> StandardInformation::Parse(Bytes value) {
  if (value.size() < 0x24) return std::nullopt;
  StandardInformation s;
  s.creationTime = static_cast<std::int64_t>(Le64(value.data()));
  s.modificationTime = static_cast<std::int64_t>(Le64(value.data() + 0x08));
  s.fileAttributes = Le32(value.data() + 0x20);
  return s;
}

std::optional<DataRun> RunListWalk::Next() {
  if (done_) return std::nullopt;
  auto stop = [this](bool damaged) -> std::optional<DataRun> {
    done_ = true;
    damaged_ = damaged;
    return std::nullopt;
  };
  if (position_ >= runs_.size()) return stop(true);  // no terminating zero inside the attribute
  const std::uint8_t header = runs_[position_];
  if (header == 0) return stop(false);
  const std::size_t lengthBytes = header & 0x0F, offsetBytes = header >> 4;
  if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8) return stop(true);
  if (1 + lengthBytes + offsetBytes > runs_.size() - position_) return stop(true);
  const std::uint8_t* p = runs_.data() + position_ + 1;
  std::uint64_t length = 0;
  for (std::size_t i = 0; i < lengthBytes; ++i)
    length |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  // Lengths are positive and far below 2^62 clusters on any real volume.
  if (length == 0 || length >= (1ULL << 62) || vcn_ > (1ULL << 62) - length) return stop(true);
  DataRun run;
  run.vcn = vcn_;
  run.length = length;
  if (offsetBytes == 0) {
    run.sparse = true;
  } else {
    std::uint64_t raw = 0;
    for (std::size_t i = 0; i < offsetBytes; ++i)
      raw |= static_cast<std::uint64_t>(p[lengthBytes + i]) << (8 * i);
    std::int64_t delta;
    if (offsetBytes < 8 && (p[lengthBytes + offsetBytes - 1] & 0x80) != 0)
      delta = static_cast<std::int64_t>(raw | (~0ULL << (8 * offsetBytes)));
    else
      delta = static_cast<std::int64_t>(raw);
    const __int128 lcn = static_cast<__int128>(lcn_) + delta;
    if (lcn < 0 || lcn >= (static_cast<__int128>(1) << 62) ||
        lcn + static_cast<__int128>(length) >= (static_cast<__int128>(1) << 62))
      return stop(true);
    lcn_ = static_cast<std::int64_t>(lcn);
    run.lcn = static_cast<std::uint64_t>(lcn_);
  }
  vcn_ += length;
  position_ += 1 + lengthBytes + offsetBytes;
  return run;
}

std::optional<AttributeListEntry> AttributeListWalk::Next() {
  if (done_) return std::nullopt;
  const std::size_t left = list_.size() - position_;
  if (left < kListEntryMin) {
    done_ = true;
    for (std::size_t i = position_; i < list_.size(); ++i)
      if (list_[i] != 0) damaged_ = true;
    return std::nullopt;
  }
  const std::uint8_t* p = list_.data() + position_;
  AttributeListEntry e;
  e.type = Le32(p);
  e.length = Le16(p + 4);
  e.nameLength = p[6];
  const std::size_t nameOffset = p[7];
  if (e.type == 0 && e.length == 0) {
    done_ = true;  // zero padding after the last entry
    return std::nullopt;
  }
  if (e.length < kListEntryMin || e.length > left ||
      (e.nameLength != 0 && nameOffset + 2 * static_cast<std::size_t>(e.nameLength) > e.length)) {
    done_ = damaged_ = true;
    return std::nullopt;
  }
  e.lowestVcn = Le64(p + 8);
  e.record = FileReference::From(Le64(p + 0x10));
  e.attributeId = Le16(p + 0x18);
  if (e.nameLength != 0) e.name = DecodeUtf16(p + nameOffset, e.nameLength);
  position_ += e.length;
  return e;
}

}  // namespace brevant::ntfs

#pragma once
// Builders for crafted NTFS structures: MFT records attribute by attribute, run lists, and
// small volumes in memory. Offsets follow the on-disk layout.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/extract_plan.h"
#include "core/recovery_session.h"
#include "test_support.h"

namespace brevant::test::ntfs {

inline std::string Utf16(std::u16string_view s) {
  std::string out;
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// One run: a length in clusters and a delta from the previous run's start (none = sparse).
struct RunSpec {
  std::uint64_t length;
  std::optional<std::int64_t> delta;
};

inline int BytesFor(std::uint64_t v) {
  int n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) ++n;
  return n;
}
inline int SignedBytesFor(std::int64_t v) {
  int n = 1;
  while (n < 8) {
    const std::int64_t lo = -(std::int64_t{1} << (8 * n - 1)),
                       hi = (std::int64_t{1} << (8 * n - 1)) - 1;
    if (v >= lo && v <= hi) break;
    ++n;
  }
  return n;
}

// Mapping pairs with the smallest field widths, terminated by a zero header.
inline std::string EncodeRuns(const std::vector<RunSpec>& runs) {
  std::string out;
  for (const RunSpec& r : runs) {
    const int l = BytesFor(r.length);
    const int o = r.delta ? SignedBytesFor(*r.delta) : 0;
    out.push_back(static_cast<char>(l | o << 4));
    for (int i = 0; i < l; ++i) out.push_back(static_cast<char>((r.length >> (8 * i)) & 0xFF));
    for (int i = 0; i < o; ++i)
      out.push_back(static_cast<char>((static_cast<std::uint64_t>(*r.delta) >> (8 * i)) & 0xFF));
  }
  out.push_back('\0');
  return out;
}

struct ListEntry {
  std::uint32_t type;
  std::uint64_t lowestVcn;
  std::uint64_t record;
  std::uint16_t sequence;
  std::uint16_t attributeId;
  std::u16string name = {};
};

class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint32_t size = 1024, std::uint16_t sequence = 1,
                         std::uint16_t flags = 1, std::uint64_t baseRef = 0)
      : bytes_(size, '\0'), usaCount_(static_cast<std::uint16_t>(size / 512 + 1)) {
    bytes_.replace(0, 4, "FILE");
    Put16(bytes_, 0x04, 0x30);
    Put16(bytes_, 0x06, usaCount_);
    Put16(bytes_, 0x10, sequence);
    Put16(bytes_, 0x12, 1);
    pos_ = (0x30 + 2 * usaCount_ + 7) / 8 * 8;
    Put16(bytes_, 0x14, static_cast<std::uint16_t>(pos_));
    Put16(bytes_, 0x16, flags);
    Put32(bytes_, 0x1C, size);
    Put64(bytes_, 0x20, baseRef);
  }

  RecordBuilder& Raw(const std::string& attribute) {
    bytes_.replace(pos_, attribute.size(), attribute);
    pos_ += attribute.size();
    return *this;
  }

  static std::string Resident(std::uint32_t type, const std::string& value,
                              std::u16string_view name = u"", std::uint16_t id = 0,
                              std::uint16_t valueOffset = 0) {
    const std::size_t nameOffset = 0x18;
    if (valueOffset == 0)
      valueOffset = static_cast<std::uint16_t>((nameOffset + 2 * name.size() + 7) / 8 * 8);
    std::string a(((valueOffset + value.size()) + 7) / 8 * 8, '\0');
    Put32(a, 0, type);
    Put32(a, 4, static_cast<std::uint32_t>(a.size()));
    a[8] = 0;
    a[9] = static_cast<char>(name.size());
    Put16(a, 0x0A, static_cast<std::uint16_t>(nameOffset));
    Put16(a, 0x0E, id);
    Put32(a, 0x10, static_cast<std::uint32_t>(value.size()));
    Put16(a, 0x14, valueOffset);
    a.replace(nameOffset, 2 * name.size(), Utf16(name));
    a.replace(valueOffset, value.size(), value);
    return a;
  }

  static std::string NonResident(std::uint32_t type, const std::string& runs,
                                 std::uint64_t realSize, std::uint64_t lowestVcn,
                                 std::uint64_t highestVcn, std::u16string_view name = u"",
                                 std::uint16_t flags = 0, std::uint16_t compressionUnit = 0,
                                 std::uint16_t id = 0,
                                 std::optional<std::uint64_t> initialized = std::nullopt) {
    const std::size_t header = compressionUnit ? 0x48 : 0x40;
    const std::size_t runOffset = (header + 2 * name.size() + 7) / 8 * 8;
    std::string a((runOffset + runs.size() + 7) / 8 * 8, '\0');
    Put32(a, 0, type);
    Put32(a, 4, static_cast<std::uint32_t>(a.size()));
    a[8] = 1;
    a[9] = static_cast<char>(name.size());
    Put16(a, 0x0A, static_cast<std::uint16_t>(header));
    Put16(a, 0x0C, flags);
    Put16(a, 0x0E, id);
    Put64(a, 0x10, lowestVcn);
    Put64(a, 0x18, highestVcn);
    Put16(a, 0x20, static_cast<std::uint16_t>(runOffset));
    Put16(a, 0x22, compressionUnit);
    Put64(a, 0x28, (highestVcn + 1) * 4096);
    Put64(a, 0x30, realSize);
    Put64(a, 0x38, initialized.value_or(realSize));
    a.replace(header, 2 * name.size(), Utf16(name));
    a.replace(runOffset, runs.size(), runs);
    return a;
  }

  static std::string FileNameValue(std::u16string_view name, std::uint64_t parent,
                                   std::uint16_t parentSeq, std::uint8_t nameSpace,
                                   std::int64_t created) {
    std::string v(0x42 + 2 * name.size(), '\0');
    Put64(v, 0, parent | static_cast<std::uint64_t>(parentSeq) << 48);
    Put64(v, 0x08, static_cast<std::uint64_t>(created));
    Put64(v, 0x10, static_cast<std::uint64_t>(created));
    v[0x40] = static_cast<char>(name.size());
    v[0x41] = static_cast<char>(nameSpace);
    v.replace(0x42, 2 * name.size(), Utf16(name));
    return v;
  }

  RecordBuilder& FileName(std::u16string_view name, std::uint64_t parent, std::uint16_t parentSeq,
                          std::uint8_t nameSpace = 1, std::int64_t created = 132000000000000000LL,
                          std::uint16_t id = 3) {
    return Raw(Resident(0x30, FileNameValue(name, parent, parentSeq, nameSpace, created), u"", id));
  }
  RecordBuilder& StandardInformation(std::int64_t created, std::int64_t modified) {
    std::string v(0x48, '\0');
    Put64(v, 0, static_cast<std::uint64_t>(created));
    Put64(v, 8, static_cast<std::uint64_t>(modified));
    return Raw(Resident(0x10, v));
  }
  RecordBuilder& ResidentData(const std::string& value, std::u16string_view name = u"",
                              std::uint16_t valueOffset = 0) {
    return Raw(Resident(0x80, value, name, 4, valueOffset));
  }
  RecordBuilder& Data(const std::vector<RunSpec>& runs, std::uint64_t realSize,
                      std::u16string_view name = u"", std::uint64_t lowestVcn = 0) {
    std::uint64_t clusters = 0;
    for (const RunSpec& r : runs) clusters += r.length;
    return Raw(NonResident(0x80, EncodeRuns(runs), realSize, lowestVcn,
                           lowestVcn + (clusters ? clusters - 1 : 0), name, 0, 0, 4));
  }
  RecordBuilder& AttributeList(const std::vector<ListEntry>& entries) {
    return Raw(Resident(0x20, ListValue(entries)));
  }
  static std::string ListValue(const std::vector<ListEntry>& entries) {
    std::string v;
    for (const ListEntry& e : entries) {
      std::string entry(std::max<std::size_t>(0x20, (0x1A + 2 * e.name.size() + 7) / 8 * 8), '\0');
      Put32(entry, 0, e.type);
      Put16(entry, 4, static_cast<std::uint16_t>(entry.size()));
      entry[6] = static_cast<char>(e.name.size());
      entry[7] = 0x1A;
      entry.replace(0x1A, 2 * e.name.size(), Utf16(e.name));
      Put64(entry, 8, e.lowestVcn);
      Put64(entry, 0x10, e.record | static_cast<std::uint64_t>(e.sequence) << 48);
      Put16(entry, 0x18, e.attributeId);
      v += entry;
    }
    return v;
  }

  // Writes the end marker and the bytes in use, then protects every 512-byte stride with the
  // update sequence number, as a driver does before writing.
  std::string Finish(std::uint16_t usn = 0x0007) {
    Put32(bytes_, pos_, 0xFFFFFFFF);
    Put32(bytes_, 0x18, static_cast<std::uint32_t>(pos_ + 8));
    Put16(bytes_, 0x30, usn);
    for (std::size_t i = 1; i < usaCount_; ++i) {
      const std::size_t end = i * 512;
      bytes_[0x30 + 2 * i] = bytes_[end - 2];
      bytes_[0x30 + 2 * i + 1] = bytes_[end - 1];
      Put16(bytes_, end - 2, usn);
    }
    return bytes_;
  }

  std::size_t Position() const { return pos_; }

 private:
  std::string bytes_;
  std::uint16_t usaCount_;
  std::size_t pos_;
};

// Keeps everything an extraction writes.
class StringSink : public ByteSink {
 public:
  bool Write(const void* data, std::size_t length) override {
    bytes.append(static_cast<const char*>(data), length);
    return true;
  }
  std::string bytes;
};

// A disk in memory holding one NTFS-like partition: records and clusters are placed by hand.
class VolumeImage {
 public:
  VolumeImage(std::uint64_t partitionStart, std::uint64_t partitionSectors,
              std::uint64_t sectorsPerCluster)
      : start_(partitionStart),
        sectors_(partitionSectors),
        spc_(sectorsPerCluster),
        disk_((partitionStart + partitionSectors) * 512, '\0') {}

  std::uint64_t ClusterSector(std::uint64_t lcn) const { return start_ + lcn * spc_; }
  void PutAtSector(std::uint64_t sector, const std::string& bytes) {
    disk_.replace(sector * 512, bytes.size(), bytes);
  }
  void PutCluster(std::uint64_t lcn, const std::string& bytes) {
    PutAtSector(ClusterSector(lcn), bytes);
  }
  std::string& Disk() { return disk_; }
  const std::string& Disk() const { return disk_; }

  // Points `session` at the disk, installed in memory, as the selected NTFS partition.
  std::string Install(RecoverySession& session, std::uint64_t mftStart,
                      std::uint64_t mftMirrStart = 0, std::uint64_t sectorsPerRecord = 2) const {
    std::string path = InstallMemoryDisk(disk_);
    Configure(session, path, mftStart, mftMirrStart, sectorsPerRecord);
    return path;
  }
  void Configure(RecoverySession& session, const std::string& path, std::uint64_t mftStart,
                 std::uint64_t mftMirrStart = 0, std::uint64_t sectorsPerRecord = 2) const {
    session.EnsureDisk(0);
    session.devicePath[0] = path;
    session.selectedDisk = 0;
    session.selectedPartitionStart = start_;
    session.selectedPartitionEnd = start_ + sectors_;
    session.selectedFsName = "NTFS";
    session.scanFsName = "NTFS";
    session.scanParams.fsName = "NTFS";
    session.scanParams.clusterBase = start_;
    session.scanParams.sectorsPerCluster = spc_;
    session.scanParams.mftStart = mftStart;
    session.scanParams.mftMirrStart = mftMirrStart;
    session.scanParams.sectorsPerFileRecord = sectorsPerRecord;
  }

 private:
  std::uint64_t start_, sectors_, spc_;
  std::string disk_;
};

}  // namespace brevant::test::ntfs

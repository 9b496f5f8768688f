#pragma once
// Where things lie on an NTFS volume: the MFT's own extents, records by number, clusters by
// run, and the attribute values that live outside a record.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/recovery_session.h"
#include "ntfs/mft_record.h"

namespace brevant::ntfs {

inline constexpr std::uint32_t kSectorBytes = 512;

// The volume being read, taken from the session's scan parameters and selection.
struct Volume {
  std::string device;
  std::uint64_t firstSector = 0;         // sector of the boot sector; cluster 0 starts here
  std::uint64_t endSector = UINT64_MAX;  // one past the partition's last sector
  std::uint64_t sectorsPerCluster = 0;
  std::uint32_t recordBytes = 1024;

  // The absolute first sector of `clusters` clusters at `lcn`, when they lie inside the partition.
  std::optional<std::uint64_t> ClusterSector(std::uint64_t lcn, std::uint64_t clusters) const;
  std::uint32_t RecordSectors() const { return recordBytes / kSectorBytes; }
};

// Bytes per MFT record: the boot sector's value when it is 2, 4 or 8 sectors (1, 2 or 4 KiB),
// else 1024.
std::uint32_t RecordBytes(const ScanParameters& params);
Volume VolumeOf(const RecoverySession& session);

// The absolute sector of MFT record `record`, looking at the first `extentCount` extents;
// nothing when no extent holds it or it lies in a sparse extent.
std::optional<std::uint64_t> MapRecordToSector(const MftExtentTable& table, std::uint64_t record,
                                               std::size_t extentCount,
                                               std::uint32_t recordBytes = 1024);
// The absolute sector of the MFT's sector `virtualSector` (counted across the extents).
std::optional<std::uint64_t> MapMftSector(const MftExtentTable& table, std::uint64_t virtualSector,
                                          std::size_t extentCount);

// The number of the record whose first sector is `sector`, when an extent holds it.
std::optional<std::uint64_t> RecordNumberAtSector(const MftExtentTable& table, std::uint64_t sector,
                                                  std::uint32_t recordBytes);

// Reads record `record` through the extent table (a record may straddle two extents) and
// applies its fix-ups. False when a sector is sparse, unmapped or unreadable.
bool ReadMftRecord(const Volume& volume, const MftExtentTable& table, std::uint64_t record,
                   std::vector<std::uint8_t>& out, FixupResult* fixups = nullptr);
// A stretch of the MFT read in one request and kept for the records that follow: files are
// recovered in MFT order, so one read serves a few hundred of them.
class RecordWindow {
 public:
  // Copies `sectors` sectors at `sector` out of the window, reading a new window there when
  // they lie outside it. False when the window cannot be read (the caller reads the record).
  bool Read(const Volume& volume, std::uint64_t sector, std::uint32_t sectors, std::uint8_t* out);

 private:
  static constexpr std::uint32_t kSectors = 512;
  std::string device_;
  std::uint64_t first_ = 0;
  std::uint32_t count_ = 0;
  std::uint64_t failedFirst_ = 0, failedEnd_ = 0;
  std::vector<std::uint8_t> bytes_;
};

// Reads the record whose first sector is `sector`, following the extent table when the record
// crosses the end of an extent, and applies its fix-ups. False when unreadable.
bool ReadRecordAtSector(const Volume& volume, const MftExtentTable& table, std::uint64_t sector,
                        std::vector<std::uint8_t>& out, FixupResult* fixups = nullptr,
                        RecordWindow* window = nullptr);

// The value of an attribute, resident or not, up to `limit` bytes. Nothing when a run lies
// outside the partition, the run list is damaged before the value ends, or a read fails.
std::optional<std::vector<std::uint8_t>> ReadAttributeValue(const Volume& volume,
                                                            const AttributeHeader& attribute,
                                                            std::uint64_t limit);

// The entries of the record's $ATTRIBUTE_LIST (resident or not), reading at most `limit`
// bytes of it, or nothing when it has none or the list cannot be read.
inline constexpr std::uint64_t kAttributeListLimit = 8ULL << 20;
std::optional<std::vector<AttributeListEntry>> ReadAttributeList(
    const Volume& volume, Bytes record, const FileRecordHeader& header,
    std::uint64_t limit = kAttributeListLimit);

// The $MFT record's attribute-list entries for unnamed $DATA pieces, in list order.
std::vector<AttributeListEntry> CollectMftExtensionRecords(const Volume& volume, Bytes record0,
                                                           const FileRecordHeader& header);

// The MFT's extents from the run list of record 0 read at `mftStart`, or from the mirror's copy
// at `mftMirrStart` when that one is unusable (no "FILE", no $DATA), with the $DATA pieces of
// its extension records. Empty when neither copy serves.
MftExtentTable LocateMft(const Volume& volume, std::uint64_t mftStart, std::uint64_t mftMirrStart);

// Appends `runs` (starting at virtual cluster `expectedVcn`) to `table` as sector extents; a
// gap before a run and a run outside the partition become sparse extents, so record numbers
// keep their places. Returns the next expected virtual cluster.
std::uint64_t AppendRunsAsExtents(const Volume& volume, const std::vector<DataRun>& runs,
                                  std::uint64_t expectedVcn, MftExtentTable& table);

}  // namespace brevant::ntfs

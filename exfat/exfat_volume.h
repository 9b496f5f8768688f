#pragma once
// The layout of one exFAT volume in 512-byte sectors, its FAT, entry sets and the catalogue
// texts the engine writes.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/allocation.h"
#include "core/recovery_session.h"

namespace brevant::exfat {

inline constexpr std::uint32_t kSectorBytes = 512;
// Parent id of entries whose folder cannot be named; the result tree shows them under "Lost".
inline constexpr std::uint32_t kLostFolderId = 0x0FFFFFFF;
// The format's bound on a directory's size.
inline constexpr std::uint64_t kMaxDirectoryBytes = 256ULL << 20;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;

struct ExfatVolume {
  std::string device;
  std::uint64_t partStart = 0;
  std::uint64_t partEnd = 0;  // one past the last sector
  std::uint64_t sectorsPerCluster = 0;
  std::uint64_t clusterBase = 0;  // wraps below 0: only used as clusterBase + n * spc, n >= 2
  std::uint32_t clusterCount = 0;
  std::uint64_t fatStart = 0;     // the active FAT
  std::uint64_t fatSectors = 0;
  std::uint32_t rootCluster = 0;

  std::uint64_t ClusterSector(std::uint64_t cluster) const {
    return clusterBase + cluster * sectorsPerCluster;
  }
  bool IsDataCluster(std::uint64_t cluster) const {
    return cluster >= 2 && cluster - 2 < clusterCount;
  }
  std::uint64_t ClusterBytes() const { return sectorsPerCluster * kSectorBytes; }
  std::uint64_t LastCluster() const { return std::uint64_t{clusterCount} + 1; }
  std::uint64_t ClustersFor(std::uint64_t bytes) const {
    return bytes / ClusterBytes() + (bytes % ClusterBytes() != 0);
  }
};

// The volume `params` describes inside [partStart, partEnd); absent when they cannot describe
// one there.
std::optional<ExfatVolume> VolumeFromParameters(const PartitionParameters& params,
                                                std::string device, std::uint64_t partStart,
                                                std::uint64_t partEnd);

// Reads `count` sectors; unreadable ones come back as zeros. True when all could be read.
bool ReadZeroFilled(const std::string& device, std::uint8_t* buffer, std::uint64_t start,
                    std::uint64_t count);

// The active FAT, read in chunks and cached.
class FatTable {
 public:
  explicit FatTable(const ExfatVolume& volume) : volume_(volume) {}
  // The entry of `cluster`; absent outside the FAT or where its sector cannot be read.
  std::optional<std::uint32_t> Entry(std::uint32_t cluster);

 private:
  static constexpr std::uint32_t kChunkSectors = 256;
  static constexpr std::size_t kMaxChunks = 256;
  const ExfatVolume& volume_;
  std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> chunks_;
};

// Where a file's or a directory's bytes lie, in clusters.
struct DataLayout {
  std::vector<ClusterRun> runs;  // in file order, vcn from 0
  // A deleted file whose FAT chain is gone or disagrees with its size: read from the clusters
  // after its first, which is wrong if it was fragmented.
  bool guessed = false;
  // A live file whose chain breaks off: why, and the bytes before the break.
  std::string broken;
  std::uint64_t soundBytes = 0;
};

// The allocation bitmap: bit k of byte j is cluster 2 + 8j + k.
using Bitmap = std::vector<std::uint8_t>;
bool MarkedInUse(const Bitmap& bitmap, std::uint64_t cluster);

// The layout of `bytes` from `first`. `noFatChain`: one contiguous run. Otherwise the chain;
// for a deleted entry only a chain that is still whole and exactly as long as the size asks.
// Else (guessed) the clusters from its first on: those the bitmap leaves free when its first
// is free too (a cluster in use belongs to some other file), every one otherwise. Absent (with
// the reason) when it does not fit in the volume.
std::optional<DataLayout> LayoutOf(const ExfatVolume& volume, FatTable& fat, std::uint32_t first,
                                   std::uint64_t bytes, bool noFatChain, bool deleted,
                                   std::string* error, const Bitmap* bitmap = nullptr);

// The volume's allocation bitmap, read once per volume and kept for the process (sources are
// only ever read): null when it cannot be read.
std::shared_ptr<const Bitmap> VolumeBitmap(const ExfatVolume& volume);

// ---- directory entries ------------------------------------------------------------------

inline constexpr std::size_t kEntryBytes = 32;
inline constexpr std::uint8_t kFileEntry = 0x85;
inline constexpr std::uint8_t kStreamEntry = 0xC0;
inline constexpr std::uint8_t kNameEntry = 0xC1;
inline constexpr std::uint8_t kInUse = 0x80;
inline constexpr std::uint16_t kDirectoryAttribute = 0x10;
inline constexpr std::size_t kNameUnitsPerEntry = 15;

// One file's entry set: the File entry, its Stream Extension and File Name entries.
struct EntrySet {
  bool deleted = false;  // the InUse bits are clear
  std::size_t entries = 0;  // the primary and its secondaries
  std::uint16_t attributes = 0;
  std::uint32_t modified = 0;  // DOS date in the upper half, time in the lower
  std::uint8_t modified10ms = 0;
  std::uint8_t modifiedUtcOffset = 0;  // bit 7: valid; bits 0-6: signed quarters of an hour
  std::uint8_t streamFlags = 0;
  std::uint16_t nameHash = 0;
  std::uint64_t validDataLength = 0;
  std::uint64_t dataLength = 0;
  std::uint32_t firstCluster = 0;
  std::u16string name;

  bool IsDirectory() const { return (attributes & kDirectoryAttribute) != 0; }
  bool NoFatChain() const { return (streamFlags & 2) != 0; }
};

// The set checksum over `entries` 32-byte entries (bytes 2 and 3 of the first left out). A
// deleted set is summed with its InUse bits set again, as it was when it was written.
std::uint16_t EntrySetChecksum(std::span<const std::uint8_t> bytes, std::size_t entries,
                               bool asInUse);

enum class SetParse { NotASet, Bad, Ok };
// The entry set that starts at the first byte of `bytes` (a File entry, in use or deleted).
// Bad when its count, its secondaries or its checksum do not hold, or it runs past `bytes`.
SetParse ParseEntrySet(std::span<const std::uint8_t> bytes, EntrySet& out);

// The NameHash of `name` up-cased by `upcase` (65536 units), as a Stream Extension keeps it.
std::uint16_t NameHash(std::u16string_view name, const std::vector<char16_t>& upcase);
// The up-case table from its stored (compressed) form: 0xFFFF followed by a count keeps that
// many characters as they are. Absent when it is not a table (too short, too long).
std::optional<std::vector<char16_t>> ExpandUpcaseTable(std::span<const std::uint8_t> bytes);
// The checksum of a stored up-case table, as its directory entry keeps it.
std::uint32_t UpcaseTableChecksum(std::span<const std::uint8_t> bytes);

// ---- catalogue texts ----------------------------------------------------------------------

// The `time` text keeps the DOS time word and, above it, the 10 ms increment (0-199); the
// `date` text the DOS date word, so the FAT listings read both.
std::u16string TimeText(const EntrySet& set);
std::u16string DateText(const EntrySet& set);
// `spareText` of a file: its valid data length, then " nofatchain" for a contiguous file and
// " chain gone" for a deleted one read from consecutive clusters.
std::u16string SpareText(const EntrySet& set, bool chainGone);
struct SpareFacts {
  std::uint64_t validDataLength = 0;
  bool noFatChain = false;
  bool chainGone = false;
};
SpareFacts ParseSpareText(std::u16string_view text);
inline constexpr std::u16string_view kChainGoneWord = u" chain gone";

}  // namespace brevant::exfat

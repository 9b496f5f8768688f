#pragma once
// The geometry of one FAT12/FAT16/FAT32 volume in 512-byte sectors, and access to its FAT copies.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/recovery_session.h"

namespace brevant::fat {

enum class FatKind { Fat12, Fat16, Fat32 };

inline constexpr std::uint32_t kSectorBytes = 512;
// Parent id of entries whose folder cannot be named; the result tree shows them under "Lost".
inline constexpr std::uint32_t kLostFolderId = 0x0FFFFFFF;

std::optional<FatKind> KindFromName(std::string_view fsName);

struct FatVolume {
  FatKind kind = FatKind::Fat32;
  std::string device;
  std::uint64_t partStart = 0;
  std::uint64_t partEnd = 0;  // one past the last sector
  std::uint64_t sectorsPerCluster = 0;
  std::uint64_t clusterBase = 0;  // may wrap below 0: only ever used as clusterBase + n * spc
  std::uint64_t dataStart = 0;    // first sector of cluster 2
  std::uint64_t fatSize = 0;
  std::uint64_t fat1Start = 0;
  std::uint64_t fat2Start = 0;
  std::uint64_t rootDirStart = 0;    // FAT12/FAT16: sector; FAT32: cluster
  std::uint64_t rootDirSectors = 0;  // FAT12/FAT16 only
  std::uint32_t lastCluster = 1;     // highest cluster number that exists; 1 when none does

  std::uint64_t ClusterSector(std::uint64_t cluster) const {
    return clusterBase + cluster * sectorsPerCluster;
  }
  bool IsDataCluster(std::uint64_t cluster) const { return cluster >= 2 && cluster <= lastCluster; }
  // Whether the root directory is a fixed run of sectors after the FATs (FAT12, FAT16).
  bool FixedRoot() const { return kind != FatKind::Fat32; }
  // Where the entry of `cluster` begins in the FAT, in bytes: FAT12 packs two entries into
  // three bytes.
  std::uint64_t EntryOffset(std::uint64_t cluster) const {
    return kind == FatKind::Fat12 ? cluster + cluster / 2 : cluster * (kind == FatKind::Fat32 ? 4 : 2);
  }
  // Bytes read for one entry (a FAT12 entry spans two bytes, sharing one with its neighbour).
  std::uint32_t EntrySpan() const { return kind == FatKind::Fat32 ? 4 : 2; }
  // How many whole entries `bytes` of FAT hold.
  std::uint64_t EntriesIn(std::uint64_t bytes) const {
    return kind == FatKind::Fat12 ? bytes * 2 / 3 : bytes / EntrySpan();
  }
  // The value of `cluster`'s entry from the EntrySpan() bytes at EntryOffset(cluster).
  std::uint32_t DecodeEntry(const std::uint8_t* p, std::uint64_t cluster) const {
    const std::uint32_t low = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8);
    if (kind == FatKind::Fat12) return cluster % 2 == 0 ? low & 0x0FFF : low >> 4;
    if (kind == FatKind::Fat16) return low;
    return (low | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24)) &
           0x0FFFFFFF;
  }
  // FAT entry values from this one up end a chain; the one just below marks a bad cluster.
  std::uint32_t EndMark() const {
    return kind == FatKind::Fat32 ? 0x0FFFFFF8 : kind == FatKind::Fat16 ? 0xFFF8 : 0xFF8;
  }
  std::uint64_t ClusterBytes() const { return sectorsPerCluster * kSectorBytes; }
};

// The volume described by `params` inside [partStart, partEnd). Absent when the values cannot
// describe a volume there (no cluster size, data area outside the partition, unknown kind).
std::optional<FatVolume> VolumeFromParameters(const PartitionParameters& params,
                                              std::string_view fsName, std::string device,
                                              std::uint64_t partStart, std::uint64_t partEnd);

// Reads `count` sectors; sectors that cannot be read come back as zeros. True when all could.
bool ReadZeroFilled(const std::string& device, std::uint8_t* buffer, std::uint64_t start,
                    std::uint32_t count);

enum class FatLink { Next, End, Broken };

// One FAT copy, read in chunks and cached.
class FatTable {
 public:
  FatTable(const FatVolume& volume, std::uint64_t fatStart);
  // The entry of `cluster` (FAT32: upper four bits masked off); absent when it lies outside
  // the FAT or its sector cannot be read.
  std::optional<std::uint32_t> Entry(std::uint32_t cluster);
  // What follows `cluster`: the next cluster, the end of the chain, or a broken link (free,
  // bad, reserved, or no cluster of this volume).
  FatLink Follow(std::uint32_t cluster, std::uint32_t* next);
  bool Usable() const { return fatStart_ != 0; }
  std::uint32_t LastCluster() const { return volume_.lastCluster; }

 private:
  static constexpr std::uint32_t kChunkSectors = 64;
  static constexpr std::size_t kMaxChunks = 1024;
  struct Chunk {
    std::vector<std::uint8_t> bytes;
    std::vector<bool> readable;
  };
  const FatVolume& volume_;
  std::uint64_t fatStart_;
  std::unordered_map<std::uint64_t, Chunk> chunks_;
};

// Why a chain built by BuildClusterChain ended.
struct ChainEnd {
  enum class Kind { EndMark, Limit, Loop, Broken } kind = Kind::Broken;
  // Loop: the cluster the last one links back to. Broken: the last cluster's FAT entry (free,
  // bad, reserved, or no cluster of this volume), when it could be read.
  std::uint32_t value = 0;
  bool readable = true;  // Broken: whether the last cluster's FAT entry could be read
};

// The chain from `start`: at most `limit` + 1 clusters, never looping. `clean` tells whether
// it ended with an end-of-chain mark (rather than a broken link, a loop or the limit); `end`
// says how it ended.
std::vector<std::uint32_t> BuildClusterChain(FatTable& fat, std::uint32_t start, std::size_t limit,
                                             bool* clean = nullptr, ChainEnd* end = nullptr);

}  // namespace brevant::fat

#include "fat/fat_volume.h"

#include <algorithm>
#include <cstring>

#include "core/read_sectors.h"

namespace brevant::fat {

std::optional<FatKind> KindFromName(std::string_view fsName) {
  if (fsName == "FAT12") return FatKind::Fat12;
  if (fsName == "FAT16") return FatKind::Fat16;
  if (fsName == "FAT32") return FatKind::Fat32;
  return std::nullopt;
}

std::optional<FatVolume> VolumeFromParameters(const PartitionParameters& params,
                                              std::string_view fsName, std::string device,
                                              std::uint64_t partStart, std::uint64_t partEnd) {
  auto kind = KindFromName(fsName);
  if (!kind || partEnd <= partStart) return std::nullopt;
  // Clusters of 64 KiB of 4 KiB sectors are the largest any FAT implementation writes.
  if (params.sectorsPerCluster == 0 || params.sectorsPerCluster > 1024) return std::nullopt;
  FatVolume v;
  v.kind = *kind;
  v.device = std::move(device);
  v.partStart = partStart;
  v.partEnd = partEnd;
  v.sectorsPerCluster = params.sectorsPerCluster;
  v.clusterBase = params.clusterBase;
  v.dataStart = params.clusterBase + 2 * params.sectorsPerCluster;
  if (v.dataStart < partStart) return std::nullopt;
  v.fatSize = params.fatSizeSectors;
  auto inside = [&](std::uint64_t s) { return s >= partStart && s < partEnd ? s : 0; };
  v.fat1Start = inside(params.fat1Start);
  v.fat2Start = inside(params.fat2Start);
  v.rootDirStart = params.rootDirStart;
  v.rootDirSectors = params.rootDirSectors;
  std::uint64_t last = std::uint64_t{v.EndMark()} - 2;  // the one below the bad mark
  if (v.dataStart >= partEnd) {
    last = 1;
  } else {
    last = std::min<std::uint64_t>(last, (partEnd - v.dataStart) / v.sectorsPerCluster + 1);
  }
  if (v.fatSize > 0) {
    std::uint64_t entries = v.EntriesIn(v.fatSize * kSectorBytes);
    last = std::min<std::uint64_t>(last, entries > 0 ? entries - 1 : 0);
  }
  v.lastCluster = static_cast<std::uint32_t>(std::max<std::uint64_t>(last, 1));
  return v;
}

bool ReadZeroFilled(const std::string& device, std::uint8_t* buffer, std::uint64_t start,
                    std::uint32_t count) {
  if (ReadSectors(device, buffer, start, count) == 1) return true;
  // The reader leaves unreadable sectors untouched: clear them so stale bytes are never judged.
  std::memset(buffer, 0, static_cast<std::size_t>(count) * kSectorBytes);
  ReadSectors(device, buffer, start, count);
  return false;
}

FatTable::FatTable(const FatVolume& volume, std::uint64_t fatStart)
    : volume_(volume), fatStart_(fatStart) {}

std::optional<std::uint32_t> FatTable::Entry(std::uint32_t cluster) {
  if (fatStart_ == 0) return std::nullopt;
  const std::uint64_t offset = volume_.EntryOffset(cluster);
  const std::uint64_t span = volume_.EntrySpan();
  // The whole entry must lie in the FAT (a FAT12 entry's second byte too).
  if (volume_.fatSize > 0 && offset + span > volume_.fatSize * kSectorBytes) return std::nullopt;
  const std::uint64_t sectorInFat = offset / kSectorBytes;
  const std::uint64_t chunkIndex = sectorInFat / kChunkSectors;
  auto it = chunks_.find(chunkIndex);
  if (it == chunks_.end()) {
    if (chunks_.size() >= kMaxChunks) chunks_.clear();
    std::uint64_t first = fatStart_ + chunkIndex * kChunkSectors;
    std::uint64_t end = std::min(first + kChunkSectors, volume_.partEnd);
    if (volume_.fatSize > 0) end = std::min(end, fatStart_ + volume_.fatSize);
    if (first >= end) return std::nullopt;
    Chunk chunk;
    const auto count = static_cast<std::uint32_t>(end - first);
    chunk.bytes.assign(static_cast<std::size_t>(count) * kSectorBytes, 0);
    chunk.readable.assign(count, true);
    if (!ReadZeroFilled(volume_.device, chunk.bytes.data(), first, count)) {
      // Learn which sectors failed, so an unreadable FAT sector never reads as free clusters.
      for (std::uint32_t s = 0; s < count; ++s) {
        std::uint8_t one[kSectorBytes];
        chunk.readable[s] = ReadSectors(volume_.device, one, first + s, 1) == 1;
      }
    }
    it = chunks_.emplace(chunkIndex, std::move(chunk)).first;
  }
  const Chunk& chunk = it->second;
  const std::uint64_t within = offset - chunkIndex * kChunkSectors * kSectorBytes;
  // A FAT12 entry may straddle two sectors (both must be readable) or, for a cluster number
  // no FAT12 volume has, the end of a chunk: it is then outside this FAT.
  if (within + span > chunk.bytes.size()) return std::nullopt;
  if (!chunk.readable[within / kSectorBytes] || !chunk.readable[(within + span - 1) / kSectorBytes])
    return std::nullopt;
  return volume_.DecodeEntry(chunk.bytes.data() + within, cluster);
}

FatLink FatTable::Follow(std::uint32_t cluster, std::uint32_t* next) {
  auto value = Entry(cluster);
  if (!value) return FatLink::Broken;
  if (*value >= volume_.EndMark()) return FatLink::End;
  if (!volume_.IsDataCluster(*value)) return FatLink::Broken;
  *next = *value;
  return FatLink::Next;
}

std::vector<std::uint32_t> BuildClusterChain(FatTable& fat, std::uint32_t start, std::size_t limit,
                                             bool* clean, ChainEnd* end) {
  // The clusters already on the chain, one bit each: the memory is bounded by the volume, not
  // by the chain. Kept per thread and cleared bit by bit afterwards, so a chain costs no
  // allocation once the bits cover the volume.
  thread_local std::vector<std::uint64_t> onChain;
  auto testAndSet = [](std::uint32_t c) {
    const std::size_t word = c / 64;
    if (word >= onChain.size()) onChain.resize(word + 1, 0);
    const std::uint64_t bit = 1ULL << (c % 64);
    const bool was = (onChain[word] & bit) != 0;
    onChain[word] |= bit;
    return was;
  };
  std::vector<std::uint32_t> chain{start};
  // Follow only ever yields clusters of the volume; a start outside it cannot come round again.
  const bool startInside = start <= fat.LastCluster();
  if (startInside) testAndSet(start);
  if (clean) *clean = false;
  ChainEnd how{ChainEnd::Kind::Limit};
  while (chain.size() <= limit) {
    std::uint32_t next = 0;
    FatLink link = fat.Follow(chain.back(), &next);
    if (link == FatLink::End) {
      if (clean) *clean = true;
      how.kind = ChainEnd::Kind::EndMark;
      break;
    }
    if (link == FatLink::Broken) {
      how.kind = ChainEnd::Kind::Broken;
      auto value = fat.Entry(chain.back());
      how.readable = value.has_value();
      how.value = value.value_or(0);
      break;
    }
    if (testAndSet(next)) {
      how.kind = ChainEnd::Kind::Loop;
      how.value = next;
      break;
    }
    chain.push_back(next);
  }
  if (end) *end = how;
  for (std::size_t i = startInside ? 0 : 1; i < chain.size(); ++i)
    onChain[chain[i] / 64] &= ~(1ULL << (chain[i] % 64));
  return chain;
}

}  // namespace brevant::fat

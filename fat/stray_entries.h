#pragma once
// What the extensive FAT scan adds to the sweep: directories followed past the end of their
// chain (a reformat or a zeroed FAT leaves only the first cluster known), directory entries
// found in clusters nothing accounts for, and files whose chain is gone.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "fat/directory_entry.h"
#include "fat/fat_volume.h"

namespace brevant::fat {

// `spareText` of a file whose cluster chain is gone: its data is read from consecutive
// clusters, which is wrong if it was fragmented.
inline constexpr std::u16string_view kChainGoneMark = u"chain gone";

// A cluster whose first sector reads as directory entries but neither starts a directory nor
// begins with a long name (those the quick sweep already follows): a later cluster of some
// directory, or one whose first cluster is lost.
bool MayHoldStrayEntries(std::span<const std::uint8_t> firstSector);

// An entry found where no directory vouches for it is kept only when its fields describe a
// file or folder of this volume: a cluster of the volume (or none for an empty file), a size
// that fits, none for a folder, and a valid write date and time (or none).
bool PlausibleStrayEntry(const ShortEntry& entry, const FatVolume& volume);

// The clusters after `last` that continue a directory whose chain ends there without an
// end-of-chain mark: consecutive, not `claimed`, reading as entries of a directory (no new
// directory start), each following one that did not end the directory. At most `limit`.
std::vector<std::uint32_t> ContinueDirectory(const FatVolume& volume, std::uint32_t last,
                                             std::size_t limit,
                                             const std::function<bool(std::uint32_t)>& claimed);

// Whether a file's chain is gone: it needs more than one cluster and its first cluster is
// free in every FAT copy that can be read.
bool ChainGone(FatTable& fat1, FatTable& fat2, std::uint32_t first, std::uint64_t size,
               std::uint64_t clusterBytes);

}  // namespace brevant::fat

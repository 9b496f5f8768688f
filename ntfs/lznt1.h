#pragma once
// LZNT1, the compression of NTFS compressed files: a compression unit is a sequence of chunks,
// each a 16-bit header and up to 4096 bytes of output.
#include <cstddef>
#include <cstdint>
#include <span>

namespace brevant::ntfs {

inline constexpr std::size_t kLznt1ChunkBytes = 4096;

// Decompresses `in` into `out`, which the caller has zero-filled: a chunk that yields less than
// 4096 bytes leaves zeros up to its end. Returns false when a chunk is malformed (a length or
// back-reference that does not fit); `out` then holds what was decoded before it.
bool Lznt1Decompress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

}  // namespace brevant::ntfs

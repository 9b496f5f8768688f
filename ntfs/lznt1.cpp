#include "ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

namespace brevant::ntfs {

bool Lznt1Decompress(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  std::size_t pos = 0, chunkOut = 0;
  while (pos + 2 <= in.size() && chunkOut < out.size()) {
    const std::uint16_t header = static_cast<std::uint16_t>(in[pos] | in[pos + 1] << 8);
    if (header == 0) return true;  // the end of the compressed data
    const std::size_t size = (header & 0x0FFF) + 1u;
    if (size > in.size() - pos - 2) return false;
    const std::size_t begin = pos + 2, end = begin + size;
    const std::size_t limit = std::min(out.size(), chunkOut + kLznt1ChunkBytes);
    if ((header & 0x8000) == 0) {
      // Stored as is.
      std::memcpy(out.data() + chunkOut, in.data() + begin, std::min(size, limit - chunkOut));
    } else {
      std::size_t p = begin, o = chunkOut;
      while (p < end) {
        const std::uint8_t flags = in[p++];
        for (int bit = 0; bit < 8 && p < end; ++bit) {
          if ((flags & (1u << bit)) == 0) {
            if (o >= limit) return false;
            out[o++] = in[p++];
            continue;
          }
          if (end - p < 2) return false;
          const std::uint16_t token = static_cast<std::uint16_t>(in[p] | in[p + 1] << 8);
          p += 2;
          const std::size_t written = o - chunkOut;
          if (written == 0) return false;
          // The further into the chunk, the more bits the offset takes from the length.
          unsigned offsetShift = 12;
          std::uint16_t lengthMask = 0x0FFF;
          for (std::size_t i = written - 1; i >= 0x10; i >>= 1) {
            --offsetShift;
            lengthMask >>= 1;
          }
          const std::size_t offset = (token >> offsetShift) + 1u;
          const std::size_t length = (token & lengthMask) + 3u;
          if (offset > written || length > limit - o) return false;
          for (std::size_t k = 0; k < length; ++k, ++o) out[o] = out[o - offset];
        }
      }
    }
    pos = end;
    chunkOut = limit;
  }
  return true;
}

}  // namespace brevant::ntfs

// libFuzzer target: FAT directory decoding with long names. The input is a run of directory
// sectors; the first byte picks FAT12, FAT16 or FAT32, strict or not, and the code page.
#include <vector>

#include "fat/codepage.h"
#include "fat/directory_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevant::fat;
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  const FatKind kind = mode & 1 ? FatKind::Fat32 : mode & 0x80 ? FatKind::Fat12 : FatKind::Fat16;
  const bool strict = mode & 2;
  const auto pages = SupportedOemCodePages();
  const int codePage = pages[(mode >> 2) % pages.size()];
  std::vector<std::uint8_t> bytes(data + 1, data + size);
  bytes.resize((bytes.size() + kSectorBytes - 1) / kSectorBytes * kSectorBytes, 0);
  DirectoryDecoder decoder(kind, codePage, strict);
  std::size_t records = 0;
  auto emit = [&](const DirectoryRecord& r) {
    ++records;
    // A decoded name is never empty and never holds a path separator or a control character.
    if (r.name.empty()) __builtin_trap();
  };
  for (std::size_t s = 0; s * kSectorBytes < bytes.size(); ++s) {
    std::span<const std::uint8_t> sector(bytes.data() + s * kSectorBytes, kSectorBytes);
    IsDirectoryStart(sector, strict);
    DotCluster(sector, kind);
    LooksLikeDirectorySector(sector);
    if (!decoder.Feed(sector, s, emit)) break;
  }
  if (records > bytes.size() / kEntryBytes) __builtin_trap();
  return 0;
}

// libFuzzer target: the extensive FAT scan's search for stray directory entries. The input is
// the data area of a small FAT32 volume (and, when the first byte asks, its FATs): with the
// FATs zeroed, every cluster but the root is one nothing accounts for, so the input's bytes go
// through the stray-entry search, directories followed past their chain and the chain-gone
// test; then every file found is extracted, as live and as deleted.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "core/recovery_session.h"
#include "core/recovery_view.h"
#include "core/text.h"
#include "fat/directory_entry.h"
#include "fat/fat_engine.h"
#include "fat/stray_entries.h"
#include "fuzz_common.h"

namespace {

using namespace brevant;

constexpr std::uint32_t kReserved = 32;
constexpr std::uint32_t kMaxClusters = 2048;

void Put16(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v & 0xFF);
  s[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

class CountingSink : public ByteSink {
 public:
  bool Write(const void*, std::size_t length) override {
    bytes += length;
    return true;
  }
  std::uint64_t bytes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  const std::uint32_t spc = 1u << (mode & 3);  // 1, 2, 4 or 8 sectors per cluster
  const bool fatFromInput = mode & 4;
  ++data, --size;
  const std::size_t clusterBytes = spc * fat::kSectorBytes;
  const auto clusters =
      static_cast<std::uint32_t>(std::clamp<std::size_t>(size / clusterBytes + 1, 8, kMaxClusters));
  const std::uint32_t fatSize = (clusters + 2 + 127) / 128;
  const std::uint64_t dataStart = kReserved + 2ULL * fatSize;
  const std::uint64_t total = dataStart + static_cast<std::uint64_t>(clusters) * spc;

  std::string disk(static_cast<std::size_t>(total) * fat::kSectorBytes, '\0');
  std::string bs(512, '\0');
  bs[0] = static_cast<char>(0xEB);
  bs[1] = 0x58;
  bs[2] = static_cast<char>(0x90);
  Put16(bs, 11, 512);
  bs[13] = static_cast<char>(spc);
  Put16(bs, 14, kReserved);
  bs[16] = 2;
  bs[21] = static_cast<char>(0xF8);
  Put32(bs, 32, static_cast<std::uint32_t>(total));
  Put32(bs, 36, fatSize);
  Put32(bs, 44, 2);
  bs.replace(82, 8, "FAT32   ");
  bs[510] = 0x55;
  bs[511] = static_cast<char>(0xAA);
  disk.replace(0, 512, bs);
  disk.replace(6 * 512, 512, bs);

  std::size_t used = 0;
  const std::size_t fatBytes = static_cast<std::size_t>(fatSize) * fat::kSectorBytes;
  if (fatFromInput) {
    // The input's first bytes are both FAT copies: chains that loop, leave the volume, break.
    used = std::min(size, fatBytes);
    for (int copy = 0; copy < 2; ++copy)
      disk.replace((kReserved + copy * fatSize) * fat::kSectorBytes, used,
                   reinterpret_cast<const char*>(data), used);
  }
  for (int copy = 0; copy < 2; ++copy) {
    const std::size_t at = (kReserved + copy * fatSize) * fat::kSectorBytes;
    Put32(disk, at, 0x0FFFFFF8);
    Put32(disk, at + 4, 0x0FFFFFFF);
    Put32(disk, at + 8, 0x0FFFFFFF);  // the root directory, cluster 2
  }
  const std::size_t dataBytes =
      std::min(size - used, static_cast<std::size_t>(clusters) * clusterBytes);
  disk.replace(static_cast<std::size_t>(dataStart) * fat::kSectorBytes, dataBytes,
               reinterpret_cast<const char*>(data + used), dataBytes);

  const std::string& path =
      fuzz::InstallDisk(reinterpret_cast<const std::uint8_t*>(disk.data()), disk.size());

  // The stray-entry rules on their own, over every entry of the input.
  fat::FatVolume volume;
  volume.kind = fat::FatKind::Fat32;
  volume.sectorsPerCluster = spc;
  volume.lastCluster = clusters + 1;
  for (std::size_t at = 0; at + fat::kSectorBytes <= size; at += fat::kSectorBytes)
    fat::MayHoldStrayEntries({data + at, fat::kSectorBytes});
  for (std::size_t at = 0; at + fat::kEntryBytes <= size; at += fat::kEntryBytes) {
    auto e = fat::ParseShortEntry({data + at, fat::kEntryBytes});
    if (!e || !fat::PlausibleStrayEntry(*e, volume)) continue;
    // What is kept names a cluster of the volume, or none for an empty file.
    const std::uint32_t c = e->Cluster(volume.kind);
    if (c != 0 && !volume.IsDataCluster(c)) std::abort();
    if (c == 0 && (e->size != 0 || e->IsDirectory())) std::abort();
  }

  // The whole extensive scan, then every file found.
  RecoverySession s;
  s.EnsureDisk(0);
  s.devicePath[0] = path;
  s.selectedDisk = 0;
  s.selectedPartitionStart = 0;
  s.selectedPartitionEnd = total;
  s.selectedFsName = "FAT32";
  s.scanFsName = "FAT32";
  RecordingView view;
  FatReadOptions options;
  options.extensive = true;
  if (FindFatGeometry(s, view, options) != 1) return 0;
  ScanFatClusters(s, view, options);
  static_cast<PartitionParameters&>(s.scanParams) = s.partParams;
  s.scanParams.fsName = s.scanFsName;
  std::size_t files = 0;
  for (const CatalogueNode* n = s.catalogue.fileList.First(); n && files < 64;
       n = CatalogueList<CatalogueNode>::Next(n), ++files) {
    const std::int64_t bytes = TextToInt(n->size), cluster = TextToInt(n->id);
    if (bytes < 0 || bytes > (1 << 20) || cluster < 0 || cluster > 0xFFFFFFFFLL) continue;
    for (bool deleted : {false, true}) {
      CountingSink sink;
      ExtractResult r = ExtractFatFileTo(s, sink, static_cast<std::uint64_t>(bytes),
                                         static_cast<std::uint32_t>(cluster), deleted);
      // Never more than the file; all of it exactly when the result says so.
      if (sink.bytes != r.bytesWritten || r.bytesWritten > static_cast<std::uint64_t>(bytes))
        std::abort();
      if (r.ok && r.bytesWritten != static_cast<std::uint64_t>(bytes)) std::abort();
      if (!r.ok && r.error.empty()) std::abort();
    }
  }
  return 0;
}

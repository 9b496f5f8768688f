// libFuzzer target: exFAT boot regions and directory entry sets. The first byte picks what the
// rest is: a boot region (read as the start of a volume, backup included), a run of entry sets
// and an up-case table, or the directory clusters (and, when asked, the FAT) of a small sound
// volume, scanned quick and extensive, its tree built and every file it lists extracted.
#include <cstring>
#include <string>

#include "core/output_file.h"
#include "core/recovery_session.h"
#include "disk/exfat_boot.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"
#include "fuzz_common.h"
#include "model/result_tree.h"

namespace {

using namespace brevant;

class CountingSink : public ByteSink {
 public:
  bool Write(const void*, std::size_t length) override {
    bytes += length;
    return bytes < (1u << 24);
  }
  std::uint64_t bytes = 0;
};

void Put32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// 128 sectors of 512 bytes: boot regions, one FAT at 24, the heap at 32 with 96 clusters of one
// sector (2: bitmap, 3: up-case table, 4: root directory).
std::string SoundVolume() {
  std::string v(128 * 512, '\0');
  for (std::size_t region : {std::size_t{0}, std::size_t{12 * 512}}) {
    std::string b(512, '\0');
    b[0] = static_cast<char>(0xEB);
    b[1] = 0x76;
    b[2] = static_cast<char>(0x90);
    std::memcpy(&b[3], "EXFAT   ", 8);
    Put32(b, 72, 128);
    Put32(b, 80, 24);
    Put32(b, 84, 1);
    Put32(b, 88, 32);
    Put32(b, 92, 96);
    Put32(b, 96, 4);
    b[108] = 9;
    b[109] = 0;
    b[110] = 1;
    b[510] = 0x55;
    b[511] = static_cast<char>(0xAA);
    std::memcpy(&v[region], b.data(), 512);
    const auto* r = reinterpret_cast<const std::uint8_t*>(v.data() + region);
    const std::uint32_t sum = disk::ExfatBootChecksum({r, 11 * 512}, 512);
    for (std::size_t i = 0; i < 512; i += 4) Put32(v, region + 11 * 512 + i, sum);
  }
  Put32(v, 24 * 512, 0xFFFFFFF8);
  for (std::uint32_t c = 1; c <= 4; ++c) Put32(v, 24 * 512 + 4 * c, 0xFFFFFFFF);
  v[32 * 512] = 0x07;  // clusters 2 to 4 in use
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t mode = data[0] % 4;
  ++data;
  --size;
  if (mode == 0) {
    exfat::EntrySet set;
    for (std::size_t at = 0; at + 32 <= size; at += 32)
      exfat::ParseEntrySet({data + at, size - at}, set);
    if (auto table = exfat::ExpandUpcaseTable({data, size}))
      exfat::NameHash(set.name, *table);
    exfat::UpcaseTableChecksum({data, size});
    return 0;
  }
  RecoverySession session;
  std::string disk;
  if (mode == 1) {
    disk.assign(reinterpret_cast<const char*>(data), size);
  } else {
    // The input lands in the root directory and the clusters after it; mode 3 also takes its
    // first 512 bytes as the FAT.
    disk = SoundVolume();
    std::size_t from = 0;
    if (mode == 3 && size >= 512) {
      std::memcpy(&disk[24 * 512], data, 512);
      from = 512;
    }
    const std::size_t room = disk.size() - 34 * 512;
    std::memcpy(&disk[34 * 512], data + from, std::min(size - from, room));
  }
  const std::uint64_t end = disk.size() / 512;
  session.devicePath = {brevant::fuzz::InstallDisk(
      reinterpret_cast<const std::uint8_t*>(disk.data()), disk.size())};
  session.EnsureDisk(0);
  session.selectedPartitionStart = 0;
  session.selectedPartitionEnd = end;
  session.selectedFsName = session.scanFsName = "exFAT";
  RecordingView view;
  if (FindExfatGeometry(session, view) == 0) return 0;
  disk::ReadExfatBitmap(session.devicePath[0], 0, end, *disk::ReadExfatBoot(session.devicePath[0], 0, end));
  static_cast<PartitionParameters&>(session.scanParams) = session.partParams;
  session.scanParams.fsName = "exFAT";
  for (bool extensive : {false, true}) {
    session.catalogue.Clear();
    session.conditionFacts.Clear();
    ExfatReadOptions options;
    options.extensive = extensive;
    ScanExfatVolume(session, view, options);
    ui::ResultTree tree;
    BuildExfatResultTree(session, view, tree);
    for (const CatalogueNode* n = session.catalogue.fileList.First(); n;
         n = CatalogueList<CatalogueNode>::Next(n)) {
      CountingSink sink;
      ExtractExfatFileTo(session, sink, *n);
    }
  }
  return 0;
}

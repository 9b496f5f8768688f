// Boot-sector parameters of FAT12, FAT16, FAT32 and NTFS partitions, with every fallback.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <set>

#include "crafted_disk.h"
#include "disk/disks.h"
#include "disk/on_disk.h"

namespace brevant {
namespace {

using test::CraftedDisk;

auto Fields(const PartitionParameters& p) {
  return std::make_tuple(p.fatSizeSectors, p.sectorsPerCluster, p.rootDirSectors, p.rootDirStart,
                         p.reservedSectors, p.clusterBase, p.fat1Start, p.fat2Start, p.mftStart,
                         p.mftMirrStart, p.sectorsPerFileRecord, p.sectorsPerIndexRecord);
}

// Values a branch does not write must come through untouched.
PartitionParameters Sentinel() {
  PartitionParameters p;
  p.fatSizeSectors = 901;
  p.sectorsPerCluster = 902;
  p.rootDirSectors = 903;
  p.rootDirStart = 904;
  p.reservedSectors = 905;
  p.clusterBase = 906;
  p.fat1Start = 907;
  p.fat2Start = 908;
  p.mftStart = 909;
  p.mftMirrStart = 910;
  p.sectorsPerFileRecord = 911;
  p.sectorsPerIndexRecord = 912;
  return p;
}

void Select(RecoverySession& s, const std::string& path, std::uint64_t start, std::uint64_t end,
            const std::string& fs, int disk = 0) {
  s.EnsureDisk(static_cast<std::size_t>(disk));
  s.devicePath[static_cast<std::size_t>(disk)] = path;
  s.selectedDisk = static_cast<std::uint16_t>(disk);
  s.selectedPartitionStart = start;
  s.selectedPartitionEnd = end;
  s.selectedFsName = fs;
}

constexpr std::uint64_t kStart = 100;
constexpr std::uint64_t kEnd = 1100;

PartitionParameters Fat16Expected() {
  // spc 4, 1 reserved, 512 root entries (32 sectors), FATs of 8 sectors.
  PartitionParameters p = Sentinel();
  p.rootDirSectors = 32;
  p.clusterBase = 100 + 1 + 16 + 32 - 8;
  p.fat1Start = 101;
  p.fat2Start = 109;
  p.sectorsPerCluster = 4;
  p.rootDirStart = 117;
  p.fatSizeSectors = 8;
  p.reservedSectors = 1;
  return p;
}

PartitionParameters Fat32Expected(std::uint64_t root = 2) {
  // spc 8, 32 reserved, FATs of 16 sectors.
  PartitionParameters p = Sentinel();
  p.rootDirStart = root;
  p.clusterBase = 100 + 32 + 32 - 16;
  p.fat1Start = 132;
  p.fat2Start = 148;
  p.sectorsPerCluster = 8;
  p.fatSizeSectors = 16;
  p.rootDirSectors = 0;
  p.reservedSectors = 32;
  return p;
}

PartitionParameters NtfsExpected(std::uint64_t mft = 132, std::uint64_t mirr = 164) {
  // spc 8, MFT at cluster 4, mirror at cluster 8.
  PartitionParameters p = Sentinel();
  p.mftStart = mft;
  p.mftMirrStart = mirr;
  p.sectorsPerCluster = 8;
  p.clusterBase = 100;
  p.sectorsPerFileRecord = 2;
  p.sectorsPerIndexRecord = 8;
  return p;
}

struct ParamCase {
  const char* name;
  const char* fs;
  std::function<void(CraftedDisk&)> build;
  std::set<std::uint64_t> badSectors;
  int result;
  PartitionParameters expected;  // Sentinel() when nothing may change
};

const ParamCase kParamCases[] = {
    {"Fat16", "FAT16", [](CraftedDisk& d) { d.Fat16(kStart); }, {}, 1, Fat16Expected()},
    {"Fat16NeedsBothSignatureBytes",
     "FAT16",
     [](CraftedDisk& d) {
       d.Fat16(kStart);
       d.Byte(kStart, 511, 0);
     },
     {},
     0,
     Sentinel()},
    {"Fat16NeedsTheMediaByteOfFat1",
     "FAT16",
     [](CraftedDisk& d) {
       d.Fat16(kStart);
       d.Byte(kStart + 1, 0, 0xF0);
     },
     {},
     0,
     Sentinel()},
    {"Fat16WithImpossibleClusterSize",
     "FAT16",
     [](CraftedDisk& d) {
       d.Fat16(kStart);
       d.Byte(kStart, 13, 3);
     },
     {},
     0,
     Sentinel()},
    {"Fat32",
     "FAT32",
     [](CraftedDisk& d) { d.Fat32(kStart, 8, 32, 16, 7); },
     {},
     1,
     Fat32Expected(7)},
    {"Fat32DamagedPrimaryTakesTheBackup",
     "FAT32",
     [](CraftedDisk& d) {
       d.Fat32(kStart);
       d.Byte(kStart, 510, 0);
       d.Byte(kStart, 511, 0);
       test::Put16(d.bytes, d.At(kStart, 14), 5);  // the damaged copy's values must not be used
       test::Put32(d.bytes, d.At(kStart, 44), 99);
     },
     {},
     1,
     Fat32Expected()},
    {"Fat32UnreadablePrimaryTakesTheBackup",
     "FAT32",
     [](CraftedDisk& d) { d.Fat32(kStart); },
     {kStart},
     1,
     Fat32Expected()},
    {"Fat32PrimaryWithWrongFat1UsesBackupAndFat2",
     "FAT32",
     [](CraftedDisk& d) {
       d.Fat32(kStart);
       test::Put16(d.bytes, d.At(kStart, 14), 30);  // FAT #1 is not at 130
       test::Put32(d.bytes, d.At(kStart, 44), 99);
       d.Byte(kStart + 32, 0, 0);  // and FAT #1 proper is damaged too: FAT #2 decides
     },
     {},
     1,
     Fat32Expected()},
    {"Fat32WithoutAnyFatSignature",
     "FAT32",
     [](CraftedDisk& d) {
       d.Fat32(kStart);
       d.Byte(kStart + 32, 0, 0);
       d.Byte(kStart + 48, 0, 0);
     },
     {},
     0,
     Sentinel()},
    {"Fat32BothBootSectorsUnsigned",
     "FAT32",
     [](CraftedDisk& d) {
       d.Fat32(kStart);
       d.Byte(kStart, 511, 0);
       d.Byte(kStart + 6, 511, 0);
     },
     {},
     0,
     Sentinel()},
    {"Ntfs", "NTFS", [](CraftedDisk& d) { d.Ntfs(kStart, 1000, 8, 4, 8); }, {}, 1, NtfsExpected()},
    {"NtfsUnreadableMftReadableMirror",
     "NTFS",
     [](CraftedDisk& d) { d.Ntfs(kStart, 1000, 8, 4, 8); },
     {132},
     1,
     NtfsExpected(0, 164)},
    {"NtfsUnreadableMirror",
     "NTFS",
     [](CraftedDisk& d) { d.Ntfs(kStart, 1000, 8, 4, 8); },
     {164},
     1,
     NtfsExpected(132, 0)},
    {"NtfsNeitherMftNorMirror",
     "NTFS",
     [](CraftedDisk& d) { d.Ntfs(kStart, 1000, 8, 4, 8); },
     {132, 164},
     0,
     Sentinel()},
    {"NtfsDamagedPrimaryTakesTheBackup",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       d.Byte(kStart, 510, 0);
       test::Put64(d.bytes, d.At(kStart, 48), 50);
     },
     {},
     1,
     NtfsExpected()},
    {"NtfsBadClusterSizeReadsTheOtherCopy",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       d.Byte(kStart, 13, 3);
     },
     {},
     1,
     NtfsExpected()},
    {"NtfsBadRecordSizeReadsTheOtherCopy",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       test::Put32(d.bytes, d.At(kStart, 64), 0x10);  // 16 clusters: no record is that long
     },
     {},
     1,
     NtfsExpected()},
    {"NtfsBadRecordSizeInBothCopies",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       test::Put32(d.bytes, d.At(kStart, 64), 0x10);
       test::Put32(d.bytes, d.At(kEnd - 1, 64), 0x10);
     },
     {},
     0,
     Sentinel()},
    {"NtfsMftFoundThroughTheBackupCopy",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       test::Put64(d.bytes, d.At(kStart, 48), 40);  // primary names a cluster without a record
     },
     {},
     1,
     NtfsExpected()},
    {"NtfsRecordSizeCountedInClusters",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 1, 40, 60);
       for (std::uint64_t s : {kStart, kEnd - 1}) {
         test::Put32(d.bytes, d.At(s, 64), 2);  // two 512-byte clusters
         test::Put32(d.bytes, d.At(s, 68), 8);
       }
     },
     {},
     1,
     [] {
       PartitionParameters p = NtfsExpected(140, 160);
       p.sectorsPerCluster = 1;
       return p;
     }()},
    {"NtfsMftClusterOverflowing64Bits",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       for (std::uint64_t s : {kStart, kEnd - 1})
         test::Put64(d.bytes, d.At(s, 48), 0x4000000000000000ull);
     },
     {},
     1,
     NtfsExpected(0, 164)},
    {"NtfsMftOutsideThePartition",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       for (std::uint64_t s : {kStart, kEnd - 1})
         test::Put64(d.bytes, d.At(s, 48), 200);  // sector 1700
       d.Text(1700, 0, "FILE0");                  // another volume's record must not be taken
     },
     {},
     1,
     NtfsExpected(0, 164)},
    {"NtfsClustersBeyond64KiBStateANegativePowerOfTwo",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 64, 96);  // records at sectors 612 and 868
       for (std::uint64_t s : {kStart, kEnd - 1}) {
         d.Byte(s, 13, 0xF8);  // 2^8 sectors: 128 KiB clusters
         test::Put64(d.bytes, d.At(s, 48), 2);
         test::Put64(d.bytes, d.At(s, 56), 3);
       }
     },
     {},
     1,
     [] {
       PartitionParameters p = NtfsExpected(612, 868);
       p.sectorsPerCluster = 256;
       return p;
     }()},
    {"NtfsClustersBeyond2MiBAreNoParameters",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       for (std::uint64_t s : {kStart, kEnd - 1}) d.Byte(s, 13, 0xF3);  // 4 MiB
     },
     {},
     0,
     Sentinel()},
    {"NtfsRecordSizesAreOneSignedByte",
     "NTFS",
     [](CraftedDisk& d) {
       d.Ntfs(kStart, 1000, 8, 4, 8);
       // The three bytes after each size are unused: what they hold changes nothing.
       for (std::uint64_t s : {kStart, kEnd - 1}) {
         test::Put32(d.bytes, d.At(s, 64), 0x00ABCDF6);
         test::Put32(d.bytes, d.At(s, 68), 0x00ABCDF4);
       }
     },
     {},
     1,
     NtfsExpected()},
    {"UnknownFileSystem", "ext4", [](CraftedDisk& d) { d.Fat16(kStart); }, {}, 0, Sentinel()},
    // FAT12 has FAT16's layout; a floppy's FAT starts with its own media byte (0xF0 for
    // 1.44 MB), which its boot sector repeats.
    {"Fat12FloppyMediaByte",
     "FAT12",
     [](CraftedDisk& d) {
       d.Fat16(kStart);
       d.Byte(kStart, 21, 0xF0);
       d.Byte(kStart + 1, 0, 0xF0);
     },
     {},
     1,
     Fat16Expected()},
    {"Fat12MediaByteDisagreeingWithTheBootSector",
     "FAT12",
     [](CraftedDisk& d) {
       d.Fat16(kStart);
       d.Byte(kStart, 21, 0xF0);
     },
     {},
     0,
     Sentinel()},
    {"Fat16WantsAFixedDisksMediaByte",
     "FAT16",
     [](CraftedDisk& d) {
       d.Fat16(kStart);
       d.Byte(kStart, 21, 0xF0);
       d.Byte(kStart + 1, 0, 0xF0);
     },
     {},
     0,
     Sentinel()},
};

void PrintTo(const ParamCase& c, std::ostream* os) { *os << c.name; }

class ParamTable : public ::testing::TestWithParam<ParamCase> {};

TEST_P(ParamTable, StoresTheExpectedParameters) {
  const ParamCase& c = GetParam();
  CraftedDisk disk(2048);
  c.build(disk);
  auto device = std::make_shared<platform::FaultyDevice>(
      std::make_shared<platform::MemoryDevice>(disk.bytes), c.badSectors);
  RecoverySession s;
  Select(s, test::InstallDevice(device), kStart, kEnd, c.fs);
  s.partParams = Sentinel();
  EXPECT_EQ(ReadBootSectorParameters(s), c.result);
  EXPECT_EQ(Fields(s.partParams), Fields(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Cases, ParamTable, ::testing::ValuesIn(kParamCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BootSectorParameters, NtfsClusterSizesEveryWindowsFormatMakes) {
  struct Case {
    std::uint16_t sectorBytes;
    std::uint8_t field;
    std::uint64_t sectors;  // 0: no cluster size
  };
  const Case cases[] = {
      {512, 0x01, 1},      {512, 0x08, 8},       {512, 0x80, 128},  // up to 64 KiB: the count
      {512, 0xF8, 256},    {512, 0xF7, 512},     {512, 0xF6, 1024},
      {512, 0xF5, 2048},   {512, 0xF4, 4096},                       // 128 KiB .. 2 MiB
      {4096, 0x80, 128},   {4096, 0xF8, 256},    {4096, 0xF7, 512},  // 512 KiB .. 2 MiB
      {512, 0xF3, 0},      {4096, 0xF6, 0},                          // beyond 2 MiB
      {512, 0xF9, 0},      {512, 0xFF, 0},                           // counts with a plain form
      {512, 0x81, 0},      {512, 0x03, 0},       {512, 0x00, 0},     // no power of two
      {500, 0x08, 0},                                                // no sector size
  };
  for (const Case& c : cases) {
    disk::Sector s{};
    std::memcpy(s.data() + 3, "NTFS    ", 8);
    s[11] = static_cast<std::uint8_t>(c.sectorBytes & 0xFF);
    s[12] = static_cast<std::uint8_t>(c.sectorBytes >> 8);
    s[13] = c.field;
    SCOPED_TRACE(::testing::Message() << c.sectorBytes << " bytes, field 0x" << std::hex
                                      << int{c.field});
    EXPECT_EQ(disk::NtfsSectorsPerCluster(s), c.sectors);
    EXPECT_EQ(disk::PlausibleBpb(s), c.sectors != 0);
  }
  // A FAT boot sector keeps the plain count only.
  disk::Sector fat{};
  std::memcpy(fat.data() + 3, "MSDOS5.0", 8);
  fat[12] = 2;  // 512 bytes
  fat[13] = 0xF4;
  EXPECT_FALSE(disk::PlausibleBpb(fat));
}

TEST(BootSectorParameters, EmptyRangeReadsNothing) {
  CraftedDisk disk(2048);
  disk.Fat16(kStart);
  RecoverySession s;
  Select(s, disk.Install(), kStart, kStart, "FAT16");
  s.partParams = Sentinel();
  EXPECT_EQ(ReadBootSectorParameters(s), 0);
  EXPECT_EQ(Fields(s.partParams), Fields(Sentinel()));
}

TEST(BootSectorParameters, SectorNumbersBeyond32Bits) {
  const std::uint64_t start = 6'000'000'000ull;
  auto sparse = std::make_shared<test::SparseDevice>(8ull << 30);
  CraftedDisk volume(1000);
  volume.Ntfs(0, 1000, 8, 4, 8);
  sparse->Place(start, volume);
  CraftedDisk fat(200);
  fat.Fat32(0);
  sparse->Place(start + 2000, fat);

  RecoverySession s;
  Select(s, test::InstallDevice(sparse), start, start + 1000, "NTFS");
  ASSERT_EQ(ReadBootSectorParameters(s), 1);
  EXPECT_EQ(s.partParams.mftStart, start + 32);
  EXPECT_EQ(s.partParams.mftMirrStart, start + 64);
  EXPECT_EQ(s.partParams.clusterBase, start);

  s.selectedPartitionStart = start + 2000;
  s.selectedPartitionEnd = start + 2200;
  s.selectedFsName = "FAT32";
  ASSERT_EQ(ReadBootSectorParameters(s), 1);
  EXPECT_EQ(s.partParams.fat1Start, start + 2032);
  EXPECT_EQ(s.partParams.clusterBase, start + 2000 + 32 + 32 - 16);
}

// Holds every read until released, so a worker can be kept running.
class GateDevice : public platform::SectorDevice {
 public:
  GateDevice(std::shared_ptr<platform::SectorDevice> inner, std::shared_future<void> gate)
      : inner_(std::move(inner)), gate_(std::move(gate)) {}
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    gate_.wait();
    return inner_->ReadAt(offset, buffer, length);
  }
  std::uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
  char Method() const override { return 'T'; }

 private:
  std::shared_ptr<platform::SectorDevice> inner_;
  std::shared_future<void> gate_;
};

TEST(ParamWorker, StoresTheResultForTheSelection) {
  CraftedDisk disk(2048);
  disk.Ntfs(kStart, 1000, 8, 4, 8);
  RecoverySession s;
  Select(s, disk.Install(), kStart, kEnd, "NTFS");
  std::thread worker = StartParamWorker(s);
  worker.join();
  EXPECT_NE(s.paramThread.load(), 0u);
  EXPECT_EQ(Fields(s.partParams), Fields([] {
              PartitionParameters p = NtfsExpected();
              p.fatSizeSectors = p.rootDirSectors = p.rootDirStart = p.reservedSectors = 0;
              p.fat1Start = p.fat2Start = 0;
              return p;
            }()));
}

TEST(ParamWorker, AnEarlierSelectionsWorkerNeverOverwritesTheLatest) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  CraftedDisk fatDisk(2048);
  fatDisk.Fat16(kStart);
  std::string slow = test::InstallDevice(
      std::make_shared<GateDevice>(std::make_shared<platform::MemoryDevice>(fatDisk.bytes), gate));
  CraftedDisk ntfsDisk(2048);
  ntfsDisk.Ntfs(kStart, 1000, 8, 4, 8);
  std::string fast = ntfsDisk.Install();

  RecoverySession s;
  s.partParams = Sentinel();
  Select(s, slow, kStart, kEnd, "FAT16", 0);
  std::thread first = StartParamWorker(s);   // waits at its first read
  Select(s, fast, kStart, kEnd, "NTFS", 1);  // the user picks another partition meanwhile
  std::thread second = StartParamWorker(s);
  second.join();
  EXPECT_EQ(Fields(s.partParams), Fields(NtfsExpected()));
  release.set_value();
  first.join();
  EXPECT_EQ(Fields(s.partParams), Fields(NtfsExpected()));
}

}  // namespace
}  // namespace brevant

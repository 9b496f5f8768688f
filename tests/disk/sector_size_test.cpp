// A disk's logical sector size, and the walk and boot-sector parameters that count in it:
// crafted disks of 512-byte and 4 KiB sectors, disks whose table and volumes disagree, and
// boot sectors stating sizes no volume has.
#include "disk/sector_size.h"

#include <gtest/gtest.h>

#include <functional>

#include "crafted_disk.h"
#include "disk/disks.h"
#include "disk/volume_search.h"

namespace brevant {
namespace {

using test::CraftedDisk;

constexpr std::uint64_t k4k = 8;  // 512-byte units in a 4 KiB sector

// Makes the boot sector at 512-byte unit `at` state `bytes` bytes per sector.
void StateSectorSize(CraftedDisk& d, std::uint64_t at, std::uint16_t bytes) {
  test::Put16(d.bytes, d.At(at, 11), bytes);
}

// An NTFS volume of 4 KiB sectors and clusters (mkntfs -s 4096) at 512-byte unit `start`,
// `sectors4k` sectors long: boot sector, backup in its last 4 KiB sector, MFT at cluster 4,
// mirror at cluster 8, records of one cluster.
void Ntfs4k(CraftedDisk& d, std::uint64_t start, std::uint64_t sectors4k) {
  for (std::uint64_t at : {start, start + (sectors4k - 1) * k4k}) {
    d.NtfsBootSector(at, sectors4k, 1, 4, 8, 0x01, 0x01);
    StateSectorSize(d, at, 4096);
  }
  d.Text(start + 4 * k4k, 0, "FILE0");
  d.Text(start + 8 * k4k, 0, "FILE0");
}

// A GPT of `sectorBytes`-byte sectors: header at LBA 1, 128 entries of 128 bytes from LBA 2,
// partitions given in that sector size. No backup: the primary is all these tests need.
void Gpt(CraftedDisk& d, std::uint32_t sectorBytes,
         const std::vector<CraftedDisk::GptEntry>& entries) {
  const std::uint64_t unit = sectorBytes / 512;
  const std::uint64_t lbas = d.Sectors() / unit;
  d.Entry(0, 0, 0xEE, 1, static_cast<std::uint32_t>(lbas - 1));
  d.Signature(0);
  std::string array(128 * 128, '\0');
  for (std::size_t i = 0; i < entries.size(); ++i) {
    array[i * 128] = 0x11;  // any type GUID: used entries are the non-zero ones
    test::Put64(array, i * 128 + 32, entries[i].first);
    test::Put64(array, i * 128 + 40, entries[i].last);
  }
  std::memcpy(d.bytes.data() + d.At(2 * unit), array.data(), array.size());
  std::string h(512, '\0');
  std::memcpy(h.data(), "EFI PART", 8);
  test::Put32(h, 8, 0x00010000);
  test::Put32(h, 12, 92);
  test::Put64(h, 24, 1);
  test::Put64(h, 32, lbas - 1);
  test::Put64(h, 72, 2);
  test::Put32(h, 80, 128);
  test::Put32(h, 84, 128);
  test::Put32(h, 88, CraftedDisk::Crc(array.data(), array.size()));
  test::Put32(h, 16, CraftedDisk::Crc(h.data(), 92));
  std::memcpy(d.bytes.data() + d.At(unit), h.data(), 512);
}

struct Filed {
  std::string fs;
  std::uint64_t start;
  std::uint64_t end;
  bool problem;
  bool operator==(const Filed&) const = default;
};
void PrintTo(const Filed& f, std::ostream* os) {
  *os << f.fs << " " << f.start << ".." << f.end << (f.problem ? " (problem)" : "");
}

struct SizeCase {
  const char* name;
  std::uint64_t sectors;   // disk size in 512-byte units
  std::uint32_t reported;  // what the device says (0: an image)
  std::function<void(CraftedDisk&)> build;
  std::uint32_t expected;
  disk::SectorSizeSource source;
  std::vector<Filed> partitions;  // what the walk files, in 512-byte units
};

const SizeCase kSizeCases[] = {
    {"MbrIn512ByteSectors",
     4096,
     0,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 1000);
       d.Ntfs(100, 1000, 8, 4, 8);
       d.Signature(0);
     },
     512,
     disk::SectorSizeSource::Table,
     {{"NTFS", 100, 1100, false}}},
    {"MbrIn4kSectorsLandsOnlyWhenMultipliedByEight",
     8192,
     0,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 32, 256);  // 4 KiB sectors 32..288: bytes 128 KiB to 1152 KiB
       Ntfs4k(d, 32 * k4k, 256);
       d.Signature(0);
     },
     4096,
     disk::SectorSizeSource::Table,
     {{"NTFS", 256, 2304, false}}},
    {"Mbr4kLogicalBehindAnExtendedPartition",
     8192,
     0,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x0F, 100, 400);
       d.Signature(0);
       d.Entry(100 * k4k, 0, 0x0B, 1, 300);  // the EBR's entries count 4 KiB sectors too
       d.Signature(100 * k4k);
       d.Fat32(101 * k4k, 1, 32, 16);
       StateSectorSize(d, 101 * k4k, 4096);
     },
     4096,
     disk::SectorSizeSource::Table,
     {{"FAT32", 101 * k4k, 401 * k4k, false}}},
    {"GptHeaderAt4096",
     4096,
     0,
     [](CraftedDisk& d) {
       Gpt(d, 4096, {{40, 99}});
       Ntfs4k(d, 40 * k4k, 60);
     },
     4096,
     disk::SectorSizeSource::Gpt,
     {{"NTFS", 320, 800, false}}},
    {"GptHeaderAt512",
     4096,
     0,
     [](CraftedDisk& d) {
       Gpt(d, 512, {{40, 1039}});
       d.Ntfs(40, 1000, 8, 4, 8);
     },
     512,
     disk::SectorSizeSource::Gpt,
     {{"NTFS", 40, 1040, false}}},
    {"WholeDiskBootSectorSays4096",
     2048,
     0,
     [](CraftedDisk& d) { Ntfs4k(d, 0, 256); },
     4096,
     disk::SectorSizeSource::BootSector,
     {{"NTFS", 0, 2048, false}}},
    {"WholeDiskBootSectorSays512",
     2048,
     0,
     [](CraftedDisk& d) { d.Ntfs(0, 2048, 8, 4, 8); },
     512,
     disk::SectorSizeSource::BootSector,
     {{"NTFS", 0, 2048, false}}},
    // One entry makes sense as written, the other only in 4 KiB units: the table is read as
    // written and the second volume is reported, not looked for where nothing is.
    {"TableDisagreesWithOneVolume",
     8192,
     0,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 500);
       d.Ntfs(100, 500, 8, 4, 8);
       d.Entry(0, 1, 0x07, 700, 50);  // 700 x 8 = 5600
       Ntfs4k(d, 700 * k4k, 50);
       d.Signature(0);
     },
     512,
     disk::SectorSizeSource::Table,
     {{"NTFS", 100, 600, false}, {"NTFS", 700, 750, true}}},
    // The table counts 512-byte units and lands on a volume of 4 KiB sectors: the volume is
    // where the table says, and reads in its own units.
    {"VolumeOf4kSectorsAtA512ByteTableEntry",
     4096,
     0,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 800, 2048);
       Ntfs4k(d, 800, 256);
       d.Signature(0);
     },
     512,
     disk::SectorSizeSource::Default,
     {{"NTFS", 800, 2848, false}}},
    {"DeviceReporting4096IsTakenAtItsWord",
     2048,
     4096,
     [](CraftedDisk& d) { d.Signature(0); },
     4096,
     disk::SectorSizeSource::Reported,
     {}},
    {"DeviceReporting512WithContentWrittenIn4k",
     8192,
     512,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 32, 256);
       Ntfs4k(d, 32 * k4k, 256);
       d.Signature(0);
     },
     4096,
     disk::SectorSizeSource::Table,
     {{"NTFS", 256, 2304, false}}},
    {"WholeDiskBytesPerSectorZero",
     2048,
     0,
     [](CraftedDisk& d) {
       Ntfs4k(d, 0, 256);
       StateSectorSize(d, 0, 0);
     },
     512,
     disk::SectorSizeSource::Default,
     {}},
    {"WholeDiskBytesPerSector3000",
     2048,
     0,
     [](CraftedDisk& d) {
       Ntfs4k(d, 0, 256);
       StateSectorSize(d, 0, 3000);
     },
     512,
     disk::SectorSizeSource::Default,
     {}},
    {"EntryLandingOnA3000ByteBootSectorIsNoEvidence",
     8192,
     0,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 32, 256);
       Ntfs4k(d, 32 * k4k, 256);
       StateSectorSize(d, 32 * k4k, 3000);
       d.Signature(0);
     },
     512,
     disk::SectorSizeSource::Default,
     {{"NTFS", 32, 288, false}}},
    {"EntryStartingBeyondTheDiskIn4kUnitsIsNoEvidence",
     2048,
     0,
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 300, 10);  // 300 x 4096 lies past the 1 MiB disk
       d.Signature(0);
     },
     512,
     disk::SectorSizeSource::Default,
     {{"NTFS", 300, 310, false}}},
    {"BlankDisk", 64, 0, [](CraftedDisk&) {}, 512, disk::SectorSizeSource::Default, {}},
};

class SectorSizeTable : public ::testing::TestWithParam<SizeCase> {};

TEST_P(SectorSizeTable, DetectsTheSizeAndWalksInIt) {
  const SizeCase& c = GetParam();
  CraftedDisk d(c.sectors);
  c.build(d);
  auto device = std::make_shared<platform::MemoryDevice>(d.bytes);
  device->SetLogicalSectorSize(c.reported);
  const std::string path = test::InstallDevice(device);

  const disk::SectorSizeFinding found = disk::DetectSectorSize(path, d.bytes.size(), c.reported);
  EXPECT_EQ(found.bytes, c.expected);
  EXPECT_EQ(found.source, c.source);

  RecoverySession s;
  ui::ResultTree tree;
  s.EnsureDisk(0);
  s.devicePath[0] = path;
  WalkPartitionTable(s, tree, 0, u"My Computer\\disk\\");
  const DriveRecord& r = s.driveRecords[0];
  EXPECT_EQ(r.sectorSize, c.expected);
  std::vector<Filed> filed;
  for (std::size_t i = 0; i < r.partitions.size(); ++i)
    filed.push_back({r.fsName[i], r.partitions[i].startSector, r.partitions[i].endSector,
                     !r.partitions[i].problem.empty()});
  EXPECT_EQ(filed, c.partitions);
}

INSTANTIATE_TEST_SUITE_P(Cases, SectorSizeTable, ::testing::ValuesIn(kSizeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SectorSize, TheDisagreementSaysWhereEachPartyPutsTheVolume) {
  CraftedDisk d(8192);
  d.Entry(0, 0, 0x07, 100, 500);
  d.Ntfs(100, 500, 8, 4, 8);
  d.Entry(0, 1, 0x07, 700, 50);
  Ntfs4k(d, 700 * k4k, 50);
  d.Signature(0);
  RecoverySession s;
  ui::ResultTree tree;
  s.EnsureDisk(0);
  s.devicePath[0] = d.Install();
  WalkPartitionTable(s, tree, 0, u"My Computer\\disk\\");
  ASSERT_EQ(s.driveRecords[0].partitions.size(), 2u);
  const std::string& problem = s.driveRecords[0].partitions[1].problem;
  EXPECT_NE(problem.find("byte 358400"), std::string::npos) << problem;   // 700 x 512
  EXPECT_NE(problem.find("byte 2867200"), std::string::npos) << problem;  // 700 x 4096
  EXPECT_NE(problem.find("4096 bytes per sector"), std::string::npos) << problem;

  // Selecting it carries the problem to the run, which refuses to read the wrong place.
  ASSERT_TRUE(SelectPartition(s, 0, 2));
  EXPECT_EQ(s.selectedProblem, problem);
  ASSERT_TRUE(SelectPartition(s, 0, 1));
  EXPECT_EQ(s.selectedProblem, "");
}

TEST(SectorSize, BootSectorBytesRefusesSizesNoVolumeHas) {
  for (std::uint16_t bytes : {0, 256, 3000, 8192, 65535}) {
    CraftedDisk d(4);
    d.Ntfs(0, 4, 1, 1, 2);
    StateSectorSize(d, 0, bytes);
    EXPECT_EQ(disk::BootSectorBytes(
                  disk::Bytes(reinterpret_cast<const unsigned char*>(d.bytes.data()), 512)),
              0u)
        << bytes;
  }
  for (std::uint16_t bytes : {512, 1024, 2048, 4096}) {
    CraftedDisk d(4);
    d.Ntfs(0, 4, 1, 1, 2);
    StateSectorSize(d, 0, bytes);
    EXPECT_EQ(disk::BootSectorBytes(
                  disk::Bytes(reinterpret_cast<const unsigned char*>(d.bytes.data()), 512)),
              bytes);
  }
}

// The parameters of volumes of 4 KiB sectors, in 512-byte units.
void Select(RecoverySession& s, const std::string& path, std::uint64_t start, std::uint64_t end,
            const std::string& fs, std::uint32_t sectorSize) {
  s.EnsureDisk(0);
  s.devicePath[0] = path;
  s.selectedDisk = 0;
  s.selectedPartitionStart = start;
  s.selectedPartitionEnd = end;
  s.selectedFsName = fs;
  s.selectedSectorSize = sectorSize;
}

TEST(SectorSize, NtfsParametersOf4kSectorsCountIn512ByteUnits) {
  CraftedDisk d(4096);
  Ntfs4k(d, 800, 256);  // 512-byte units 800 .. 2848
  for (bool primaryLost : {false, true}) {
    SCOPED_TRACE(primaryLost ? "from the backup in the last 4 KiB sector" : "from the primary");
    CraftedDisk copy = d;
    if (primaryLost)
      std::fill_n(copy.bytes.begin() + static_cast<std::ptrdiff_t>(copy.At(800)), 512, '\0');
    RecoverySession s;
    Select(s, copy.Install(), 800, 2848, "NTFS", 512);
    ASSERT_EQ(ReadBootSectorParameters(s), 1);
    EXPECT_EQ(s.partParams.sectorsPerCluster, 8u);
    EXPECT_EQ(s.partParams.clusterBase, 800u);
    EXPECT_EQ(s.partParams.mftStart, 800u + 4 * 8);
    EXPECT_EQ(s.partParams.mftMirrStart, 800u + 8 * 8);
    EXPECT_EQ(s.partParams.sectorsPerFileRecord, 8u);  // 4096-byte records
    EXPECT_EQ(s.partParams.sectorsPerIndexRecord, 8u);
  }
}

TEST(SectorSize, Fat16ParametersOf4kSectorsCountIn512ByteUnits) {
  CraftedDisk d(4096);
  // 1 reserved sector, 2 FATs of 3 sectors, 512 root entries (16 KiB: 4 sectors), 1 sector
  // per cluster -- mkfs.fat -S 4096 -s 1 makes this.
  d.Fat16(800, 1, 1, 512, 3);
  StateSectorSize(d, 800, 4096);
  d.Byte(800 + 1, 0, 0);  // where a 512-byte reading would look for FAT #1
  d.Byte(800 + 1 * k4k, 0, 0xF8);
  RecoverySession s;
  Select(s, d.Install(), 800, 4000, "FAT16", 4096);
  ASSERT_EQ(ReadBootSectorParameters(s), 1);
  EXPECT_EQ(s.partParams.sectorsPerCluster, 8u);
  EXPECT_EQ(s.partParams.reservedSectors, 8u);
  EXPECT_EQ(s.partParams.fatSizeSectors, 24u);
  EXPECT_EQ(s.partParams.fat1Start, 808u);
  EXPECT_EQ(s.partParams.fat2Start, 832u);
  EXPECT_EQ(s.partParams.rootDirStart, 856u);
  EXPECT_EQ(s.partParams.rootDirSectors, 32u);
  EXPECT_EQ(s.partParams.clusterBase, 856u + 32 - 2 * 8);
}

TEST(SectorSize, BootSectorOfAnUnusableSizeGivesNoParameters) {
  for (std::uint16_t bytes : {0, 3000}) {
    CraftedDisk d(4096);
    Ntfs4k(d, 800, 256);
    StateSectorSize(d, 800, bytes);
    StateSectorSize(d, 800 + 255 * k4k, bytes);
    RecoverySession s;
    Select(s, d.Install(), 800, 2848, "NTFS", 512);
    s.partParams.mftStart = 77;
    EXPECT_EQ(ReadBootSectorParameters(s), 0) << bytes;
    EXPECT_EQ(s.partParams.mftStart, 77u) << bytes;
  }
}

}  // namespace
}  // namespace brevant

namespace brevant {
namespace {

TEST(SectorSize, LostVolumesOf4kSectorsAreFoundWithTheirExtentIn512ByteUnits) {
  const auto image = test::FixtureImage("mbr_4k");
  if (image.empty()) GTEST_SKIP() << "fixture mbr_4k missing";
  std::string bytes = test::ReadFileBytes(image);
  ASSERT_GT(bytes.size(), 512u);
  std::fill_n(bytes.begin() + 446, 64, '\0');  // the table is wiped, the volumes stay
  const std::string path = test::InstallMemoryDisk(bytes);
  std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> found;
  for (const auto& v : SearchLostVolumes(path, bytes.size() / 512, {}, VolumeSearchOptions{}))
    found.emplace_back(v.fsName, v.startSector, v.endSector);
  // The FAT volume ends where its own sector count (4 KiB sectors) says: mkfs.fat leaves the
  // partition's last few sectors out.
  const std::uint64_t fatBoot = 14336 * 512;
  const std::uint64_t fatTotal = static_cast<std::uint8_t>(bytes[fatBoot + 19]) |
                                 static_cast<std::uint8_t>(bytes[fatBoot + 20]) << 8;
  ASSERT_GT(fatTotal, 4300u);
  const std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> expected = {
      {"NTFS", 2048, 14336}, {"FAT16", 14336, 14336 + fatTotal * 8}};
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace brevant

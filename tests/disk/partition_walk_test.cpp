// The partition-table walk on crafted disks: MBR, extended chain, GPT, whole-disk volumes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <set>

#include "core/text.h"
#include "crafted_disk.h"
#include "disk/disks.h"

namespace brevant {
namespace {

using test::CraftedDisk;

struct Found {
  std::string fs;
  std::uint64_t start;
  std::uint64_t end;
  bool operator==(const Found&) const = default;
};

void PrintTo(const Found& f, std::ostream* os) { *os << f.fs << " " << f.start << ".." << f.end; }

constexpr char16_t kDiskPath[] = u"My Computer\\disk\\";

struct Walked {
  RecoverySession session;
  ui::ResultTree tree;
  ui::TreeItem* diskItem = nullptr;
  std::vector<Found> found;
};

// Walks the disk at `path` as disk `d`, and checks that the record and the tree agree.
std::unique_ptr<Walked> Walk(const std::string& path, int d = 0) {
  auto w = std::make_unique<Walked>();
  w->session.EnsureDisk(static_cast<std::size_t>(d));
  w->session.devicePath[static_cast<std::size_t>(d)] = path;
  w->diskItem = ui::InsertTreePath(w->tree, kDiskPath);
  WalkPartitionTable(w->session, w->tree, d, kDiskPath);
  const DriveRecord& r = w->session.driveRecords[static_cast<std::size_t>(d)];
  EXPECT_EQ(r.diskIndex, d);
  EXPECT_EQ(static_cast<std::size_t>(r.partitionCount), r.partitions.size());
  EXPECT_EQ(r.fsName.size(), r.partitions.size());
  EXPECT_EQ(w->diskItem->children.size(), r.partitions.size());
  for (std::size_t i = 0; i < r.partitions.size(); ++i) {
    w->found.push_back({r.fsName[i], r.partitions[i].startSector, r.partitions[i].endSector});
    std::u16string label = u"Partition - " + ToText(i + 1) + u" ( " + Widen(r.fsName[i]) + u" )";
    if (i < w->diskItem->children.size()) {
      EXPECT_EQ(w->diskItem->children[i]->text, label);
      EXPECT_EQ(w->diskItem->children[i].get(), r.partitions[i].treeItem);
    }
  }
  return w;
}

std::vector<Found> WalkFound(const CraftedDisk& disk) { return Walk(disk.Install())->found; }

// A logical partition inside an extended boot record at `ebr`, with the next record at `link`
// (relative to the extended base); link 0 ends the chain.
void Ebr(CraftedDisk& disk, std::uint64_t ebr, std::uint8_t type, std::uint32_t first,
         std::uint32_t count, std::uint32_t link, std::uint8_t linkType = 0x05) {
  disk.Entry(ebr, 0, type, first, count);
  if (link != 0) disk.Entry(ebr, 1, linkType, link, 300);
  disk.Signature(ebr);
}

struct WalkCase {
  const char* name;
  std::function<void(CraftedDisk&)> build;
  std::vector<Found> expected;
};

// An exFAT boot sector: its name at 3, no BIOS parameter block, its sizes as shifts.
void ExfatBootSector(CraftedDisk& d, std::uint64_t sector, std::uint64_t volumeSectors) {
  d.Text(sector, 3, "EXFAT   ");
  test::Put64(d.bytes, d.At(sector, 72), volumeSectors);
  d.Byte(sector, 108, 9);
  d.Byte(sector, 109, 3);
  d.Signature(sector);
}

const WalkCase kWalkCases[] = {
    {"Type07HoldingExfatIsExfat",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 100);
       d.Signature(0);
       ExfatBootSector(d, 100, 100);
     },
     {{"exFAT", 100, 200}}},
    {"GptBasicDataHoldingExfat",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}, {200, 299}});
       ExfatBootSector(d, 100, 100);
       d.Ntfs(200, 100, 8, 2, 4);
     },
     {{"exFAT", 100, 200}, {"NTFS", 200, 300}}},
    {"WholeDiskExfat", [](CraftedDisk& d) { ExfatBootSector(d, 0, 4096); }, {{"exFAT", 0, 4096}}},

    {"FourPrimariesByTypeByte",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x06, 100, 100);
       d.Entry(0, 1, 0x0B, 200, 100);
       d.Entry(0, 2, 0x07, 300, 100);
       d.Entry(0, 3, 0x0C, 400, 100);
       d.Signature(0);
     },
     {{"FAT16", 100, 200}, {"FAT32", 200, 300}, {"NTFS", 300, 400}, {"FAT32", 400, 500}}},
    {"TypesFourAndFourteenAreFat16",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x04, 100, 50);
       d.Entry(0, 1, 0x0E, 200, 50);
       d.Signature(0);
     },
     {{"FAT16", 100, 150}, {"FAT16", 200, 250}}},
    {"SignatureFirstByteAloneSuffices",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 100);
       d.Signature(0, true, false);
     },
     {{"NTFS", 100, 200}}},
    {"SignatureSecondByteAloneSuffices",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 100);
       d.Signature(0, false, true);
     },
     {{"NTFS", 100, 200}}},
    {"NoSignatureNoPartitions", [](CraftedDisk& d) { d.Entry(0, 0, 0x07, 100, 100); }, {}},
    {"BootSectorOverridesTypeByte",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 100);
       d.Fat32(100);
       d.Entry(0, 1, 0x0C, 300, 100);
       d.Ntfs(300, 100, 8, 4, 8);
       d.Entry(0, 2, 0x0B, 500, 100);
       d.Fat16(500);
       d.Signature(0);
     },
     {{"FAT32", 100, 200}, {"NTFS", 300, 400}, {"FAT16", 500, 600}}},
    {"UnknownTypeWithoutTextTakesNoNumber",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x83, 100, 100);
       d.Entry(0, 1, 0x07, 300, 100);
       d.Signature(0);
     },
     {{"NTFS", 300, 400}}},
    {"UnknownTypeWithTextIsRecognised",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x83, 100, 100);
       d.Fat16(100);
       d.Signature(0);
     },
     {{"FAT16", 100, 200}}},
    {"TypeOneIsFat12",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x01, 100, 100);
       d.Signature(0);
     },
     {{"FAT12", 100, 200}}},
    // The cluster count decides between FAT12 and FAT16, not the label at 54: 487 clusters
    // of 4 sectors in 2000 sectors, 9987 in 40000.
    {"FewClustersMakeFat12WhateverTheLabel",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x06, 100, 2000);
       d.Fat16(100);
       test::Put16(d.bytes, d.At(100, 19), 2000);
       d.Signature(0);
     },
     {{"FAT12", 100, 2100}}},
    {"ManyClustersMakeFat16WhateverTheLabel",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x01, 100, 3000);
       d.Fat16(100);
       d.Text(100, 54, "FAT12   ");
       test::Put16(d.bytes, d.At(100, 19), 40000);
       d.Signature(0);
     },
     {{"FAT16", 100, 3100}}},
    {"ExtendedChainOfThreeLogicals",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x0C, 100, 100);
       d.Entry(0, 1, 0x0F, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 200);
       Ebr(d, 1200, 0x01, 63, 100, 400);  // FAT12 in the chain as in the MBR
       Ebr(d, 1400, 0x07, 63, 100, 0);
     },
     {{"FAT32", 100, 200}, {"FAT16", 1063, 1163}, {"FAT12", 1263, 1363}, {"NTFS", 1463, 1563}}},
    {"TypeOneInChainCountsWhenItsBootSectorSaysFat16",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x0F, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x01, 63, 100, 0);
       d.Fat16(1063);
     },
     {{"FAT16", 1063, 1163}}},
    {"TypeOneInMbrCountsWhenItsBootSectorSaysFat16",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x01, 100, 100);
       d.Fat16(100);
       d.Signature(0);
     },
     {{"FAT16", 100, 200}}},
    {"ChainLinkBackToFirstRecordEnds",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 200);
       d.Entry(1200, 0, 0x07, 63, 100);
       d.Entry(1200, 1, 0x05, 0, 300);  // back to the first record
     },
     {{"FAT16", 1063, 1163}, {"NTFS", 1263, 1363}}},
    {"ChainLinkToItselfEnds",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 200);
       Ebr(d, 1200, 0x07, 63, 100, 200);
     },
     {{"FAT16", 1063, 1163}, {"NTFS", 1263, 1363}}},
    {"ChainLinkOffTheDiskEnds",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 0xFFFFFF00u);
     },
     {{"FAT16", 1063, 1163}}},
    {"ExtendedBaseAtSectorZeroIsNoChain",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 100);
       d.Entry(0, 1, 0x05, 0, 2000);
       d.Signature(0);
     },
     {{"NTFS", 100, 200}}},
    {"OnlyFirstTwoEntriesOfAnExtendedRecord",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 0);
       d.Entry(1000, 2, 0x07, 300, 100);
       d.Entry(1000, 3, 0x0B, 500, 100);
     },
     {{"FAT16", 1063, 1163}}},
    {"LinkInTheThirdOrFourthEntryIsFollowed",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 0);
       d.Entry(1000, 2, 0x05, 200, 300);  // the link, in the third entry
       Ebr(d, 1200, 0x07, 63, 100, 0);
       d.Entry(1200, 3, 0x0F, 400, 300);  // and in the fourth
       Ebr(d, 1400, 0x0B, 63, 100, 0);
     },
     {{"FAT16", 1063, 1163}, {"NTFS", 1263, 1363}, {"FAT32", 1463, 1563}}},
    {"LinkInTheSecondEntryWinsOverOnesFurtherOn",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 200);
       d.Entry(1000, 2, 0x05, 400, 300);  // a leftover the second entry overrides
       Ebr(d, 1200, 0x07, 63, 100, 0);
       Ebr(d, 1400, 0x0B, 63, 100, 0);
     },
     {{"FAT16", 1063, 1163}, {"NTFS", 1263, 1363}}},
    {"LinkInTheThirdEntryBackToTheFirstRecordEnds",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 100, 0);
       d.Entry(1000, 2, 0x05, 0, 300);
     },
     {{"FAT16", 1063, 1163}}},
    {"RecognisedEntryIsNeverExtended",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 200);
       d.Fat16(1000);
       d.Entry(1000, 0, 0x07, 63, 100);  // would be a logical if 1000 were walked as a record
     },
     {}},
    {"LastExtendedEntryWins",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 500);
       d.Entry(0, 1, 0x0F, 2000, 500);
       d.Signature(0);
       Ebr(d, 1000, 0x07, 63, 100, 0);
       Ebr(d, 2000, 0x06, 63, 100, 0);
     },
     {{"FAT16", 2063, 2163}}},
    {"LogicalBootSectorOverridesType",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 2000);
       d.Signature(0);
       Ebr(d, 1000, 0x07, 63, 100, 0);
       d.Fat32(1063);
     },
     {{"FAT32", 1063, 1163}}},
    {"WholeDiskFat32IgnoresBootCodeAsEntries",
     [](CraftedDisk& d) {
       d.Fat32(0);
       d.Text(0, 430, "Remove disks or other media.\xFF\r\nDisk error\xFF\r\nPress any key");
       d.Entry(0, 3, 0x07, 100, 100);  // the boot code's bytes hold an entry-like pattern too
     },
     {{"FAT32", 0, 4096}}},
    {"StaleBootSectorUnderANewTable",
     [](CraftedDisk& d) {
       d.Fat32(0);  // the disk was one FAT32 volume, then partitioned and formatted
       d.Entry(0, 0, 0x0C, 2048, 1000);
       d.Byte(0, 446, 0x80);
       d.Fat32(2048);
     },
     {{"FAT32", 2048, 3048}}},
    {"StaleBootSectorUnderANewExtendedTable",
     [](CraftedDisk& d) {
       d.Fat16(0);
       d.Entry(0, 0, 0x05, 1000, 1000);
       Ebr(d, 1000, 0x07, 63, 100, 0);
     },
     {{"NTFS", 1063, 1163}}},
    {"StaleBootSectorUnderANewGpt",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}});
       d.Fat32(100);
       d.Fat32(0, 8, 32, 16, 2, false);
       d.Entry(0, 0, 0xEE, 1, 4095);  // the protective entry, which Fat32 left in place
     },
     {{"FAT32", 100, 200}}},
    {"StaleBootSectorOverAnEmptyNewPartitionIsWholeDisk",
     [](CraftedDisk& d) {
       d.Fat32(0);  // partitioned, not formatted yet: the old volume is what there is to find
       d.Entry(0, 0, 0x0C, 2048, 1000);
     },
     {{"FAT32", 0, 4096}}},
    {"StaleBootSectorWithMalformedEntryIsWholeDisk",
     [](CraftedDisk& d) {
       d.Ntfs(0, 4096, 8, 4, 8);
       d.Entry(0, 0, 0x07, 100, 100);
       d.Byte(0, 446, 0x41);  // no boot flag is 0x41
     },
     {{"NTFS", 0, 4096}}},
    {"StaleBootSectorWithEntryOffTheDiskIsWholeDisk",
     [](CraftedDisk& d) {
       d.Fat16(0);
       d.Entry(0, 0, 0x06, 9000, 100);
     },
     {{"FAT16", 0, 4096}}},
    {"WholeDiskFat16", [](CraftedDisk& d) { d.Fat16(0); }, {{"FAT16", 0, 4096}}},
    {"WholeDiskNtfs", [](CraftedDisk& d) { d.Ntfs(0, 4096, 8, 4, 8); }, {{"NTFS", 0, 4096}}},
    {"BootTextWithImplausibleSectorSizeIsATable",
     [](CraftedDisk& d) {
       d.Fat32(0, 8, 32, 16, 2, false);
       test::Put16(d.bytes, 11, 3000);
       d.Entry(0, 0, 0x07, 100, 100);
     },
     {{"NTFS", 100, 200}}},
    {"BootTextWithImplausibleClusterSizeIsATable",
     [](CraftedDisk& d) {
       d.Ntfs(0, 4096, 8, 4, 8);
       d.Byte(0, 13, 3);
       d.Entry(0, 0, 0x0C, 100, 100);
     },
     {{"FAT32", 100, 200}}},
    {"GptThreePartitionsRecognisedByBootSector",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}, {200, 299}, {300, 399}, {400, 499}});
       d.Fat32(100);
       d.Ntfs(200, 100, 8, 2, 4);
       d.Fat16(300);  // 400 carries no file system text and is skipped
     },
     {{"FAT32", 100, 200}, {"NTFS", 200, 300}, {"FAT16", 300, 400}}},
    {"GptPrimaryHeaderDestroyedUsesBackup",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}, {200, 299}});
       d.Fat32(100);
       d.Fat16(200);
       std::fill_n(d.bytes.begin() + 512, 512, '\0');
     },
     {{"FAT32", 100, 200}, {"FAT16", 200, 300}}},
    {"GptPrimaryHeaderCrcWrongUsesBackup",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}});
       d.Fat32(100);
       d.Byte(1, 48, 0x77);  // last usable LBA changed, CRC not updated
       // and a different primary entry that must not be believed
       test::Put64(d.bytes, d.At(2, 32), 300);
       test::Put64(d.bytes, d.At(2, 40), 399);
       d.Fat16(300);
     },
     {{"FAT32", 100, 200}}},
    {"GptPrimaryEntriesDamagedUsesBackup",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}, {200, 299}});
       d.Fat32(100);
       d.Fat16(200);
       test::Put64(d.bytes, d.At(2, 32), 150);  // primary entry 0 moved, its CRC now wrong
     },
     {{"FAT32", 100, 200}, {"FAT16", 200, 300}}},
    {"GptBothCopiesDamagedFallsBackToMbr",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}});
       d.Fat32(100);
       std::fill_n(d.bytes.begin() + 512, 512, '\0');
       std::fill_n(d.bytes.begin() + static_cast<std::ptrdiff_t>(d.At(4095)), 512, '\0');
       d.Entry(0, 1, 0x07, 300, 100);  // a hybrid MBR entry
     },
     {{"NTFS", 300, 400}}},
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class WalkTable : public ::testing::TestWithParam<WalkCase> {};

TEST_P(WalkTable, FindsExactlyTheExpectedPartitions) {
  CraftedDisk disk(4096);
  GetParam().build(disk);
  EXPECT_EQ(WalkFound(disk), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, WalkTable, ::testing::ValuesIn(kWalkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PartitionWalk, GptHeaderAskingForAHugeEntryArrayIsNotTrusted) {
  CraftedDisk disk(4096);
  disk.Gpt({{100, 199}});
  disk.Fat32(100);
  // A primary header whose own CRC is right but which claims a million entries.
  std::string h = disk.bytes.substr(512, 512);
  test::Put32(h, 80, 1000000);
  test::Put32(h, 16, 0);
  test::Put32(h, 16, CraftedDisk::Crc(h.data(), 92));
  disk.bytes.replace(512, 512, h);
  EXPECT_FALSE(
      disk::ParseGptHeader(disk::Bytes(reinterpret_cast<const unsigned char*>(h.data()), 512), 1));
  EXPECT_EQ(WalkFound(disk), (std::vector<Found>{{"FAT32", 100, 200}}));  // from the backup
}

TEST(PartitionWalk, Crc32MatchesTheStandardCheckValue) {
  const std::string text = "123456789";
  EXPECT_EQ(CraftedDisk::Crc(text.data(), text.size()), 0xCBF43926u);
  EXPECT_EQ(CraftedDisk::Crc(text.data(), 0), 0u);
}

// A chain of `records` extended boot records, each with one FAT16 logical.
CraftedDisk LongChain(int records) {
  CraftedDisk disk(100 + static_cast<std::uint64_t>(records) * 4 + 8);
  disk.Entry(0, 0, 0x05, 100, static_cast<std::uint32_t>(records) * 4);
  disk.Signature(0);
  for (int i = 0; i < records; ++i) {
    std::uint64_t ebr = 100 + static_cast<std::uint64_t>(i) * 4;
    Ebr(disk, ebr, 0x06, 1, 3, i + 1 < records ? static_cast<std::uint32_t>(i + 1) * 4 : 0);
  }
  return disk;
}

bool HaveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(PartitionWalk, StickFormattedWholeThenPartitionedBySfdisk) {
  if (!HaveTool("mkfs.fat") || !HaveTool("sfdisk"))
    GTEST_SKIP() << "mkfs.fat or sfdisk is not installed";
  // sfdisk in a script keeps the old FAT32 boot sector around its new table; the new partition
  // is then formatted in place.
  const std::string image = (test::TempDir() / "restick.img").string();
  const std::string make = "truncate -s 64M '" + image + "' && mkfs.fat -F 32 '" + image +
                           "' >/dev/null && printf 'label: dos\\n2048,40000,c\\n' | sfdisk -q '" +
                           image + "' && mkfs.fat -F 32 --offset 2048 '" + image +
                           "' 20000 >/dev/null";
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  EXPECT_EQ(Walk(image)->found, (std::vector<Found>{{"FAT32", 2048, 42048}}));
}

TEST(PartitionWalk, MoreThanTwentySixPartitionsAreAllListed) {
  auto w = Walk(LongChain(40).Install());
  ASSERT_EQ(w->found.size(), 40u);
  EXPECT_EQ(w->found[39], (Found{"FAT16", 100 + 39 * 4 + 1, 100 + 39 * 4 + 4}));
  EXPECT_EQ(w->diskItem->children[39]->text, u"Partition - 40 ( FAT16 )");
}

TEST(PartitionWalk, ChainEndsAfter128Records) {
  auto found = Walk(LongChain(200).Install())->found;
  ASSERT_EQ(found.size(), 128u);
  EXPECT_EQ(found.back().start, 100u + 127 * 4 + 1);
}

TEST(PartitionWalk, UnreadableExtendedRecordEndsTheChainWithoutRepeats) {
  CraftedDisk disk(4096);
  disk.Entry(0, 0, 0x05, 1000, 2000);
  disk.Signature(0);
  Ebr(disk, 1000, 0x06, 63, 100, 200);
  Ebr(disk, 1200, 0x07, 63, 100, 0);
  auto inner = std::make_shared<platform::MemoryDevice>(disk.bytes);
  std::string path = test::InstallDevice(
      std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{1200}));
  EXPECT_EQ(Walk(path)->found, (std::vector<Found>{{"FAT16", 1063, 1163}}));
}

TEST(PartitionWalk, UnreadableBootSectorLeavesTheTypeByteToDecide) {
  CraftedDisk disk(4096);
  disk.Entry(0, 0, 0x07, 100, 100);
  disk.Fat32(100);
  disk.Entry(0, 1, 0x83, 300, 100);
  disk.Fat16(300);
  disk.Signature(0);
  auto inner = std::make_shared<platform::MemoryDevice>(disk.bytes);
  std::string path = test::InstallDevice(
      std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{100, 300}));
  EXPECT_EQ(Walk(path)->found, (std::vector<Found>{{"NTFS", 100, 200}}));
}

TEST(PartitionWalk, UnreadableDiskHasNoPartitions) {
  CraftedDisk disk(64);
  disk.Entry(0, 0, 0x07, 10, 10);
  disk.Signature(0);
  auto inner = std::make_shared<platform::MemoryDevice>(disk.bytes);
  std::string path = test::InstallDevice(
      std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{0}));
  EXPECT_TRUE(Walk(path)->found.empty());
}

TEST(PartitionWalk, WalkingAgainReplacesTheRecord) {
  CraftedDisk disk(4096);
  disk.Entry(0, 0, 0x07, 100, 100);
  disk.Signature(0);
  auto w = Walk(disk.Install());
  WalkPartitionTable(w->session, w->tree, 0, kDiskPath);
  EXPECT_EQ(w->session.driveRecords[0].partitionCount, 1);
  EXPECT_EQ(w->session.driveRecords[0].partitions.size(), 1u);
  EXPECT_EQ(w->diskItem->children.size(), 1u);  // the same node is found again
}

TEST(PartitionWalk, DiskPathWithoutTrailingBackslashStillNestsPartitions) {
  CraftedDisk disk(4096);
  disk.Entry(0, 0, 0x07, 100, 100);
  disk.Signature(0);
  RecoverySession s;
  ui::ResultTree tree;
  s.EnsureDisk(0);
  s.devicePath[0] = disk.Install();
  ui::TreeItem* diskItem = ui::InsertTreePath(tree, u"My Computer\\disk\\");
  WalkPartitionTable(s, tree, 0, u"My Computer\\disk");
  ASSERT_EQ(diskItem->children.size(), 1u);
  EXPECT_EQ(diskItem->children[0]->text, u"Partition - 1 ( NTFS )");
}

// An entry reaching beyond the end of the disk is read up to that end, or to where the next
// partition of a table starts; the table's own end and a note say so.
struct BeyondCase {
  const char* name;
  std::function<void(CraftedDisk&)> build;
  std::vector<Found> expected;
  std::vector<std::uint64_t> tableEnds;  // per partition, 0 when the table's end was kept
  std::vector<const char*> notes;        // a part of each note, "" when there is none
};

const BeyondCase kBeyondCases[] = {
    {"MbrEntryOfAllSectorsStopsAtTheNextPartition",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 0xFFFFFFFFu);
       d.Entry(0, 1, 0x07, 1000, 100);
       d.Signature(0);
     },
     {{"NTFS", 100, 1000}, {"NTFS", 1000, 1100}},
     {100 + 0xFFFFFFFFull, 0},
     {"ends at sector 4294967395, beyond the end of the disk (4096 sectors); it is read up to "
      "sector 1000, where the next partition starts",
      ""}},
    {"NextStartOfAnyEntryCountsEvenUnrecognisedOnes",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 0xFFFFFFFFu);
       d.Entry(0, 1, 0x83, 700, 100);  // a Linux partition takes no number but still ends it
       d.Signature(0);
     },
     {{"NTFS", 100, 700}},
     {100 + 0xFFFFFFFFull},
     {"read up to sector 700, where"}},
    {"LastEntryStopsAtTheEndOfTheDisk",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 100);
       d.Entry(0, 1, 0x06, 3000, 5000);
       d.Signature(0);
     },
     {{"NTFS", 100, 200}, {"FAT16", 3000, 4096}},
     {0, 8000},
     {"", "it is read up to sector 4096"}},
    {"LogicalStopsAtTheNextExtendedRecord",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x05, 1000, 3000);
       d.Signature(0);
       Ebr(d, 1000, 0x06, 63, 0xFFFF0000u, 200);
       Ebr(d, 1200, 0x07, 63, 100, 0);
     },
     {{"FAT16", 1063, 1200}, {"NTFS", 1263, 1363}},
     {1063 + 0xFFFF0000ull, 0},
     {"read up to sector 1200, where", ""}},
    {"EntryStartingBeyondTheDiskIsEmpty",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 100);
       d.Entry(0, 1, 0x07, 9000, 100);
       d.Signature(0);
     },
     {{"NTFS", 100, 200}, {"NTFS", 9000, 9000}},
     {0, 9100},
     {"", "puts it at sector 9000, beyond the end of the disk (4096 sectors): nothing of it"}},
    {"VolumeThatFitsUnderAnEntryThatDoesNotIsReadToTheDisksEnd",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 0xFFFFFFFFu);
       d.NtfsBootSector(100, 800, 8, 4, 8);
       d.Signature(0);
     },
     {{"NTFS", 100, 4096}},
     {100 + 0xFFFFFFFFull},
     {"it is read up to sector 4096"}},
    {"VolumeCutShortWithTheDiskKeepsItsEntry",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 8000);
       d.NtfsBootSector(100, 8000, 8, 4, 8);  // the volume reaches as far as its entry
       d.Signature(0);
     },
     {{"NTFS", 100, 8100}},
     {8100},
     {"ends at sector 8100, beyond the end of the disk (4096 sectors), and so does its volume: "
      "the disk or image ends early"}},
    {"OverlapInsideTheDiskIsLeftAsTheTableGivesIt",
     [](CraftedDisk& d) {
       d.Entry(0, 0, 0x07, 100, 2000);
       d.Entry(0, 1, 0x07, 1000, 100);
       d.Signature(0);
     },
     {{"NTFS", 100, 2100}, {"NTFS", 1000, 1100}},
     {0, 0},
     {"", ""}},
    {"GptEntryBeyondTheDiskStopsAtTheNextEntry",
     [](CraftedDisk& d) {
       d.Gpt({{100, (1ull << 40) - 1}, {500, 599}});
       d.Ntfs(100, 400, 8, 4, 8);
       d.Fat16(500);
     },
     {{"NTFS", 100, 500}, {"FAT16", 500, 600}},
     {1ull << 40, 0},
     {"ends at sector 1099511627776, beyond the end of the disk (4096 sectors); it is read up "
      "to sector 500, where the next partition starts",
      ""}},
    {"LastGptEntryStopsAtTheEndOfTheDisk",
     [](CraftedDisk& d) {
       d.Gpt({{100, 199}, {200, (1ull << 40) - 1}});
       d.Fat32(100);
       d.Ntfs(200, 400, 8, 4, 8);
     },
     {{"FAT32", 100, 200}, {"NTFS", 200, 4096}},
     {0, 1ull << 40},
     {"", "it is read up to sector 4096"}},
};

void PrintTo(const BeyondCase& c, std::ostream* os) { *os << c.name; }

class BeyondTheDisk : public ::testing::TestWithParam<BeyondCase> {};

TEST_P(BeyondTheDisk, IsReadUpToTheDiskOrTheNextPartition) {
  const BeyondCase& c = GetParam();
  CraftedDisk disk(4096);
  c.build(disk);
  auto w = Walk(disk.Install());
  EXPECT_EQ(w->found, c.expected);
  const DriveRecord& r = w->session.driveRecords[0];
  ASSERT_EQ(r.partitions.size(), c.tableEnds.size());
  for (std::size_t i = 0; i < r.partitions.size(); ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(r.partitions[i].tableEndSector, c.tableEnds[i]);
    if (*c.notes[i] == '\0')
      EXPECT_EQ(r.partitions[i].note, "");
    else
      EXPECT_NE(r.partitions[i].note.find(c.notes[i]), std::string::npos) << r.partitions[i].note;
    EXPECT_EQ(r.partitions[i].problem, "") << "it can still be scanned";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BeyondTheDisk, ::testing::ValuesIn(kBeyondCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PartitionWalk, SectorNumbersBeyond32Bits) {
  // A 4 TiB disk whose GPT puts an NTFS volume past sector 2^32. Only the primary GPT is
  // written: it is intact, so the backup is never looked for.
  const std::uint64_t sectors = 8ull << 30;
  const std::uint64_t start = 5'000'000'000ull;
  CraftedDisk head(34);
  head.Entry(0, 0, 0xEE, 1, 0xFFFFFFFF);
  head.Signature(0);
  std::string array(128 * 128, '\0');
  array[0] = 1;  // any non-zero type GUID
  test::Put64(array, 32, start);
  test::Put64(array, 40, start + 999);
  head.WriteGptCopy(1, sectors - 1, 2, array);
  auto sparse = std::make_shared<test::SparseDevice>(sectors);
  sparse->Place(0, head);
  CraftedDisk volume(1000);
  volume.Ntfs(0, 1000, 8, 4, 8);
  sparse->Place(start, volume);
  EXPECT_EQ(Walk(test::InstallDevice(sparse))->found,
            (std::vector<Found>{{"NTFS", start, start + 1000}}));

  // A whole-disk volume spans the disk's own size.
  auto whole = std::make_shared<test::SparseDevice>(sectors);
  CraftedDisk boot(16);
  boot.Ntfs(0, 16, 8, 1, 1);
  whole->Place(0, boot);
  EXPECT_EQ(Walk(test::InstallDevice(whole))->found, (std::vector<Found>{{"NTFS", 0, sectors}}));
}

}  // namespace
}  // namespace brevant

// The search for volumes no table lists: boot sectors checked field by field, primaries at the
// usual alignments, backups (FAT32 six sectors in, NTFS in the last sector), overlaps, the deep
// search with its progress and Stop, and the automatic search of a disk whose table is empty.
#include "disk/volume_search.h"

#include <gtest/gtest.h>

#include "core/text.h"
#include "disk/disks.h"
#include "test_support.h"

namespace brevant {
namespace {

using test::Put16;
using test::Put32;
using test::Put64;

// A FAT32 boot sector as mkfs.fat writes it (512-byte clusters), and its backup at +6.
void Fat32(std::string& d, std::uint64_t at, std::uint32_t total, bool primary = true,
           bool backup = true) {
  for (std::uint64_t s : {at, at + 6}) {
    if ((s == at && !primary) || (s != at && !backup)) continue;
    const std::size_t b = s * 512;
    d[b] = static_cast<char>(0xEB), d[b + 1] = 0x58, d[b + 2] = static_cast<char>(0x90);
    d.replace(b + 3, 8, "mkfs.fat");
    Put16(d, b + 11, 512);
    d[b + 13] = 1;
    Put16(d, b + 14, 32);
    d[b + 16] = 2;
    d[b + 21] = static_cast<char>(0xF8);
    Put32(d, b + 28, static_cast<std::uint32_t>(at));
    Put32(d, b + 32, total);
    Put32(d, b + 36, (total / 128) + 1);
    Put32(d, b + 44, 2);
    Put16(d, b + 50, 6);
    d.replace(b + 82, 8, "FAT32   ");
    d[b + 510] = 0x55, d[b + 511] = static_cast<char>(0xAA);
  }
}

// An NTFS boot sector at `at` for a volume of `sectors` (backup included) starting at `start`.
void Ntfs(std::string& d, std::uint64_t at, std::uint64_t start, std::uint64_t sectors) {
  const std::size_t b = at * 512;
  d[b] = static_cast<char>(0xEB), d[b + 1] = 0x52, d[b + 2] = static_cast<char>(0x90);
  d.replace(b + 3, 8, "NTFS    ");
  Put16(d, b + 11, 512);
  d[b + 13] = 8;
  d[b + 21] = static_cast<char>(0xF8);
  Put32(d, b + 28, static_cast<std::uint32_t>(start));
  Put64(d, b + 40, sectors - 1);
  Put64(d, b + 48, 4);
  Put64(d, b + 56, (sectors / 8) / 2);
  d[b + 64] = static_cast<char>(0xF6);
  d[b + 68] = 1;
  d[b + 510] = 0x55, d[b + 511] = static_cast<char>(0xAA);
}

std::string Disk(std::uint64_t sectors) { return std::string(sectors * 512, '\0'); }

using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t, bool>> Search(
    const std::string& bytes, const Ranges& listed = {}, VolumeSearchOptions options = {}) {
  const std::string path = test::InstallMemoryDisk(bytes);
  std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t, bool>> out;
  for (const auto& v : SearchLostVolumes(path, bytes.size() / 512, listed, options))
    out.emplace_back(v.fsName, v.startSector, v.endSector, v.fromBackup);
  return out;
}

TEST(BootSectorCheck, EveryFieldMustDescribeAVolume) {
  struct Case {
    const char* what;
    std::size_t offset;
    int value;  // byte written at offset; -1 leaves the sector as made
    bool valid;
  };
  const Case cases[] = {
      {"as mkfs.fat writes it", 0, -1, true}, {"no jump instruction", 0, 0x00, false},
      {"2816-byte sectors", 12, 0x0B, false}, {"3 sectors per cluster", 13, 3, false},
      {"no reserved sectors", 14, 0, false},  {"three FATs", 16, 3, false},
      {"no signature", 511, 0x00, false},     {"a FAT too small for its clusters", 37, 0x00, false},
  };
  for (const Case& c : cases) {
    std::string d = Disk(200000);
    Fat32(d, 0, 199000);
    if (c.value >= 0) d[c.offset] = static_cast<char>(c.value);
    if (std::string(c.what) == "a FAT too small for its clusters") Put32(d, 36, 10);
    BootSectorFacts f;
    EXPECT_EQ(DescribeBootSector(reinterpret_cast<const std::uint8_t*>(d.data()), f), c.valid)
        << c.what;
    if (c.valid) {
      EXPECT_EQ(f.fsName, "FAT32");
      EXPECT_EQ(f.volumeSectors, 199000u);
    }
  }
  std::string n = Disk(2);
  Ntfs(n, 0, 0, 16384);
  BootSectorFacts f;
  ASSERT_TRUE(DescribeBootSector(reinterpret_cast<const std::uint8_t*>(n.data()), f));
  EXPECT_EQ(f.fsName, "NTFS");
  EXPECT_EQ(f.volumeSectors, 16384u) << "the backup in the last sector belongs to the volume";
  Put64(n, 48, 1u << 20);  // the MFT beyond the volume
  EXPECT_FALSE(DescribeBootSector(reinterpret_cast<const std::uint8_t*>(n.data()), f));
}

TEST(VolumeSearch, FindsPrimariesAndBackupsAtTheUsualPlaces) {
  std::string d = Disk(300000);
  Fat32(d, 2048, 80000);                     // 1 MiB aligned
  Ntfs(d, 90112 + 16384 - 1, 90112, 16384);  // first sector gone: only the backup is left
  Fat32(d, 16065 * 8, 70000, false, true);   // cylinder aligned, primary gone, backup at +6
  const auto found = Search(d);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0], std::make_tuple(std::string("FAT32"), 2048u, 82048u, false));
  EXPECT_EQ(found[1], std::make_tuple(std::string("NTFS"), 90112u, 106496u, true));
  EXPECT_EQ(found[2], std::make_tuple(std::string("FAT32"), 128520u, 198520u, true));
}

TEST(VolumeSearch, ListedPartitionsAndBetterCandidatesWin) {
  std::string d = Disk(300000);
  Fat32(d, 2048, 80000);
  Fat32(d, 4096, 10000);  // a stale boot sector inside the first volume, from elsewhere
  Put32(d, 4096 * 512 + 28, 63);
  Put32(d, 4102 * 512 + 28, 63);
  Fat32(d, 100352, 50000);
  EXPECT_EQ(Search(d, {{100352, 150352}}).size(), 1u) << "the listed one is not found again";
  const auto found = Search(d);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(std::get<1>(found[0]), 2048u) << "the boot sector naming its own start wins";
  // A volume that would run past the end of the disk is no volume.
  std::string small = Disk(50000);
  Fat32(small, 2048, 80000);
  EXPECT_TRUE(Search(small).empty());
}

TEST(VolumeSearch, TheDeepSearchLooksAtEverySectorWithProgressAndStop) {
  std::string d = Disk(100000);
  Fat32(d, 5001, 70000);  // nowhere usual
  EXPECT_TRUE(Search(d).empty());
  RecordingView view;
  VolumeSearchOptions deep;
  deep.deep = true;
  deep.view = &view;
  deep.batchSectors = 1000;
  const auto found = Search(d, {}, deep);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(std::get<1>(found[0]), 5001u);
  EXPECT_EQ(view.ProgressValues().back(), 100);
  EXPECT_NE(view.StatusTexts().back().find(u"100000 of 100000 sectors swept"),
            std::u16string::npos);

  std::atomic<std::int32_t> stop{1};
  deep.stop = &stop;
  EXPECT_TRUE(Search(d, {}, deep).empty()) << "a stop before the volume is reached finds nothing";
}

TEST(VolumeSearch, TheSearchNobodyAskedForLooksNearTheStartAndAfterEachVolume) {
  std::string d = Disk(180000);
  Fat32(d, 2048, 20000);
  Fat32(d, 22528, 20000);
  Fat32(d, 174080, 5000);  // more than 64 MiB after the last volume's end
  VolumeSearchOptions nearby;
  nearby.nearby = true;
  const auto found = Search(d, {}, nearby);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(std::get<1>(found[1]), 22528u);
  EXPECT_EQ(Search(d).size(), 3u) << "asked for, the search covers the whole disk";
}

TEST(VolumeSearch, ADiskWhoseTableListsNothingIsSearchedAtOnce) {
  std::string d = Disk(120000);
  d[510] = 0x55, d[511] = static_cast<char>(0xAA);  // a table with every entry zeroed
  Fat32(d, 2048, 80000);
  const std::string path = test::InstallMemoryDisk(d);
  RecoverySession session;
  ui::ResultTree tree;
  platform::DiskFacts facts;
  facts.deviceName = path;
  facts.label = "wiped";
  facts.heads = 255;
  facts.sectorsPerTrack = 63;
  const int k = AddDisk(session, tree, facts);
  const DriveRecord& r = session.driveRecords[static_cast<std::size_t>(k)];
  ASSERT_EQ(r.partitionCount, 1);
  EXPECT_EQ(r.fsName[0], "FAT32");
  EXPECT_TRUE(r.partitions[0].found);
  EXPECT_EQ(r.partitions[0].startSector, 2048u);
  ASSERT_TRUE(r.partitions[0].treeItem);
  EXPECT_EQ(r.partitions[0].treeItem->text, u"Partition - 1 ( FAT32 ) found");
  // Searching again adds nothing: what was found is now listed.
  EXPECT_EQ(AddFoundVolumes(session, tree, k, {}), 0);
  EXPECT_TRUE(SelectPartition(session, k, 1));
  EXPECT_EQ(session.selectedPartitionStart, 2048u);
}

}  // namespace
}  // namespace brevant

// The extensive FAT scan on a crafted FAT32 whose FATs are zeroed: a directory followed past
// its first cluster, stray entries found in a cluster nothing accounts for, a chainless file
// said to be read from consecutive clusters, and the quick scan left as it was.
#include "fat/stray_entries.h"

#include <gtest/gtest.h>

#include "fat_test_util.h"

namespace brevant {
namespace {

using fattest::CraftedVolume;
using fattest::DotEntries;
using fattest::Entries;
using fattest::FindByName;
using fattest::Layout;
using fattest::Name83;
using fattest::ShortEntryBytes;

// 4 sectors (2048 bytes) per cluster: 64 entries per cluster.
struct ZeroedFatVolume {
  CraftedVolume v{Layout{}};
  ZeroedFatVolume() {
    v.WriteDirectory({2},
                     {ShortEntryBytes(Name83("DOCS", ""), 0x10, 10, 0),
                      ShortEntryBytes(Name83("A", "TXT"), 0x20, 20, 100)},
                     false);
    // DOCS fills its first cluster and goes on in the next one.
    std::vector<std::string> docs{DotEntries(10, 0)};
    for (int i = 0; i < 62; ++i)
      docs.push_back(ShortEntryBytes(Name83("F" + std::to_string(i), "TXT"), 0x20, 100 + i, 10));
    docs.push_back(ShortEntryBytes(Name83("LATE", "TXT"), 0x20, 30, 5000));
    v.WriteDirectory({10, 11}, docs, false);
    // A later cluster of some directory whose first cluster is lost.
    v.WriteDirectory({40},
                     {ShortEntryBytes(Name83("STRAY", "TXT"), 0x20, 50, 100),
                      ShortEntryBytes(Name83("BOGUS", "TXT"), 0x20, 999999, 100)},
                     false);
    for (std::uint32_t c = 2; c < 1002; ++c) v.SetFat(c, 0);
  }
};

std::vector<fattest::Found> Scan(CraftedVolume& v, bool extensive, std::uint32_t batch = 0) {
  RecoverySession s;
  RecordingView view;
  fattest::Select(s, v);
  FatReadOptions options;
  options.extensive = extensive;
  options.batchSectors = batch;
  fattest::ScanSelected(s, view, options);
  return Entries(s.catalogue);
}

TEST(ExtensiveFatScan, FollowsDirectoriesPastTheirChainAndFindsStrayEntries) {
  ZeroedFatVolume z;
  const auto quick = Scan(z.v, false);
  EXPECT_EQ(FindByName(quick, "LATE.TXT"), nullptr) << "the quick scan stays as it was";
  EXPECT_EQ(FindByName(quick, "STRAY.TXT"), nullptr);

  for (std::uint32_t batch : {0u, 1u}) {
    const auto all = Scan(z.v, true, batch);
    const auto* late = FindByName(all, "LATE.TXT");
    ASSERT_NE(late, nullptr) << batch;
    EXPECT_EQ(late->parentId, "10") << "the cluster after DOCS's first is still DOCS";
    const auto* stray = FindByName(all, "STRAY.TXT");
    ASSERT_NE(stray, nullptr);
    EXPECT_EQ(stray->parentId, std::to_string(fat::kLostFolderId));
    EXPECT_EQ(FindByName(all, "BOGUS.TXT"), nullptr) << "no cluster of this volume";
    // Everything the quick scan found is still there.
    for (const auto& q : quick) EXPECT_NE(FindByName(all, q.name), nullptr) << q.name;
  }
}

// Deleted empty files of one name and time in several folders (an app's empty marker file in
// each): stray ones are all listed, not taken for copies of the first; garbage of size 0 is not.
TEST(ExtensiveFatScan, EmptyStrayEntriesAreAllKept) {
  ZeroedFatVolume z;
  auto empty = Name83("xMPTY", "TXT");
  empty[0] = 0xE5;
  const std::string deletedEmpty = ShortEntryBytes(empty, 0x20, 0, 0);
  std::vector<std::string> docs{DotEntries(10, 0), deletedEmpty};
  for (int i = 0; i < 61; ++i)
    docs.push_back(ShortEntryBytes(Name83("F" + std::to_string(i), "TXT"), 0x20, 100 + i, 10));
  docs.push_back(ShortEntryBytes(Name83("LATE", "TXT"), 0x20, 30, 5000));
  z.v.WriteDirectory({10, 11}, docs, false);
  for (std::uint32_t c : {40u, 45u})
    z.v.WriteDirectory({c},
                       {ShortEntryBytes(Name83("S" + std::to_string(c), "TXT"), 0x20, c + 10, 100),
                        deletedEmpty,
                        ShortEntryBytes(Name83("BADDATE", "TXT"), 0x20, 0, 0, 0x5A21 | (15 << 5))},
                       false);
  for (std::uint32_t batch : {0u, 1u}) {
    const auto all = Scan(z.v, true, batch);
    int empties = 0;
    for (const auto& f : all)
      if (f.name == "_MPTY.TXT") {
        ++empties;
        EXPECT_EQ(f.deleted, "1");
        EXPECT_EQ(f.size, "0");
      }
    EXPECT_EQ(empties, 3) << "one in DOCS and one in each stray cluster (batch " << batch << ")";
    ASSERT_NE(FindByName(all, "S40.TXT"), nullptr);
    ASSERT_NE(FindByName(all, "S45.TXT"), nullptr);
    EXPECT_EQ(FindByName(all, "BADDATE.TXT"), nullptr) << "month 15";
  }
}

TEST(ExtensiveFatScan, ChainlessFilesAreMarked) {
  ZeroedFatVolume z;
  RecoverySession s;
  RecordingView view;
  fattest::Select(s, z.v);
  FatReadOptions options;
  options.extensive = true;
  fattest::ScanSelected(s, view, options);
  for (const CatalogueNode* n = s.catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    const std::u16string_view name(n->name), spare(n->spareText);
    // LATE.TXT needs three clusters and its first one is free: read as consecutive clusters.
    if (name == u"LATE.TXT") {
      EXPECT_EQ(spare, fat::kChainGoneMark);
    }
    // One cluster needs no chain.
    if (name == u"A.TXT") {
      EXPECT_EQ(spare, u"0");
    }
  }
}

TEST(StrayEntries, OnlyEntriesThatDescribeThisVolumeAreKept) {
  fat::FatVolume v;
  v.kind = fat::FatKind::Fat32;
  v.sectorsPerCluster = 4;
  v.lastCluster = 1001;
  struct Case {
    const char* what;
    std::uint8_t attributes;
    std::uint32_t cluster, size;
    bool kept;
    std::uint16_t date = 0x5A21, time = 0x6000;
  };
  const Case cases[] = {
      {"a file", 0x20, 10, 5000, true},
      {"an empty file without a cluster", 0x20, 0, 0, true},
      {"a file with no cluster", 0x20, 0, 10, false},
      {"a file past the volume", 0x20, 2000, 10, false},
      {"a file larger than the volume", 0x20, 10, 3000000, false},
      {"a folder", 0x10, 12, 0, true},
      {"a folder with a size", 0x10, 12, 100, false},
      {"a folder without a cluster", 0x10, 0, 0, false},
      {"an empty file with a cluster past the volume", 0x20, 5000, 0, false},
      {"an empty file in month 13", 0x20, 0, 0, false, (45 << 9) | (13 << 5) | 1, 0x6000},
      {"an empty file on day 0", 0x20, 0, 0, false, 0x5A20, 0x6000},
      {"an empty file at 25 o'clock", 0x20, 0, 0, false, 0x5A21, 25 << 11},
      {"an empty file at 60 minutes", 0x20, 0, 0, false, 0x5A21, 60 << 5},
      {"an empty file at 60 seconds", 0x20, 0, 0, false, 0x5A21, 30},
      {"an empty file with a time but no date", 0x20, 0, 0, false, 0, 0x6000},
      {"an empty file without date or time", 0x20, 0, 0, true, 0, 0},
      {"a file with an impossible date", 0x20, 10, 5000, false, (45 << 9) | (13 << 5) | 1, 0x6000},
  };
  for (const Case& c : cases) {
    auto e = fat::ParseShortEntry(
        {reinterpret_cast<const std::uint8_t*>(
             ShortEntryBytes(Name83("X", "TXT"), c.attributes, c.cluster, c.size, c.date, c.time)
                 .data()),
         32});
    ASSERT_TRUE(e);
    EXPECT_EQ(fat::PlausibleStrayEntry(*e, v), c.kept) << c.what;
  }
}

}  // namespace
}  // namespace brevant

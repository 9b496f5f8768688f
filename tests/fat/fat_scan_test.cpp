// ScanFatClusters on crafted volumes: what each directory entry becomes in the catalogue.
#include <gtest/gtest.h>

#include "fat_test_util.h"

namespace brevant::fattest {
namespace {

Layout Small32() {
  Layout l;
  l.fat32 = true;
  l.partStart = 63;
  l.sectorsPerCluster = 4;
  l.reserved = 32;
  l.fatSize = 16;
  l.clusters = 1000;
  return l;
}

struct ScanResult {
  std::vector<Found> all;
  RecordingView view;
};

std::unique_ptr<ScanResult> Scan(CraftedVolume& v, int codePage = 850, std::uint32_t batch = 0,
                                 RecoverySession* keep = nullptr) {
  auto r = std::make_unique<ScanResult>();
  RecoverySession own;
  RecoverySession& s = keep ? *keep : own;
  Select(s, v);
  s.oemCodePage = codePage;
  FatReadOptions options;
  options.batchSectors = batch;
  ScanSelected(s, r->view, options);
  r->all = Entries(s.catalogue);
  return r;
}

std::vector<Found> ChildrenOf(const std::vector<Found>& all, const std::string& parent) {
  std::vector<Found> out;
  for (const auto& f : all)
    if (f.parentId == parent) out.push_back(f);
  return out;
}

// A volume whose root holds one folder DIR7 at cluster 7, which holds `entries` after "." and "..".
CraftedVolume VolumeWithDir7(const std::vector<std::string>& entries) {
  CraftedVolume v(Small32());
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("TESTVOL", ""), 0x08, 0, 0),
                         ShortEntryBytes(Name83("DIR7", ""), 0x10, 7, 0)});
  std::vector<std::string> all{DotEntries(7, 0)};
  all.insert(all.end(), entries.begin(), entries.end());
  v.WriteDirectory({7}, all);
  return v;
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::string& b) {
  a.push_back(b);
  return a;
}

struct EntryCase {
  const char* what;
  std::vector<std::string> entries;
  const char* name;  // nullptr: nothing catalogued
  const char* type;
  const char* deleted;
  int codePage = 850;
};

TEST(FatScan, DirectoryEntries) {
  const auto reportShort = Name83("REPORT~1", "DOC");
  auto mismatched = LongEntries(u"Report 2024.doc", reportShort);
  mismatched[1][13] = static_cast<char>(mismatched[1][13] + 1);
  auto deletedLong = LongEntries(u"Old Draft Version.txt", Name83("OLDDRA~1", "TXT"));
  for (auto& e : deletedLong) e[0] = static_cast<char>(0xE5);
  auto deletedShort = Name83("OLDDRA~1", "TXT");
  deletedShort[0] = 0xE5;
  auto withE5 = Name83("xOTES", "TXT");
  withE5[0] = 0xE5;
  auto withControl = Name83("AB\x01", "TXT");
  auto withQuestion = Name83("AB?", "TXT");
  auto withAuml = Name83("\x8E" "PFEL", "TXT");
  auto withCent = Name83("\x9B", "TXT");
  auto kanjiLead = Name83("\x05" "BC", "TXT");
  const std::vector<EntryCase> cases = {
      {"long name joined to its short entry",
       Concat(LongEntries(u"Report 2024.doc", reportShort), ShortEntryBytes(reportShort, 0x20, 40, 5000)),
       "Report 2024.doc", "FILE", "NULL"},
      {"8.3 name without a long name", {ShortEntryBytes(Name83("NOTES", "TXT"), 0x20, 40, 10)}, "NOTES.TXT", "FILE", "NULL"},
      {"no extension is still a file", {ShortEntryBytes(Name83("MAKEFILE", ""), 0x20, 40, 10)}, "MAKEFILE", "FILE", "NULL"},
      {"one-letter extension is still a file", {ShortEntryBytes(Name83("MAIN", "H"), 0x20, 40, 10)}, "MAIN.H", "FILE", "NULL"},
      {"directory bit makes a folder", {ShortEntryBytes(Name83("SUB", "TXT"), 0x10, 40, 0)}, "SUB.TXT", "FOLDER", "NULL"},
      {"deleted short entry", {ShortEntryBytes(withE5, 0x20, 40, 10)}, "_OTES.TXT", "FILE", "1"},
      {"deleted entry keeps its deleted long name",
       Concat(deletedLong, ShortEntryBytes(deletedShort, 0x20, 40, 10)), "Old Draft Version.txt", "FILE", "1"},
      {"long name whose checksum does not match", Concat(mismatched, ShortEntryBytes(reportShort, 0x20, 40, 5000)),
       "REPORT~1.DOC", "FILE", "NULL"},
      {"long name of exactly 13 characters",
       Concat(LongEntries(u"Thirteen char", Name83("THIRTE~1", "")), ShortEntryBytes(Name83("THIRTE~1", ""), 0x20, 40, 1)),
       "Thirteen char", "FILE", "NULL"},
      {"OEM byte 0x8E in code page 850", {ShortEntryBytes(withAuml, 0x20, 40, 1)}, "\xC3\x84PFEL.TXT", "FILE", "NULL"},
      {"OEM byte 0x9B in code page 850", {ShortEntryBytes(withCent, 0x20, 40, 1)}, "\xC3\xB8.TXT", "FILE", "NULL"},
      {"OEM byte 0x9B in code page 437", {ShortEntryBytes(withCent, 0x20, 40, 1)}, "\xC2\xA2.TXT", "FILE", "NULL", 437},
      {"0x05 stands for a first byte 0xE5", {ShortEntryBytes(kanjiLead, 0x20, 40, 1)}, "\xC3\x95" "BC.TXT", "FILE", "NULL"},
      {"lower-case flags on name and extension",
       {ShortEntryBytes(Name83("README", "TXT"), 0x20, 40, 1, 0x5A21, 0x6000, 0x18)}, "readme.txt", "FILE", "NULL"},
      {"lower-case flag on the name only",
       {ShortEntryBytes(Name83("README", "TXT"), 0x20, 40, 1, 0x5A21, 0x6000, 0x08)}, "readme.TXT", "FILE", "NULL"},
      {"lower-case flag on an OEM letter",
       {ShortEntryBytes(Name83("CAF\x90", "TXT"), 0x20, 40, 1, 0x5A21, 0x6000, 0x18)}, "caf\xC3\xA9.txt", "FILE", "NULL"},
      {"a blank inside the name stays", {ShortEntryBytes(Name83("MY FILE", "TXT"), 0x20, 40, 1)}, "MY FILE.TXT", "FILE", "NULL"},
      {"control character", {ShortEntryBytes(withControl, 0x20, 40, 1)}, nullptr, nullptr, nullptr},
      {"forbidden character", {ShortEntryBytes(withQuestion, 0x20, 40, 1)}, nullptr, nullptr, nullptr},
      {"volume label", {ShortEntryBytes(Name83("LABEL", ""), 0x08, 0, 0)}, nullptr, nullptr, nullptr},
      {"after the end mark", {std::string(32, '\0'), ShortEntryBytes(Name83("LATE", "TXT"), 0x20, 40, 1)}, nullptr, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    CraftedVolume v = VolumeWithDir7(c.entries);
    auto r = Scan(v, c.codePage);
    auto kids = ChildrenOf(r->all, "7");
    if (!c.name) {
      EXPECT_TRUE(kids.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(kids.size(), 1u) << c.what;
    EXPECT_EQ(kids[0].name, c.name) << c.what;
    EXPECT_EQ(kids[0].type, c.type) << c.what;
    EXPECT_EQ(kids[0].deleted, c.deleted) << c.what;
    EXPECT_EQ(kids[0].id, "40") << c.what;
  }
}

TEST(FatScan, FieldsOfAnEntry) {
  CraftedVolume v = VolumeWithDir7({ShortEntryBytes(Name83("NOTES", "TXT"), 0x21, 0x12345, 4321, 0x5A21, 0x6003)});
  auto r = Scan(v);
  const Found* f = FindByName(r->all, "NOTES.TXT");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->sector, std::to_string(v.ClusterSector(7)));  // the entry's own sector
  EXPECT_EQ(f->id, std::to_string(0x12345));                 // high and low halves
  EXPECT_EQ(f->parentId, "7");
  EXPECT_EQ(f->date, std::to_string(0x5A21));
  EXPECT_EQ(f->time, std::to_string(0x6003));
  EXPECT_EQ(f->size, "4321");
  EXPECT_EQ(f->attributes, "33");
  const Found* dir = FindByName(r->all, "DIR7");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir->parentId, "0");  // the root directory's entries
  EXPECT_EQ(dir->sector, std::to_string(v.ClusterSector(2)));
  // Running numbers: 2 for the first entry, then one more for each.
  std::vector<int> seq;
  for (const auto& e : r->all) seq.push_back(e.sequence);
  std::sort(seq.begin(), seq.end());
  ASSERT_EQ(seq.size(), 2u);
  EXPECT_EQ(seq[0], 2);
  EXPECT_EQ(seq[1], 3);
}

TEST(FatScan, LongNameAcrossSectorAndClusterBoundaries) {
  // Sector boundary: 15 entries fill the first sector after "." and ".."; the long name's
  // entries end the first sector and its short entry begins the second.
  std::vector<std::string> entries;
  for (int i = 0; i < 12; ++i)
    entries.push_back(ShortEntryBytes(Name83("F" + std::to_string(i), "TXT"), 0x20, 50 + i, 1));
  const auto shortName = Name83("ALONGN~1", "TXT");
  auto lfn = LongEntries(u"A long name crossing a sector.txt", shortName);  // 3 entries
  ASSERT_EQ(lfn.size(), 3u);
  for (auto& e : lfn) entries.push_back(e);
  entries.push_back(ShortEntryBytes(shortName, 0x20, 90, 1));
  // Cluster boundary: DIR7 continues at cluster 20; 48 entries fill cluster 7's 4 sectors.
  while (entries.size() + 2 < 64 - 2) entries.push_back(ShortEntryBytes(Name83("PAD" + std::to_string(entries.size()), ""), 0x20, 0, 0));
  const auto shortName2 = Name83("CLUSTE~1", "BIN");
  auto lfn2 = LongEntries(u"Across clusters.bin", shortName2);  // 2 entries
  for (auto& e : lfn2) entries.push_back(e);
  entries.push_back(ShortEntryBytes(shortName2, 0x20, 91, 1));
  CraftedVolume v(Small32());
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("DIR7", ""), 0x10, 7, 0)});
  std::vector<std::string> all{DotEntries(7, 0)};
  all.insert(all.end(), entries.begin(), entries.end());
  v.WriteDirectory({7, 20}, all);
  auto r = Scan(v);
  const Found* a = FindByName(r->all, "A long name crossing a sector.txt");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->sector, std::to_string(v.ClusterSector(7) + 1));
  const Found* b = FindByName(r->all, "Across clusters.bin");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->parentId, "7");
  EXPECT_EQ(b->sector, std::to_string(v.ClusterSector(20)));
}

TEST(FatScan, AFolderOfManyEntriesComesOutWhole) {
  // 150 files with long names over a chain of non-consecutive clusters.
  CraftedVolume v(Small32());
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("BIG", ""), 0x10, 30, 0)});
  std::vector<std::string> entries{DotEntries(30, 0)};
  for (int i = 0; i < 150; ++i) {
    std::string base = "FILE~" + std::to_string(i);
    auto sn = Name83(base.substr(0, 8), "TXT");
    std::u16string longName = u"File number " + Widen(std::to_string(i)) + u".txt";
    for (auto& e : LongEntries(longName, sn)) entries.push_back(e);
    entries.push_back(ShortEntryBytes(sn, 0x20, 200 + i, 100));
  }
  // 152 + 300 entries of 32 bytes need 8 clusters of 2 KiB.
  v.WriteDirectory({30, 31, 45, 46, 47, 12, 90, 91}, entries);
  auto r = Scan(v);
  auto kids = ChildrenOf(r->all, "30");
  EXPECT_EQ(kids.size(), 150u);
  for (int i = 0; i < 150; ++i)
    EXPECT_NE(FindByName(kids, "File number " + std::to_string(i) + ".txt"), nullptr) << i;
  // Cluster 12 and 90 begin with long-name entries: they are found as part of the chain, not
  // once more as loose clusters.
  EXPECT_EQ(r->all.size(), 151u);
}

TEST(Fat16Scan, RootAndDirectoryStartsAreDecoded) {
  Layout l;
  l.fat32 = false;
  l.partStart = 2048;
  l.reserved = 1;
  l.fatSize = 8;
  l.rootEntries = 512;
  l.sectorsPerCluster = 4;
  l.clusters = 2000;
  CraftedVolume v(l);
  v.WriteRoot16({ShortEntryBytes(Name83("MYVOL", ""), 0x08, 0, 0), ShortEntryBytes(Name83("DOCS", ""), 0x10, 5, 0),
                 ShortEntryBytes(Name83("ROOT", "TXT"), 0x20, 9, 100)});
  v.WriteDirectory({5}, {DotEntries(5, 0), ShortEntryBytes(Name83("INNER", "TXT"), 0x20, 10, 50)});
  auto r = Scan(v);
  ASSERT_EQ(r->all.size(), 3u);
  EXPECT_EQ(FindByName(r->all, "DOCS")->parentId, "0");
  EXPECT_EQ(FindByName(r->all, "ROOT.TXT")->parentId, "0");
  EXPECT_EQ(FindByName(r->all, "ROOT.TXT")->sector, std::to_string(v.RootStart()));
  EXPECT_EQ(FindByName(r->all, "INNER.TXT")->parentId, "5");
}

TEST(FatScan, DeletedDirectoryWithItsContinuation) {
  CraftedVolume v(Small32());
  auto gone = Name83("xRASH", "");
  gone[0] = 0xE5;
  v.WriteDirectory({2}, {ShortEntryBytes(gone, 0x10, 50, 0)});
  std::vector<std::string> entries{DotEntries(50, 0)};
  for (int i = 0; i < 80; ++i) {
    auto n = Name83("xF" + std::to_string(i), "DAT");
    n[0] = 0xE5;
    entries.push_back(ShortEntryBytes(n, 0x20, 300 + i, 10));
  }
  v.WriteDirectory({50, 51}, entries, false);  // a deleted directory: its FAT entries are free
  auto r = Scan(v);
  const Found* trash = FindByName(r->all, "_RASH");
  ASSERT_NE(trash, nullptr);
  EXPECT_EQ(trash->deleted, "1");
  EXPECT_EQ(trash->id, "50");
  auto kids = ChildrenOf(r->all, "50");
  EXPECT_EQ(kids.size(), 80u);  // 62 in the first cluster, 18 in the one after it
  for (const auto& k : kids) EXPECT_EQ(k.deleted, "1");
}

// A folder deleted as a whole: only its own entry is marked, its clusters (and those of what
// it holds) are free. Everything below it is deleted, however deep, whatever its own entries say.
TEST(FatScan, WhatADeletedFolderHoldsIsDeleted) {
  CraftedVolume v(Small32());
  auto trash = Name83("xRASH", "");
  trash[0] = 0xE5;
  auto old = Name83("xLD", "");
  old[0] = 0xE5;
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("LIVE", ""), 0x10, 7, 0),
                         ShortEntryBytes(trash, 0x10, 50, 0), ShortEntryBytes(old, 0x10, 70, 0)});
  v.WriteDirectory({7}, {DotEntries(7, 0), ShortEntryBytes(Name83("STAYS", "TXT"), 0x20, 8, 1)});
  // TRASH and its SUB are free; neither SUB's entry nor the files' entries are marked.
  v.WriteDirectory({50}, {DotEntries(50, 0), ShortEntryBytes(Name83("SUB", ""), 0x10, 60, 0),
                          ShortEntryBytes(Name83("INSIDE", "TXT"), 0x20, 51, 100)},
                   false);
  v.WriteDirectory({60}, {DotEntries(60, 50), ShortEntryBytes(Name83("DEEP", "TXT"), 0x20, 61, 100),
                          ShortEntryBytes(Name83("EMPTY", "TXT"), 0x20, 0, 0)},
                   false);
  // OLD's entry is deleted but its cluster was left allocated: what it holds is deleted too.
  v.WriteDirectory({70}, {DotEntries(70, 0), ShortEntryBytes(Name83("KEPT", "TXT"), 0x20, 71, 100)});
  // A free directory nothing names any more, with a folder in it.
  v.WriteDirectory({80}, {DotEntries(80, 0), ShortEntryBytes(Name83("NESTED", ""), 0x10, 82, 0)},
                   false);
  v.WriteDirectory({82}, {DotEntries(82, 80), ShortEntryBytes(Name83("LOW", "TXT"), 0x20, 83, 1)},
                   false);
  for (std::uint32_t batch : {0u, 1u}) {
    auto r = Scan(v, 850, batch);
    struct Want {
      const char* name;
      const char* parent;
      const char* deleted;
    };
    for (const Want& w : {Want{"LIVE", "0", "NULL"}, Want{"STAYS.TXT", "7", "NULL"},
                          Want{"_RASH", "0", "1"}, Want{"SUB", "50", "1"},
                          Want{"INSIDE.TXT", "50", "1"}, Want{"DEEP.TXT", "60", "1"},
                          Want{"EMPTY.TXT", "60", "1"}, Want{"_LD", "0", "1"},
                          Want{"KEPT.TXT", "70", "1"}, Want{"NESTED", "80", "1"},
                          Want{"LOW.TXT", "82", "1"}}) {
      const Found* f = FindByName(r->all, w.name);
      ASSERT_NE(f, nullptr) << w.name;
      EXPECT_EQ(f->parentId, w.parent) << w.name;
      EXPECT_EQ(f->deleted, w.deleted) << w.name << " (batch " << batch << ")";
    }
  }
}

TEST(FatScan, FoundOnlyByContent) {
  CraftedVolume v(Small32());
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("LIVE", ""), 0x10, 7, 0)});
  v.WriteDirectory({7}, {DotEntries(7, 0), ShortEntryBytes(Name83("KEEP", "TXT"), 0x20, 8, 1)});
  // A copy of cluster 7 kept elsewhere, with one entry the original no longer has.
  v.WriteDirectory({60}, {DotEntries(7, 0), ShortEntryBytes(Name83("KEEP", "TXT"), 0x20, 8, 1),
                          ShortEntryBytes(Name83("OLDONE", "TXT"), 0x20, 9, 1)},
                   false);
  // A second copy of the same: its entries are not added twice.
  v.WriteDirectory({61}, {DotEntries(7, 0), ShortEntryBytes(Name83("OLDONE", "TXT"), 0x20, 9, 1)}, false);
  // A directory nothing names any more (its entry was overwritten).
  v.WriteDirectory({70}, {DotEntries(70, 0), ShortEntryBytes(Name83("ORPHAN", "TXT"), 0x20, 11, 1)}, false);
  // A cluster that begins with a long name: a later cluster of some lost directory.
  auto sn = Name83("LOOSEF~1", "TXT");
  auto lfn = LongEntries(u"Loose file.txt", sn);
  v.WriteDirectory({80}, {lfn[0], lfn[1], ShortEntryBytes(sn, 0x20, 12, 1)}, false);
  auto r = Scan(v);
  const std::string lost = "268435455";
  // The copy adds only what the catalogue did not already hold, under Lost.
  int keeps = 0, oldOnes = 0;
  for (const auto& f : r->all) {
    keeps += f.name == "KEEP.TXT";
    oldOnes += f.name == "OLDONE.TXT";
  }
  EXPECT_EQ(keeps, 1);
  EXPECT_EQ(oldOnes, 1);
  ASSERT_NE(FindByName(r->all, "OLDONE.TXT"), nullptr);
  EXPECT_EQ(FindByName(r->all, "OLDONE.TXT")->parentId, lost);
  // The unnamed directory keeps its entries together in a folder of its own under Lost.
  ASSERT_NE(FindByName(r->all, "ORPHAN.TXT"), nullptr);
  EXPECT_EQ(FindByName(r->all, "ORPHAN.TXT")->parentId, "70");
  const Found* holder = FindByName(r->all, "Folder at cluster 70");
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(holder->parentId, lost);
  EXPECT_EQ(holder->deleted, "1");
  ASSERT_NE(FindByName(r->all, "Loose file.txt"), nullptr);
  EXPECT_EQ(FindByName(r->all, "Loose file.txt")->parentId, lost);
}

TEST(FatScan, DeletedFolderWhoseClusterALiveFolderTookOver) {
  CraftedVolume v(Small32());
  auto gone = Name83("xLD", "");
  gone[0] = 0xE5;
  v.WriteDirectory({2}, {ShortEntryBytes(gone, 0x10, 7, 0), ShortEntryBytes(Name83("NEW", ""), 0x10, 7, 0)});
  v.WriteDirectory({7}, {DotEntries(7, 0), ShortEntryBytes(Name83("NEWFILE", "TXT"), 0x20, 8, 1)});
  auto r = Scan(v);
  EXPECT_EQ(FindByName(r->all, "_LD")->id, "0");  // its contents are gone
  EXPECT_EQ(FindByName(r->all, "NEW")->id, "7");
  EXPECT_EQ(FindByName(r->all, "NEWFILE.TXT")->parentId, "7");
}

TEST(FatScan, HostileVolumeEndsCleanly) {
  CraftedVolume v(Small32());
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("A", ""), 0x10, 7, 0),
                         ShortEntryBytes(Name83("HUGE", "BIN"), 0x20, 0x0FFFFFF0, 0xFFFFFFFF),
                         ShortEntryBytes(Name83("ZERO", "BIN"), 0x20, 0, 12345)});
  // A directory whose chain loops, holding a subdirectory that points back at its parent
  // and one that points at itself.
  v.WriteDirectory({7, 8}, {DotEntries(7, 0), ShortEntryBytes(Name83("B", ""), 0x10, 9, 0)});
  v.SetFat(8, 7);
  v.WriteDirectory({9}, {DotEntries(9, 7), ShortEntryBytes(Name83("BACK", ""), 0x10, 7, 0),
                         ShortEntryBytes(Name83("SELF", ""), 0x10, 9, 0)});
  // The FAT chain of the root loops too.
  v.SetFat(2, 2);
  auto r = Scan(v);
  EXPECT_NE(FindByName(r->all, "HUGE.BIN"), nullptr);
  EXPECT_NE(FindByName(r->all, "BACK"), nullptr);
  EXPECT_EQ(ChildrenOf(r->all, "9").size(), 2u);
  EXPECT_EQ(ChildrenOf(r->all, "7").size(), 1u);
  // The tree builds and ends too.
  RecoverySession s;
  Select(s, v);
  RecordingView view;
  ScanSelected(s, view);
  ui::ResultTree tree;
  EXPECT_EQ(BuildFatResultTree(s, view, tree), 1);
  EXPECT_LT(tree.treeFolderList.size(), 20u);
}

TEST(FatScan, GarbageEverywhereEndsCleanly) {
  CraftedVolume v(Small32());
  std::string noise = Pattern(v.bytes().size() - v.DataStart() * 512, 9);
  v.PutBytes(v.DataStart() * 512, noise);
  // Some directory starts and long-name starts scattered in the noise.
  for (std::uint32_t c = 3; c < 1000; c += 37) v.PutSector(v.ClusterSector(c), DotEntries(c, 0));
  for (std::uint32_t c = 5; c < 1000; c += 41) v.bytes()[v.ClusterSector(c) * 512 + 11] = 0x0F;
  auto r = Scan(v);
  // Whatever was made of the noise names only real places: the root, Lost or a data cluster.
  for (const auto& f : r->all) {
    const auto parent = std::stoull(f.parentId);
    EXPECT_TRUE(parent == 0 || parent == fat::kLostFolderId || (parent >= 2 && parent <= 1001)) << f.parentId;
  }
  EXPECT_LT(r->all.size(), 1000u * 64);
}

TEST(FatScan, OneSectorReadsGiveTheSameCatalogue) {
 // Small clusters have their first sectors read together, larger ones one by one.
 for (std::uint32_t spc : {1u, 4u, 8u}) {
  Layout layout = Small32();
  layout.sectorsPerCluster = spc;
  CraftedVolume v(layout);
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("LIVE", ""), 0x10, 7, 0), ShortEntryBytes(Name83("ROOT", "TXT"), 0x20, 100, 5000)});
  v.Chain({100, 101, 102});
  v.WriteDirectory({7, 33}, {DotEntries(7, 0), ShortEntryBytes(Name83("KEEP", "TXT"), 0x20, 8, 1)});
  v.WriteDirectory({60}, {DotEntries(7, 0), ShortEntryBytes(Name83("OLDONE", "TXT"), 0x20, 9, 1)}, false);
  v.WriteDirectory({70, 71}, {DotEntries(70, 0), ShortEntryBytes(Name83("ORPHAN", "TXT"), 0x20, 11, 1)}, false);
  auto sn = Name83("LOOSEF~1", "TXT");
  auto lfn = LongEntries(u"Loose file.txt", sn);
  v.WriteDirectory({80}, {lfn[0], ShortEntryBytes(sn, 0x20, 12, 1)}, false);
  auto dump = [&](std::uint32_t batch) {
    std::ostringstream out;
    auto scanned = Scan(v, 850, batch);
    for (const Found& f : scanned->all)
      out << f.name << '|' << f.sector << '|' << f.id << '|' << f.parentId << '|' << f.sequence << '\n';
    return out.str();
  };
  const std::string reference = dump(0);
  EXPECT_NE(reference.find("ORPHAN"), std::string::npos) << spc;
  for (std::uint32_t batch : {1u, 2u, 5u, 8u, 9u, 1000u}) EXPECT_EQ(dump(batch), reference) << batch << " " << spc;
 }
}

// Counts the bytes asked of an in-memory disk.
class CountingDevice : public platform::MemoryDevice {
 public:
  using MemoryDevice::MemoryDevice;
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    bytes += length;
    return MemoryDevice::ReadAt(offset, buffer, length);
  }
  std::atomic<std::uint64_t> bytes{0};
};

// The sweep inspects a cluster's first sector only, and reads whole clusters only for the
// directories it finds.
TEST(FatScan, TheSweepReadsFirstSectorsOnly) {
  for (std::uint32_t spc : {8u, 64u}) {
    Layout l = Small32();
    l.sectorsPerCluster = spc;
    l.clusters = 4000;
    l.fatSize = 32;
    CraftedVolume v(l);
    v.WriteDirectory({2}, {ShortEntryBytes(Name83("DIR", ""), 0x10, 7, 0)});
    v.WriteDirectory({7}, {DotEntries(7, 0), ShortEntryBytes(Name83("A", "TXT"), 0x20, 0, 0)});
    v.WriteDirectory({900}, {DotEntries(900, 0), ShortEntryBytes(Name83("GONE", "TXT"), 0x20, 0, 0)},
                     false);
    auto device = std::make_shared<CountingDevice>(v.bytes());
    const std::string path = "mem://counting" + std::to_string(spc);
    platform::DeviceTable::Instance().Install(path, device);
    RecoverySession s;
    SelectDisk(s, path, l.partStart, v.PartEnd(), "FAT32");
    RecordingView view;
    ASSERT_EQ(FindFatGeometry(s, view), 1);
    device->bytes = 0;
    ScanFatClusters(s, view);
    EXPECT_TRUE(FindByName(Entries(s.catalogue), "GONE.TXT")) << spc;
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(l.clusters) * spc * 512;
    // First sectors (1/spc of the data area), the FAT's chunks and the directories found.
    const std::uint64_t expected = dataBytes / spc + 2 * 64 * 512 + 3 * spc * 512;
    EXPECT_LE(device->bytes.load(), expected) << spc;
    EXPECT_LE(device->bytes.load(), dataBytes / 4) << spc;
  }
}

TEST(FatScan, ProgressFromZeroToHundredWithoutRepeats) {
  Layout l = Small32();
  l.partStart = 100000;  // late on the disk: still 0 at the partition's first sector
  l.clusters = 5000;
  l.fatSize = 40;
  CraftedVolume v(l);
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("A", "TXT"), 0x20, 0, 0)});
  for (std::uint32_t batch : {0u, 1u, 16u}) {
    auto r = Scan(v, 850, batch);
    auto p = r->view.ProgressValues();
    ASSERT_GE(p.size(), 2u);
    EXPECT_EQ(p.front(), 0);
    EXPECT_EQ(p.back(), 100);
    for (std::size_t i = 1; i < p.size(); ++i) EXPECT_GT(p[i], p[i - 1]) << batch;
    auto texts = r->view.StatusTexts();
    for (int percent : p)
      EXPECT_NE(std::find(texts.begin(), texts.end(), ToText(percent) + u" % Completed"), texts.end());
    if (batch == 1) {
      EXPECT_NE(std::find(texts.begin(), texts.end(), u"37 % Completed"), texts.end());
    }
  }
}

TEST(FatScan, StopEndsTheScanByTheStopProtocol) {
  CraftedVolume v(Small32());
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("A", "TXT"), 0x20, 0, 0)});
  RecoverySession s;
  Select(s, v);
  RecordingView view;
  FindFatGeometry(s, view);
  s.stopRequested.store(1);
  s.recoveryThread.store(42);
  ScanFatClusters(s, view);
  EXPECT_EQ(s.stopRequested.load(), 0);
  EXPECT_EQ(s.recoveryThread.load(), 0u);
  auto texts = view.StatusTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), u"Process Aborted...");
  EXPECT_NE(view.ProgressValues().empty() ? 0 : view.ProgressValues().back(), 100);
}

TEST(FatScan, NoDataAreaInsideThePartition) {
  CraftedVolume v(Small32());
  RecoverySession s;
  Select(s, v);
  RecordingView view;
  FindFatGeometry(s, view);
  s.selectedPartitionEnd = v.DataStart();  // the partition ends where cluster 2 would begin
  ScanFatClusters(s, view);
  EXPECT_EQ(s.catalogue.fileList.count.load() + s.catalogue.folderList.count.load(), 0u);
  // Nothing at all to go on: no cluster size.
  RecoverySession empty;
  Select(empty, v);
  ScanFatClusters(empty, view);
  EXPECT_EQ(empty.catalogue.fileList.count.load(), 0u);
}

TEST(FatScan, UnreadableSectorsCountAsNoDirectory) {
  CraftedVolume v(Small32());
  v.WriteDirectory({2}, {ShortEntryBytes(Name83("A", ""), 0x10, 7, 0)});
  v.WriteDirectory({7}, {DotEntries(7, 0), ShortEntryBytes(Name83("X", "TXT"), 0x20, 0, 0)});
  v.WriteDirectory({50}, {DotEntries(50, 0), ShortEntryBytes(Name83("Y", "TXT"), 0x20, 0, 0)}, false);
  auto inner = std::make_shared<platform::MemoryDevice>(v.bytes());
  const std::string path = "mem://unreadable";
  platform::DeviceTable::Instance().Install(
      path, std::make_shared<platform::FaultyDevice>(inner, std::set<std::uint64_t>{v.ClusterSector(50)}));
  RecoverySession s;
  SelectDisk(s, path, v.layout().partStart, v.PartEnd(), "FAT32");
  RecordingView view;
  ScanSelected(s, view);
  auto all = Entries(s.catalogue);
  EXPECT_NE(FindByName(all, "X.TXT"), nullptr);
  EXPECT_EQ(FindByName(all, "Y.TXT"), nullptr);
}

}  // namespace
}  // namespace brevant::fattest

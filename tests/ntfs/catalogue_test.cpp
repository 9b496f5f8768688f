// The catalogue walk and the result tree over a crafted MFT whose records each show one
// behaviour: name spaces, deleted entries, reused parent records, a parent later in the MFT,
// self-parents, extension records, 64-bit sizes, stop requests and progress.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "core/text.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs_builders.h"
#include "model/file_listing.h"

namespace brevant {
namespace {

using test::ntfs::RecordBuilder;
using test::ntfs::VolumeImage;

constexpr std::uint64_t kStart = 1000;
constexpr std::uint64_t kSpc = 8;
constexpr std::int64_t kTime = 133000000000000000LL;
constexpr std::uint64_t kFiveGiB = 5ULL << 30;

// An MFT of 40 records in two extents: records 0..15 at cluster 100, 16..39 at cluster 300.
struct CraftedVolume {
  VolumeImage image{kStart, 8000, kSpc};
  std::uint64_t RecordSector(std::uint64_t n) const {
    return n < 16 ? kStart + 100 * kSpc + 2 * n : kStart + 300 * kSpc + 2 * (n - 16);
  }
  void Put(std::uint64_t n, const std::string& record) {
    image.PutAtSector(RecordSector(n), record);
  }

  CraftedVolume() {
    Put(0,
        RecordBuilder().FileName(u"$MFT", 5, 5, 3).Data({{4, 100}, {6, 200}}, 40 * 1024).Finish());
    Put(5, RecordBuilder(1024, 5, 3).FileName(u".", 5, 5, 3).Finish());
    Put(16, RecordBuilder(1024, 1, 3).FileName(u"Docs", 5, 5, 1).Finish());
    Put(17, RecordBuilder(1024, 1, 1)
                .FileName(u"A-TXT~1.TXT", 16, 1, 2)
                .FileName(u"a.txt", 16, 1, 1, kTime)
                .ResidentData("hello")
                .Finish());
    Put(18, RecordBuilder(1024, 2, 0).FileName(u"gone.txt", 16, 1, 1).ResidentData("bye").Finish());
    // Record 20 held folder "Old" (sequence 2); it was deleted and reused for a file.
    Put(20, RecordBuilder(1024, 3, 1).FileName(u"new.txt", 5, 5, 1).ResidentData("new").Finish());
    Put(21, RecordBuilder(1024, 1, 0).FileName(u"orphan.txt", 20, 2, 1).ResidentData("o").Finish());
    // Folder "Trash" deleted and not reused: its sequence went from 3 to 4 when it was freed.
    Put(22, RecordBuilder(1024, 4, 2).FileName(u"Trash", 5, 5, 1).Finish());
    Put(23,
        RecordBuilder(1024, 1, 0).FileName(u"in trash.txt", 22, 3, 1).ResidentData("t").Finish());
    Put(24,
        RecordBuilder(1024, 1, 1).FileName(u"posix name.txt", 16, 1, 0).ResidentData("p").Finish());
    // A file catalogued before its folder, which lies later in the MFT.
    Put(25, RecordBuilder(1024, 1, 1).FileName(u"early.txt", 30, 1, 1).ResidentData("e").Finish());
    Put(26, RecordBuilder(1024, 1, 3).FileName(u"Loop", 26, 1, 1).Finish());
    // An extension record of record 17 carries a name of its own; it is no entry.
    Put(27, RecordBuilder(1024, 1, 1, 17 | 1ULL << 48).FileName(u"ext.txt", 16, 1, 1).Finish());
    Put(28, RecordBuilder(1024, 1, 1)
                .FileName(u"big.bin", 5, 5, 1)
                .Data({{(kFiveGiB >> 12), 1000}}, kFiveGiB)
                .Finish());
    Put(30, RecordBuilder(1024, 1, 3).FileName(u"Later", 5, 5, 1).Finish());
    Put(31, RecordBuilder(1024, 1, 3).FileName(u"Deep", 30, 1, 1).Finish());
    Put(32, RecordBuilder(1024, 1, 3).FileName(u"Deeper", 31, 1, 1).Finish());
    // Hard links: one record, names in two folders (one of them with a DOS name as well).
    Put(33, RecordBuilder(1024, 1, 1)
                .FileName(u"LINKIN~1.TXT", 16, 1, 2)
                .FileName(u"link in docs.txt", 16, 1, 1)
                .FileName(u"link at root.txt", 5, 5, 1)
                .ResidentData("linked")
                .Finish());
    // Attribute lists that point back at their own records: followed once, never in circles.
    Put(34, RecordBuilder(1024, 1, 1)
                .FileName(u"looped.txt", 5, 5, 1)
                .AttributeList({{0x30, 0, 34, 1, 3}, {0x80, 0, 35, 1, 0}, {0x80, 0, 35, 1, 0}})
                .Finish());
    Put(35, RecordBuilder(1024, 1, 1, 34 | 1ULL << 48)
                .AttributeList({{0x80, 0, 34, 1, 0}, {0x20, 0, 35, 1, 0}})
                .Raw(RecordBuilder::NonResident(0x80, test::ntfs::EncodeRuns({{1, 700}}), 777, 0, 0))
                .Finish());
  }

  void Install(RecoverySession& session) { image.Install(session, RecordSector(0)); }
};

std::map<std::u16string, const CatalogueNode*> ByName(const CatalogueList<CatalogueNode>& list) {
  std::map<std::u16string, const CatalogueNode*> out;
  for (const CatalogueNode* n = list.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    out[n->name] = n;
  return out;
}

std::u16string S(const char16_t* text) { return text; }

class CatalogueWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volume.Install(session);
    BuildMftExtentTable(session, view);
    ASSERT_EQ(session.mftExtents.mftRunCount, 2u);
  }
  CraftedVolume volume;
  RecoverySession session;
  RecordingView view;
};

TEST_F(CatalogueWalkTest, FillsEveryFieldOfEachEntry) {
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  const CatalogueNode* a = files.at(u"a.txt");
  EXPECT_EQ(S(a->sector), ToText(volume.RecordSector(17)));
  EXPECT_EQ(S(a->id), u"17");
  EXPECT_EQ(S(a->parentId), u"16");
  EXPECT_EQ(S(a->date), ToSignedText(kTime));
  EXPECT_EQ(S(a->time), u"0");
  EXPECT_EQ(S(a->size), u"5");
  EXPECT_EQ(S(a->attributes), u"16");
  EXPECT_EQ(S(a->spareText), u"0");
  EXPECT_EQ(S(a->type), u"FILE");
  EXPECT_EQ(S(a->deleted), u"NULL");
  auto folders = ByName(session.catalogue.folderList);
  const CatalogueNode* docs = folders.at(u"Docs");
  EXPECT_EQ(S(docs->type), u"FOLDER");
  EXPECT_EQ(S(docs->size), u"0");
  EXPECT_EQ(S(docs->parentId), u"5");
}

TEST_F(CatalogueWalkTest, TheLostFolderComesFirstAndSharesSequenceOneWithTheFirstFolder) {
  BuildNtfsCatalogue(session, view);
  const CatalogueNode* lost = session.catalogue.folderList.First();
  ASSERT_NE(lost, nullptr);
  EXPECT_EQ(S(lost->name), u"Lost (found by Brevant)");
  EXPECT_EQ(S(lost->sector), u"0");
  EXPECT_EQ(S(lost->id), u"268435455");
  EXPECT_EQ(S(lost->parentId), u"5");
  EXPECT_EQ(S(lost->date), u"0");
  EXPECT_EQ(S(lost->deleted), u"NULL");
  EXPECT_EQ(lost->sequence, 1);
  const CatalogueNode* root = CatalogueList<CatalogueNode>::Next(lost);
  EXPECT_EQ(S(root->name), u".");  // record 5, the first folder of the MFT
  EXPECT_EQ(S(root->id), u"5");
  EXPECT_EQ(S(root->parentId), u"5");
  EXPECT_EQ(root->sequence, 1);
  const CatalogueNode* docs = CatalogueList<CatalogueNode>::Next(root);
  EXPECT_EQ(S(docs->name), u"Docs");
  EXPECT_EQ(docs->sequence, 2);
  // Files carry the folder counter's current value.
  EXPECT_EQ(ByName(session.catalogue.fileList).at(u"a.txt")->sequence, 3);
}

TEST_F(CatalogueWalkTest, NamesFollowTheNameSpaceOrderAndPosixNamesAreKept) {
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  EXPECT_TRUE(files.count(u"a.txt"));
  EXPECT_FALSE(files.count(u"A-TXT~1.TXT"));
  ASSERT_TRUE(files.count(u"posix name.txt"));
  EXPECT_EQ(S(files.at(u"posix name.txt")->parentId), u"16");
  EXPECT_TRUE(files.count(u"$MFT"));
}

TEST_F(CatalogueWalkTest, DeletedEntriesAndParentSequenceChecks) {
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  auto folders = ByName(session.catalogue.folderList);
  EXPECT_EQ(S(files.at(u"gone.txt")->deleted), u"1");
  EXPECT_EQ(S(files.at(u"gone.txt")->parentId), u"16");
  // Its folder's record now holds a file: the orphan goes under Lost, not under new.txt.
  EXPECT_EQ(S(files.at(u"orphan.txt")->parentId), u"268435455");
  EXPECT_EQ(S(files.at(u"orphan.txt")->deleted), u"1");
  // A deleted folder whose record was freed but not reused still holds its files.
  EXPECT_EQ(S(folders.at(u"Trash")->deleted), u"1");
  EXPECT_EQ(S(files.at(u"in trash.txt")->parentId), u"22");
  // A parent that comes later in the MFT is checked once its record was seen.
  EXPECT_EQ(S(files.at(u"early.txt")->parentId), u"30");
  // A folder naming itself as its parent cannot be placed.
  EXPECT_EQ(S(folders.at(u"Loop")->parentId), u"268435455");
}

TEST_F(CatalogueWalkTest, AFileIsListedInEveryFolderThatLinksToIt) {
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  ASSERT_TRUE(files.count(u"link in docs.txt"));
  ASSERT_TRUE(files.count(u"link at root.txt"));
  EXPECT_FALSE(files.count(u"LINKIN~1.TXT"));
  EXPECT_EQ(S(files.at(u"link in docs.txt")->parentId), u"16");
  EXPECT_EQ(S(files.at(u"link at root.txt")->parentId), u"5");
  EXPECT_EQ(S(files.at(u"link at root.txt")->id), u"33");
  EXPECT_EQ(S(files.at(u"link at root.txt")->sector), S(files.at(u"link in docs.txt")->sector));
}

TEST_F(CatalogueWalkTest, AttributeListsThatLoopBackAreFollowedOnce) {
  BuildNtfsCatalogue(session, view);
  std::size_t looped = 0;
  for (auto* n = session.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    if (std::u16string_view(n->name) == u"looped.txt") {
      ++looped;
      EXPECT_EQ(S(n->size), u"777");  // from the data piece in its extension record
    }
  EXPECT_EQ(looped, 1u);
}

TEST_F(CatalogueWalkTest, ExtensionRecordsAreNoEntriesAndSizesAre64Bit) {
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  EXPECT_FALSE(files.count(u"ext.txt"));
  EXPECT_EQ(S(files.at(u"big.bin")->size), u"5368709120");
  EXPECT_EQ(S(files.at(u"big.bin")->sector), ToText(volume.RecordSector(28)));
}

TEST_F(CatalogueWalkTest, ProgressIsReportedOnlyWhenThePercentageChanges) {
  BuildNtfsCatalogue(session, view);
  auto values = view.ProgressValues();
  ASSERT_FALSE(values.empty());
  for (std::size_t i = 1; i < values.size(); ++i) EXPECT_LT(values[i - 1], values[i]);
  EXPECT_EQ(values.back(), 100);
  auto texts = view.StatusTexts();
  EXPECT_EQ(texts.back(), u"100 % Completed");
}

// Requests a stop when the progress reaches a chosen percentage, as a user pressing Stop would.
class StoppingView : public RecordingView {
 public:
  StoppingView(RecoverySession& session, int at) : session_(session), at_(at) {}
  void SetProgress(int percent) override {
    RecordingView::SetProgress(percent);
    if (percent >= at_) session_.stopRequested.store(1);
  }

 private:
  RecoverySession& session_;
  int at_;
};

TEST_F(CatalogueWalkTest, AStopEndsTheWalkAndKeepsWhatWasFound) {
  StoppingView stopping(session, 50);  // 20 of 40 records
  session.recoveryThread.store(7);
  BuildNtfsCatalogue(session, stopping);
  EXPECT_EQ(session.stopRequested.load(), 0);
  EXPECT_EQ(session.recoveryThread.load(), 0u);
  EXPECT_EQ(stopping.StatusTexts().back(), u"Process Aborted...");
  auto files = ByName(session.catalogue.fileList);
  EXPECT_TRUE(files.count(u"a.txt"));     // record 17
  EXPECT_FALSE(files.count(u"big.bin"));  // record 28
  EXPECT_FALSE(files.count(u"new.txt"));  // record 20, after the stop
  EXPECT_EQ(stopping.ProgressValues().back(), 50);
}

TEST_F(CatalogueWalkTest, AnEmptyExtentTableYieldsOnlyTheLostFolder) {
  session.mftExtents.Clear();
  BuildNtfsCatalogue(session, view);
  EXPECT_EQ(session.catalogue.folderList.count.load(), 1u);
  EXPECT_EQ(session.catalogue.fileList.count.load(), 0u);
}

TEST_F(CatalogueWalkTest, UnreadableSectorsAreSkippedWithoutLosingTheRest) {
  auto memory = std::make_shared<platform::MemoryDevice>(volume.image.Disk());
  std::set<std::uint64_t> bad = {volume.RecordSector(17), volume.RecordSector(31) + 1};
  const std::string path = "mem://faulty-ntfs";
  platform::DeviceTable::Instance().Install(path,
                                            std::make_shared<platform::FaultyDevice>(memory, bad));
  session.devicePath[0] = path;
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  auto folders = ByName(session.catalogue.folderList);
  EXPECT_FALSE(files.count(u"a.txt"));    // its first sector cannot be read
  EXPECT_TRUE(files.count(u"gone.txt"));  // the next record, in the same batch
  EXPECT_TRUE(folders.count(u"Deep"));    // a torn record is still evidence
  EXPECT_TRUE(folders.count(u"Deeper"));
  // Neither record was read whole: both are counted and named, with the sector that failed.
  const UnreadableIndex& u = session.unreadable;
  EXPECT_EQ(u.records, 2u);
  EXPECT_EQ(u.stretches, 2u);
  ASSERT_EQ(u.named.size(), 2u);
  EXPECT_EQ(u.named[0].firstRecord, 17u);
  EXPECT_EQ(u.named[0].count, 1u);
  EXPECT_EQ(u.named[0].firstSector, volume.RecordSector(17));
  EXPECT_EQ(u.named[0].cause, UnreadableCause::ReadError);
  EXPECT_EQ(u.named[1].firstRecord, 31u);
  EXPECT_EQ(u.named[1].firstSector, volume.RecordSector(31) + 1);
}

TEST_F(CatalogueWalkTest, AWholeMftReadsWithNothingUnreadable) {
  BuildNtfsCatalogue(session, view);
  EXPECT_TRUE(session.unreadable.Empty());
  EXPECT_TRUE(session.unreadable.named.empty());
}

TEST_F(CatalogueWalkTest, AnMftCutShortByThePartitionsEndNamesWhatLiesBeyond) {
  // The partition (an image cut short) ends two clusters into the second extent: records 24 to
  // 39 lie beyond it.
  session.selectedPartitionEnd = volume.RecordSector(24);
  BuildMftExtentTable(session, view);
  ASSERT_EQ(session.mftExtents.gaps.size(), 1u);
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  EXPECT_TRUE(files.count(u"a.txt"));            // record 17
  EXPECT_TRUE(files.count(u"in trash.txt"));     // record 23, the last one inside
  EXPECT_FALSE(files.count(u"posix name.txt"));  // record 24
  const UnreadableIndex& u = session.unreadable;
  EXPECT_EQ(u.records, 16u);
  ASSERT_EQ(u.named.size(), 1u);
  EXPECT_EQ(u.named[0].firstRecord, 24u);
  EXPECT_EQ(u.named[0].count, 16u);
  EXPECT_EQ(u.named[0].firstSector, volume.RecordSector(24));
  EXPECT_EQ(u.named[0].cause, UnreadableCause::BeyondEnd);
}

TEST(UnreadableIndex, JoinsNeighboursCountsAllAndNamesTheFirstStretches) {
  UnreadableIndex u;
  u.Add(10, 2, 500, UnreadableCause::ReadError);
  u.Add(12, 3, 504, UnreadableCause::ReadError);  // follows: joined
  u.Add(15, 1, 0, UnreadableCause::Unmapped);     // follows, another cause: a stretch of its own
  ASSERT_EQ(u.named.size(), 2u);
  EXPECT_EQ(u.named[0].count, 5u);
  EXPECT_EQ(u.named[0].firstSector, 500u);
  for (std::uint64_t i = 0; i < 2 * UnreadableIndex::kNamedStretches; ++i)
    u.Add(100 + 2 * i, 1, 0, UnreadableCause::ReadError);
  u.Add(100 + 4 * UnreadableIndex::kNamedStretches - 1, 1, 0, UnreadableCause::ReadError);
  EXPECT_EQ(u.records, 6u + 2 * UnreadableIndex::kNamedStretches + 1);
  EXPECT_EQ(u.stretches, 2u + 2 * UnreadableIndex::kNamedStretches);  // the last one joined
  EXPECT_EQ(u.named.size(), UnreadableIndex::kNamedStretches);
}

// ---------------------------------------------------------------- the result tree

std::vector<std::u16string> Paths(const ui::ResultTree& tree) {
  std::vector<std::u16string> out;
  for (const auto& r : tree.treeFolderList) out.push_back(r.path);
  return out;
}

TEST_F(CatalogueWalkTest, TheTreeHangsFoldersFromTheRootAndTheRestFromLost) {
  BuildNtfsCatalogue(session, view);
  ui::ResultTree tree;
  EXPECT_EQ(BuildNtfsResultTree(session, view, tree), 1);
  EXPECT_TRUE(tree.isResultTree);
  EXPECT_EQ(tree.rootFolderId, 5);
  EXPECT_EQ(tree.lostFolderId, 268435455);
  ASSERT_NE(tree.lostItem, nullptr);
  EXPECT_EQ(tree.lostItem->text, u"Lost (found by Brevant)");
  // "Lost" comes first, then the root's folders, then the levels below, breadth-first.
  const std::vector<std::u16string> expected = {
      u"My Computer\\Lost (found by Brevant)\\",
      u"My Computer\\Docs\\",
      u"My Computer\\Trash\\",
      u"My Computer\\Later\\",
      u"My Computer\\Lost (found by Brevant)\\Loop\\",
      u"My Computer\\Later\\Deep\\",
      u"My Computer\\Later\\Deep\\Deeper\\",
  };
  EXPECT_EQ(Paths(tree), expected);
  const auto& top = tree.Root()->children.front()->children;
  ASSERT_FALSE(top.empty());
  EXPECT_EQ(top.front().get(), tree.lostItem);
  // The root directory's own entry is never shown, and every box starts unchecked.
  for (const auto& r : tree.treeFolderList) EXPECT_NE(r.folderId, 5);
  EXPECT_EQ(tree.Root()->children.size(), 1u);
  EXPECT_EQ(tree.Root()->children.front()->text, u"My Computer");
  EXPECT_EQ(tree.Root()->children.front()->stateImage, 1);
}

TEST_F(CatalogueWalkTest, EveryFileCanBeReachedFromTheTree) {
  BuildNtfsCatalogue(session, view);
  ui::ResultTree tree;
  BuildNtfsResultTree(session, view, tree);
  ui::EntryPaths paths(tree, session.catalogue);
  std::map<std::u16string, std::u16string> where;
  for (const CatalogueNode* n = session.catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    EXPECT_NE(paths.FileItem(n), nullptr) << ToUtf8(n->name);
    where[n->name] = paths.FileFolder(n);
  }
  EXPECT_EQ(where.at(u"big.bin"), u"");
  EXPECT_EQ(where.at(u"a.txt"), u"/Docs");
  EXPECT_EQ(where.at(u"in trash.txt"), u"/Trash");
  EXPECT_EQ(where.at(u"early.txt"), u"/Later");
  EXPECT_EQ(where.at(u"orphan.txt"), u"/Lost (found by Brevant)");
}

TEST_F(CatalogueWalkTest, AStopDuringTheTreeLeavesAPartialTree) {
  BuildNtfsCatalogue(session, view);
  ui::ResultTree tree;
  session.stopRequested.store(1);
  RecordingView treeView;
  EXPECT_EQ(BuildNtfsResultTree(session, treeView, tree), 0);
  EXPECT_EQ(session.stopRequested.load(), 0);
  EXPECT_EQ(treeView.StatusTexts(), std::vector<std::u16string>{u"Process Aborted..."});
  // Only "Lost", which comes before anything the stop could cut off.
  ASSERT_EQ(tree.treeFolderList.size(), 1u);
  EXPECT_EQ(tree.treeFolderList.front().path, u"My Computer\\Lost (found by Brevant)\\");
}

TEST(NtfsResultTree, CatalogueEdgeCases) {
  struct Folder {
    const char16_t* name;
    const char16_t* id;
    const char16_t* parent;
    const char16_t* type;
  };
  struct Case {
    const char* what;
    std::vector<Folder> folders;
    std::vector<std::u16string> paths;
  };
  const Case cases[] = {
      {"only Lost", {}, {u"My Computer\\Lost (found by Brevant)\\"}},
      {"a file type is never a folder",
       {{u"f", u"40", u"5", u"FILE"}},
       {u"My Computer\\Lost (found by Brevant)\\"}},
      {"two top-level folders with one name share an item",
       {{u"Same", u"40", u"5", u"FOLDER"}, {u"Same", u"41", u"5", u"FOLDER"}},
       {u"My Computer\\Lost (found by Brevant)\\", u"My Computer\\Same\\", u"My Computer\\Same\\"}},
      {"an entry that is both its own id and parent 268435455 is top-level, once",
       {{u"Odd", u"268435455", u"268435455", u"FOLDER"}},
       {u"My Computer\\Lost (found by Brevant)\\", u"My Computer\\Odd\\"}},
      {"two folders naming each other hang below Lost, each once",
       {{u"A", u"40", u"41", u"FOLDER"}, {u"B", u"41", u"40", u"FOLDER"}},
       {u"My Computer\\Lost (found by Brevant)\\", u"My Computer\\Lost (found by Brevant)\\A\\",
        u"My Computer\\Lost (found by Brevant)\\A\\B\\"}},
      {"a folder whose parent is no folder hangs below Lost",
       {{u"Orphan", u"40", u"99", u"FOLDER"}, {u"Kid", u"41", u"40", u"FOLDER"}},
       {u"My Computer\\Lost (found by Brevant)\\",
        u"My Computer\\Lost (found by Brevant)\\Orphan\\",
        u"My Computer\\Lost (found by Brevant)\\Orphan\\Kid\\"}},
  };
  for (const Case& c : cases) {
    RecoverySession session;
    Catalogue& cat = session.catalogue;
    cat.AppendFolder(u"Lost (found by Brevant)", u"0", u"268435455", u"5", u"0", u"0", u"0", u"16",
                     u"0", u"FOLDER", u"NULL", 1);
    cat.AppendFolder(u".", u"30", u"5", u"5", u"0", u"0", u"0", u"16", u"0", u"FOLDER", u"NULL", 1);
    for (const Folder& f : c.folders)
      cat.AppendFolder(f.name, u"100", f.id, f.parent, u"0", u"0", u"0", u"16", u"0", f.type,
                       u"NULL", 2);
    RecordingView view;
    ui::ResultTree tree;
    EXPECT_EQ(BuildNtfsResultTree(session, view, tree), 1) << c.what;
    EXPECT_EQ(Paths(tree), c.paths) << c.what;
  }
}

// A directory record with several names under one parent is catalogued once per name; a chain
// of such records would multiply out if every name's record took the children again.
TEST(NtfsResultTree, FoldersWithManyNamesArePlacedOnceEach) {
  constexpr int kDepth = 8;
  RecoverySession session;
  Catalogue& cat = session.catalogue;
  cat.AppendFolder(u"Lost (found by Brevant)", u"0", u"268435455", u"5", u"0", u"0", u"0", u"16",
                   u"0", u"FOLDER", u"NULL", 1);
  for (int i = 0; i < 16; ++i)
    cat.AppendFolder(u"top" + ToText(i), u"100", u"40", u"5", u"0", u"0", u"0", u"16", u"0",
                     u"FOLDER", u"NULL", 2);
  for (int k = 0; k < kDepth; ++k)
    for (int i = 0; i < 14; ++i)
      cat.AppendFolder(u"d" + ToText(k) + u"x" + ToText(i), u"100", ToText(41 + k), ToText(40 + k),
                       u"0", u"0", u"0", u"16", u"0", u"FOLDER", u"NULL", 2);
  RecordingView view;
  ui::ResultTree tree;
  EXPECT_EQ(BuildNtfsResultTree(session, view, tree), 1);
  std::set<const CatalogueNode*> nodes;
  std::size_t deepest = 0;
  for (const auto& r : tree.treeFolderList) {
    if (r.node) {
      EXPECT_TRUE(nodes.insert(r.node).second) << ToUtf8(r.path);
    }
    deepest = std::max<std::size_t>(deepest, std::count(r.path.begin(), r.path.end(), u'\\'));
  }
  EXPECT_EQ(nodes.size(), cat.folderList.count.load());
  EXPECT_EQ(tree.treeFolderList.size(), cat.folderList.count.load());
  EXPECT_EQ(deepest, 2u + kDepth);
}

// Names are one path component each, whatever they hold: a NUL does not cut a name short and
// a slash does not split the path shown and recovered.
TEST(NtfsHostileNames, ANulOrASlashStaysInsideItsName) {
  CraftedVolume volume;
  volume.Put(36, RecordBuilder(1024, 1, 1)
                     .FileName(std::u16string(u"nul\0cut.txt", 11), 5, 5, 1)
                     .ResidentData("n")
                     .Finish());
  volume.Put(37, RecordBuilder(1024, 1, 3).FileName(u"/", 5, 5, 1).Finish());
  volume.Put(38, RecordBuilder(1024, 1, 1).FileName(u"in/slash.txt", 37, 1, 1).ResidentData("s").Finish());
  RecoverySession session;
  RecordingView view;
  volume.Install(session);
  BuildMftExtentTable(session, view);
  BuildNtfsCatalogue(session, view);
  auto files = ByName(session.catalogue.fileList);
  EXPECT_TRUE(files.count(u"nul\ufffdcut.txt"));
  ASSERT_TRUE(files.count(u"in/slash.txt"));
  const CatalogueNode* slashFolder = ByName(session.catalogue.folderList).at(u"/");
  ui::ResultTree tree;
  BuildNtfsResultTree(session, view, tree);
  ui::EntryPaths paths(tree, session.catalogue);
  EXPECT_EQ(paths.FolderPath(slashFolder), u"/_");
  EXPECT_EQ(paths.FileFolder(files.at(u"in/slash.txt")), u"/_");
  EXPECT_EQ(ui::PathComponentText(files.at(u"in/slash.txt")->name), u"in_slash.txt");
}

}  // namespace
}  // namespace brevant

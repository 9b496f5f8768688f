#include "model/file_listing.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace brevant::ui {
namespace {

// A small FAT-like result: Docs (id 9) below the top, Sub (id 12) below Docs, a lost file,
// a root file, and a folder Docs2 sharing the name "Docs" (id 30).
class FileListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto folder = [&](const char16_t* name, const char16_t* id, const char16_t* parent) {
      return c.AppendFolder(name, u"0", id, parent, u"0", u"0", u"0", u"16", u"0", u"FOLDER", u"NULL", 1);
    };
    auto file = [&](const char16_t* name, const char16_t* parent) {
      c.AppendFile(name, u"77", u"100", parent, u"0", u"0", u"5", u"32", u"0", u"FILE", u"NULL", 1);
    };
    const CatalogueNode* docs = folder(u"Docs", u"9", u"0");
    const CatalogueNode* docs2 = folder(u"Docs", u"30", u"0");
    const CatalogueNode* sub = folder(u"Sub", u"12", u"9");
    file(u"root.txt", u"0");
    file(u"a.txt", u"9");
    file(u"b.txt", u"12");
    file(u"lost.txt", u"555");
    file(u"c.txt", u"30");
    tree.EnableCheckBoxes();
    InsertTreePath(tree, u"My Computer\\");
    AddTopFolder(tree, u"Docs", 9, docs);
    AddTopFolder(tree, u"Docs", 30, docs2);
    AddSubFolder(tree, 0, u"Sub", 12, sub);
    tree.lostItem = AddTopFolder(tree, kLostFolderName, 268435455);
    tree.isResultTree = true;
    tree.rootFolderId = 0;
  }
  std::vector<std::u16string> Names(const TreeItem* item) {
    std::vector<std::u16string> out;
    for (const CatalogueNode* n : ListFolderFiles(tree, c, item)) out.push_back(n->name);
    return out;
  }
  Catalogue c;
  ResultTree tree;
};

TEST_F(FileListingTest, EachFolderListsItsFilesAndNothingIsHidden) {
  const TreeItem* top = tree.Root()->children[0].get();
  EXPECT_EQ(Names(top), std::vector<std::u16string>{u"root.txt"});
  // Two catalogued folders share the item "Docs": both folders' files are listed there.
  EXPECT_EQ(Names(tree.treeFolderList[0].treeItem), (std::vector<std::u16string>{u"a.txt", u"c.txt"}));
  EXPECT_EQ(Names(tree.treeFolderList[2].treeItem), std::vector<std::u16string>{u"b.txt"});
  EXPECT_EQ(Names(tree.lostItem), std::vector<std::u16string>{u"lost.txt"});
  // The listed-file index holds the rows of the last listing only.
  EXPECT_EQ(c.listedFileRows.count.load(), 1u);
  EXPECT_EQ(std::u16string_view(c.listedFileRows.First()->sector), u"77");
}

TEST_F(FileListingTest, PathsOfFilesAndFolders) {
  EntryPaths paths(tree, c);
  std::vector<std::u16string> folderPaths, fileFolders;
  for (auto* n = c.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    folderPaths.push_back(paths.FolderPath(n));
  for (auto* n = c.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    fileFolders.push_back(paths.FileFolder(n));
  EXPECT_EQ(folderPaths, (std::vector<std::u16string>{u"/Docs", u"/Docs", u"/Docs/Sub"}));
  EXPECT_EQ(fileFolders, (std::vector<std::u16string>{u"", u"/Docs", u"/Docs/Sub",
                                                      u"/Lost (found by Brevant)", u"/Docs"}));
}

TEST(SlashPath, FromTreePaths) {
  EXPECT_EQ(SlashPath(u"My Computer\\A\\B\\"), u"/A/B");
  EXPECT_EQ(SlashPath(u"My Computer\\"), u"");
  EXPECT_EQ(SlashPath(u"My Computer\\Отчёт\\"), u"/Отчёт");
}

TEST(FileListing, BeforeAnyRunNothingIsListed) {
  Catalogue c;
  c.AppendFile(u"x", u"0", u"1", u"0", u"0", u"0", u"1", u"32", u"0", u"FILE", u"NULL", 1);
  ResultTree startup;
  const TreeItem* item = InsertTreePath(startup, u"My Computer\\");
  EXPECT_TRUE(FilesOfItem(startup, c, item).empty());
}

}  // namespace
}  // namespace brevant::ui

namespace brevant::ui {
namespace {

TEST_F(FileListingTest, AResultListsRowsTiedToItsOwnRecords) {
  RunResult result;
  result.catalogue.TakeFrom(c);  // as a run hands its catalogue over: no node moves
  result.tree = std::shared_ptr<ResultTree>(&tree, [](ResultTree*) {});
  BuildEntryPaths(result);
  const TreeItem* docs = tree.treeFolderList[0].treeItem;
  auto files = ListFolderFiles(result, docs);
  ASSERT_EQ(files.size(), 2u);
  std::vector<const CatalogueNode*> rowNodes;
  for (auto* r = result.catalogue.listedFileRows.First(); r; r = CatalogueList<ListedFileRow>::Next(r)) {
    rowNodes.push_back(r->node);
    EXPECT_EQ(r->name, r->node->name);  // the record's own text, not a copy
  }
  EXPECT_EQ(rowNodes, files);
  // A second listing replaces the rows; an item of no folder lists nothing.
  EXPECT_EQ(ListFolderFiles(result, tree.lostItem).size(), 1u);
  EXPECT_EQ(result.catalogue.listedFileRows.count.load(), 1u);
  EXPECT_TRUE(ListFolderFiles(result, nullptr).empty());
  EXPECT_EQ(result.catalogue.listedFileRows.First(), nullptr);
  // Entry paths: folders by their place, files by their folder and name.
  std::vector<std::u16string> paths;
  for (auto* n = result.catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    paths.push_back(result.paths->EntryPath(n));
  for (auto* n = result.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    paths.push_back(result.paths->EntryPath(n));
  EXPECT_EQ(paths, (std::vector<std::u16string>{
                       u"/Docs", u"/Docs", u"/Docs/Sub", u"/root.txt", u"/Docs/a.txt",
                       u"/Docs/Sub/b.txt", u"/Lost (found by Brevant)/lost.txt", u"/Docs/c.txt"}));
}

}  // namespace
}  // namespace brevant::ui

// BuildFatResultTree: the catalogued folders below "My Computer", and "Lost" when needed.
#include <gtest/gtest.h>

#include "fat_test_util.h"
#include "model/file_listing.h"
#include "model/result_tree.h"

namespace brevant::fattest {
namespace {

void Folder(RecoverySession& s, const std::u16string& name, int id, int parent, bool deleted = false) {
  s.catalogue.AppendFolder(name, u"100", ToText(id), ToText(parent), u"0", u"0", u"0", u"16", u"0", u"FOLDER",
                           deleted ? u"1" : u"NULL", 2);
}
void File(RecoverySession& s, const std::u16string& name, int parent) {
  s.catalogue.AppendFile(name, u"100", u"50", ToText(parent), u"0", u"0", u"10", u"32", u"0", u"FILE", u"NULL", 2);
}

std::vector<std::string> Texts(const ui::TreeItem* item) {
  std::vector<std::string> out;
  for (const auto& c : item->children) out.push_back(ToUtf8(c->text));
  return out;
}

const ui::TreeItem* Child(const ui::TreeItem* item, const std::string& text) {
  for (const auto& c : item->children)
    if (ToUtf8(c->text) == text) return c.get();
  return nullptr;
}

std::vector<std::string> ListNames(const ui::ResultTree& tree, const Catalogue& c, const ui::TreeItem* item) {
  std::vector<std::string> out;
  for (const CatalogueNode* n : ui::FilesOfItem(tree, c, item)) out.push_back(ToUtf8(n->name));
  return out;
}

TEST(FatTree, BreadthFirstBelowMyComputer) {
  RecoverySession s;
  Folder(s, u"Gamma", 15, 12);
  Folder(s, u"Alpha", 9, 0);
  Folder(s, u"Beta", 12, 9);
  File(s, u"root.txt", 0);
  File(s, u"in beta.txt", 12);
  RecordingView view;
  ui::ResultTree tree;
  EXPECT_EQ(BuildFatResultTree(s, view, tree), 1);
  EXPECT_TRUE(tree.isResultTree);
  EXPECT_TRUE(tree.checkBoxes);
  EXPECT_EQ(tree.rootFolderId, 0);
  ASSERT_EQ(Texts(tree.Root()), std::vector<std::string>{"My Computer"});
  const ui::TreeItem* top = tree.Root()->children[0].get();
  EXPECT_EQ(Texts(top), std::vector<std::string>{"Alpha"});  // no "Lost": nothing is lost
  EXPECT_EQ(tree.lostItem, nullptr);
  const ui::TreeItem* beta = Child(Child(top, "Alpha"), "Beta");
  ASSERT_NE(beta, nullptr);
  EXPECT_NE(Child(beta, "Gamma"), nullptr);
  ASSERT_EQ(tree.treeFolderList.size(), 3u);
  EXPECT_EQ(tree.treeFolderList[0].name, u"Alpha");
  EXPECT_EQ(tree.treeFolderList[1].name, u"Beta");
  EXPECT_EQ(tree.treeFolderList[2].name, u"Gamma");
  EXPECT_EQ(tree.treeFolderList[2].path, u"My Computer\\Alpha\\Beta\\Gamma\\");
  // Root files are listed with the top item; a folder's files with the folder.
  EXPECT_EQ(ListNames(tree, s.catalogue, top), std::vector<std::string>{"root.txt"});
  EXPECT_EQ(ListNames(tree, s.catalogue, beta), std::vector<std::string>{"in beta.txt"});
  // Every box starts unchecked.
  for (const auto& r : tree.treeFolderList) EXPECT_EQ(r.treeItem->stateImage, 1);
}

TEST(FatTree, WhatCannotBePlacedGoesUnderLost) {
  RecoverySession s;
  Folder(s, u"Docs", 9, 0);
  Folder(s, u"Orphan", 20, 777);      // its parent is no catalogued folder
  Folder(s, u"Below orphan", 21, 20);
  Folder(s, u"Ring A", 30, 31);       // a cycle nothing else reaches
  Folder(s, u"Ring B", 31, 30);
  Folder(s, u"_ld", 40, 9, true);     // deleted folders show like live ones
  File(s, u"lost guess.txt", static_cast<int>(fat::kLostFolderId));
  File(s, u"parent unknown.txt", 555);
  File(s, u"in orphan.txt", 21);
  RecordingView view;
  ui::ResultTree tree;
  BuildFatResultTree(s, view, tree);
  const ui::TreeItem* top = tree.Root()->children[0].get();
  EXPECT_EQ(Texts(top), (std::vector<std::string>{"Docs", "Lost (found by Brevant)"}));
  const ui::TreeItem* lost = Child(top, "Lost (found by Brevant)");
  ASSERT_EQ(tree.lostItem, lost);
  EXPECT_EQ(tree.lostFolderId, 268435455);
  EXPECT_NE(Child(Child(top, "Docs"), "_ld"), nullptr);
  ASSERT_NE(Child(lost, "Orphan"), nullptr);
  EXPECT_NE(Child(Child(lost, "Orphan"), "Below orphan"), nullptr);
  EXPECT_TRUE(Child(lost, "Ring A") || Child(lost, "Ring B"));
  EXPECT_EQ(ListNames(tree, s.catalogue, lost), (std::vector<std::string>{"lost guess.txt", "parent unknown.txt"}));
  EXPECT_EQ(ListNames(tree, s.catalogue, Child(Child(lost, "Orphan"), "Below orphan")),
            std::vector<std::string>{"in orphan.txt"});
  // Every catalogued folder is somewhere in the tree.
  std::set<const CatalogueNode*> placed;
  for (const auto& r : tree.treeFolderList)
    if (r.node) placed.insert(r.node);
  EXPECT_EQ(placed.size(), s.catalogue.folderList.count.load());
}

TEST(FatTree, SameNameTwiceSharesOneItem) {
  RecoverySession s;
  Folder(s, u"Same", 9, 0);
  Folder(s, u"Same", 10, 0);
  RecordingView view;
  ui::ResultTree tree;
  BuildFatResultTree(s, view, tree);
  EXPECT_EQ(tree.Root()->children[0]->children.size(), 1u);
  ASSERT_EQ(tree.treeFolderList.size(), 2u);
  EXPECT_EQ(tree.treeFolderList[0].treeItem, tree.treeFolderList[1].treeItem);
}

TEST(FatTree, EmptyCatalogueGivesMyComputerOnly) {
  RecoverySession s;
  RecordingView view;
  ui::ResultTree tree;
  BuildFatResultTree(s, view, tree);
  ASSERT_EQ(tree.Root()->children.size(), 1u);
  EXPECT_TRUE(tree.Root()->children[0]->children.empty());
  EXPECT_TRUE(tree.Root()->children[0]->hasChildrenFlag);
}

TEST(FatTree, StopDuringTheBuild) {
  RecoverySession s;
  for (int i = 0; i < 50; ++i) Folder(s, u"F" + ToText(i), 100 + i, i == 0 ? 0 : 99 + i);
  s.stopRequested.store(1);
  RecordingView view;
  ui::ResultTree tree;
  EXPECT_EQ(BuildFatResultTree(s, view, tree), 1);
  EXPECT_EQ(s.stopRequested.load(), 0);
  EXPECT_LT(tree.treeFolderList.size(), 50u);
  EXPECT_EQ(view.StatusTexts().back(), u"Process Aborted...");
}

}  // namespace
}  // namespace brevant::fattest

namespace brevant::fattest {
namespace {

// Folders that share clusters: 16 root folders all name cluster 2, and each cluster k holds
// 14 folder entries naming cluster k + 1. Placed once per catalogued folder, the tree stays
// as large as the catalogue; attached once per matching record it would grow as 16 * 14^depth.
TEST(FatTree, FoldersSharingClustersArePlacedOnceEach) {
  constexpr std::uint32_t kDepth = 8;
  Layout l;
  l.fat32 = false;
  l.sectorsPerCluster = 1;
  l.fatSize = 32;
  l.clusters = 8000;
  CraftedVolume v(l);
  std::vector<std::string> root;
  for (int i = 0; i < 16; ++i)
    root.push_back(ShortEntryBytes(Name83("TOP" + std::to_string(i), ""), 0x10, 2, 0));
  v.WriteRoot16(root);
  for (std::uint32_t k = 2; k < 2 + kDepth; ++k) {
    std::vector<std::string> entries{DotEntries(k, k == 2 ? 0 : k - 1)};
    for (int i = 0; i < 14; ++i)
      entries.push_back(ShortEntryBytes(Name83("D" + std::to_string(k) + "X" + std::to_string(i), ""),
                                        0x10, k + 1, 0));
    v.WriteDirectory({k}, entries);
  }
  v.WriteDirectory({2 + kDepth}, {DotEntries(2 + kDepth, 1 + kDepth)});
  RecoverySession s;
  Select(s, v);
  RecordingView view;
  ScanSelected(s, view);
  const std::size_t folders = s.catalogue.folderList.count.load();
  ASSERT_EQ(folders, 16u + 14u * kDepth);
  ui::ResultTree tree;
  BuildFatResultTree(s, view, tree);
  // Every catalogued folder once, plus "Lost" for the folders a first record took no children from.
  std::set<const CatalogueNode*> nodes;
  std::size_t deepest = 0;
  for (const auto& r : tree.treeFolderList) {
    if (r.node) {
      EXPECT_TRUE(nodes.insert(r.node).second) << ToUtf8(r.path);
    }
    deepest = std::max<std::size_t>(deepest, std::count(r.path.begin(), r.path.end(), u'\\'));
  }
  EXPECT_EQ(nodes.size(), folders);
  EXPECT_LE(tree.treeFolderList.size(), folders + 1);
  // The chain is still shown at its full depth: My Computer, TOP0, then one folder per cluster.
  EXPECT_EQ(deepest, 2 + kDepth);
}

}  // namespace
}  // namespace brevant::fattest

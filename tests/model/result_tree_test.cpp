#include "model/result_tree.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace brevant::ui {
namespace {

std::vector<std::u16string> ChildTexts(const TreeItem* item) {
  std::vector<std::u16string> out;
  for (const auto& c : item->children) out.push_back(c->text);
  return out;
}

TEST(InsertTreePath, ReusesItemsByExactText) {
  ResultTree tree;
  TreeItem* a = InsertTreePath(tree, u"My Computer\\");
  TreeItem* b = InsertTreePath(tree, u"My Computer\\");
  EXPECT_EQ(a, b);
  ASSERT_EQ(tree.Root()->children.size(), 1u);
  EXPECT_TRUE(a->hasChildrenFlag);  // top level always shows an expand button
  TreeItem* p = InsertTreePath(tree, u"My Computer\\sdb\\Partition - 1 ( FAT32 )\\");
  EXPECT_EQ(p->text, u"Partition - 1 ( FAT32 )");
  EXPECT_EQ(p->parent->parent, a);
  EXPECT_FALSE(p->hasChildrenFlag);
  EXPECT_TRUE(a->expanded);
}

TEST(InsertTreePath, ComponentRules) {
  struct Case {
    std::u16string path;
    std::vector<std::u16string> chain;  // texts from the top item down to the returned one
  } cases[] = {
      {u"Disk", {}},                                      // no backslash: the root, nothing inserted
      {u"My Computer\\Docs\\tail", {u"My Computer", u"Docs"}},  // text after the last backslash ignored
      {u"My Computer\\\\x\\", {u"My Computer", u"", u"x"}},     // empty component
      {u"My Computer\\Отчёт\\日本\\", {u"My Computer", u"Отчёт", u"日本"}},
  };
  for (const auto& c : cases) {
    ResultTree tree;
    TreeItem* item = InsertTreePath(tree, c.path);
    std::vector<std::u16string> chain;
    for (TreeItem* i = item; i != tree.Root(); i = i->parent) chain.insert(chain.begin(), i->text);
    EXPECT_EQ(chain, c.chain) << ToUtf8(c.path);
    if (c.chain.empty()) {
      EXPECT_TRUE(tree.Root()->children.empty());
    }
  }
}

TEST(InsertTreePath, SiblingsAreCaseSensitiveAndKeepInsertionOrder) {
  ResultTree tree;
  InsertTreePath(tree, u"My Computer\\Docs\\");
  InsertTreePath(tree, u"My Computer\\DOCS\\");
  InsertTreePath(tree, u"My Computer\\Alpha\\");
  InsertTreePath(tree, u"My Computer\\Docs\\");
  EXPECT_EQ(ChildTexts(tree.Root()->children[0].get()),
            (std::vector<std::u16string>{u"Docs", u"DOCS", u"Alpha"}));
}

TEST(CheckBoxes, PropagateThroughSubtreeAndAncestors) {
  ResultTree tree;
  tree.EnableCheckBoxes();
  TreeItem* a = InsertTreePath(tree, u"My Computer\\A\\");
  TreeItem* a1 = InsertTreePath(tree, u"My Computer\\A\\A1\\");
  TreeItem* a2 = InsertTreePath(tree, u"My Computer\\A\\A2\\");
  TreeItem* a2x = InsertTreePath(tree, u"My Computer\\A\\A2\\X\\");
  TreeItem* top = a->parent;
  for (TreeItem* i : {top, a, a1, a2, a2x}) EXPECT_EQ(i->stateImage, 1);

  ClickCheckBox(a2);  // checks its subtree; A still has an unchecked child
  EXPECT_EQ(a2->stateImage, 2);
  EXPECT_EQ(a2x->stateImage, 2);
  EXPECT_EQ(a->stateImage, 1);
  ClickCheckBox(a1);  // now no child of A is unchecked
  EXPECT_EQ(a->stateImage, 2);
  EXPECT_EQ(top->stateImage, 2);

  ClickCheckBox(a2x);  // unchecking anything unchecks every ancestor
  EXPECT_EQ(a2x->stateImage, 1);
  EXPECT_EQ(a2->stateImage, 1);
  EXPECT_EQ(a->stateImage, 1);
  EXPECT_EQ(top->stateImage, 1);

  ClickCheckBox(a);  // A is unchecked: checks everything below, whatever it was
  for (TreeItem* i : {a, a1, a2, a2x}) EXPECT_EQ(i->stateImage, 2);
  ClickCheckBox(a);  // checked: unchecks the whole subtree
  for (TreeItem* i : {a, a1, a2, a2x}) EXPECT_EQ(i->stateImage, 1);
  EXPECT_EQ(CheckedItems(tree).size(), 0u);
}

TEST(CheckBoxes, ItemsWithoutBoxesCountAsChecked) {
  ResultTree tree;  // boxes off: new items have index 0
  TreeItem* p = InsertTreePath(tree, u"My Computer\\disk\\p1\\");
  EXPECT_EQ(p->stateImage, 0);
  EXPECT_EQ(p->parent->stateImage, 2);
}

// Builds a catalogue of folders from (name, id, parentId) rows.
struct FolderRow {
  const char16_t* name;
  const char16_t* id;
  const char16_t* parent;
};

void Fill(Catalogue& c, std::initializer_list<FolderRow> rows) {
  int seq = 1;
  for (const auto& r : rows)
    c.AppendFolder(r.name, u"0", r.id, r.parent, u"0", u"0", u"0", u"16", u"0", u"FOLDER", u"NULL", seq++);
}

std::vector<std::u16string> RegistryPaths(const ResultTree& tree) {
  std::vector<std::u16string> out;
  for (const auto& r : tree.treeFolderList) out.push_back(r.path);
  return out;
}

// The builders' sequence: top-level folders, then the registry walk.
void Build(ResultTree& tree, const Catalogue& c, std::int64_t topParent) {
  tree.EnableCheckBoxes();
  tree.DeleteAllItems();
  InsertTreePath(tree, u"My Computer\\");
  for (auto* n = c.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    if (n->IsFolder() && TextToInt(n->parentId) == topParent)
      AddTopFolder(tree, n->name, static_cast<std::int32_t>(TextToInt(n->id)), n);
  FolderChildIndex index(c);
  AttachAllFrom(tree, index, 0, [] { return true; });
}

TEST(FolderRegistry, BreadthFirstInCatalogueOrder) {
  Catalogue c;
  Fill(c, {{u"Gamma", u"15", u"12"}, {u"Alpha", u"9", u"0"}, {u"Beta", u"12", u"9"},
           {u"Delta", u"20", u"0"}, {u"Eps", u"21", u"9"}, {u"Zeta", u"22", u"20"}});
  ResultTree tree;
  Build(tree, c, 0);
  EXPECT_EQ(RegistryPaths(tree),
            (std::vector<std::u16string>{u"My Computer\\Alpha\\", u"My Computer\\Delta\\",
                                         u"My Computer\\Alpha\\Beta\\", u"My Computer\\Alpha\\Eps\\",
                                         u"My Computer\\Delta\\Zeta\\",
                                         u"My Computer\\Alpha\\Beta\\Gamma\\"}));
  EXPECT_EQ(tree.treeFolderList[5].folderId, 15);
  EXPECT_EQ(tree.treeFolderList[5].parentRecord, 2u);
}

TEST(FolderRegistry, SameNameSharesOneItemWithTwoRecords) {
  Catalogue c;
  Fill(c, {{u"Docs", u"9", u"0"}, {u"Docs", u"30", u"0"}});
  ResultTree tree;
  Build(tree, c, 0);
  ASSERT_EQ(tree.treeFolderList.size(), 2u);
  EXPECT_EQ(tree.treeFolderList[0].treeItem, tree.treeFolderList[1].treeItem);
  EXPECT_EQ(tree.Root()->children[0]->children.size(), 1u);
}

TEST(FolderRegistry, ParentTextMustMatchExactlyAndZeroNeverAttaches) {
  Catalogue c;
  Fill(c, {{u"Top", u"9", u"0"}, {u"Padded", u"10", u"09"}, {u"Real", u"11", u"9"},
           {u"Zero", u"12", u"0"}});
  ResultTree tree;
  Build(tree, c, 0);
  std::vector<std::u16string> paths = RegistryPaths(tree);
  EXPECT_EQ(paths, (std::vector<std::u16string>{u"My Computer\\Top\\", u"My Computer\\Zero\\",
                                                u"My Computer\\Top\\Real\\"}));
}

TEST(FolderRegistry, CatalogueCyclesEnd) {
  Catalogue c;
  // A self-parented entry, and a two-folder loop hanging from a top-level folder.
  Fill(c, {{u"Lost", u"268435455", u"268435455"}, {u"Top", u"9", u"5"}, {u"B", u"12", u"9"},
           {u"A", u"9", u"12"}});
  ResultTree tree;
  tree.EnableCheckBoxes();
  InsertTreePath(tree, u"My Computer\\");
  AddTopFolder(tree, u"Lost", 268435455);
  AddTopFolder(tree, u"Top", 9);
  FolderChildIndex index(c);
  AttachAllFrom(tree, index, 0, [] { return true; });
  // Top -> B; A (id 9) would repeat Top's id below B and is refused.
  EXPECT_EQ(RegistryPaths(tree),
            (std::vector<std::u16string>{u"My Computer\\Lost\\", u"My Computer\\Top\\",
                                         u"My Computer\\Top\\B\\"}));
}

TEST(FolderRegistry, BackslashInANameDoesNotSplitThePath) {
  Catalogue c;
  Fill(c, {{u"a\\b", u"9", u"0"}});
  ResultTree tree;
  Build(tree, c, 0);
  ASSERT_EQ(tree.treeFolderList.size(), 1u);
  EXPECT_EQ(tree.treeFolderList[0].path, u"My Computer\\a_b\\");
  EXPECT_EQ(tree.treeFolderList[0].name, u"a\\b");
}

TEST(FolderRegistry, LostFoldersAreAttachedOnceEach) {
  Catalogue c;
  // Orphan O (parent 77 unknown) with child OC; a loop X<->Y that hangs from nothing.
  Fill(c, {{u"Top", u"9", u"0"}, {u"O", u"40", u"77"}, {u"OC", u"41", u"40"},
           {u"X", u"50", u"51"}, {u"Y", u"51", u"50"}});
  ResultTree tree;
  Build(tree, c, 0);
  AddTopFolder(tree, u"Lost", 268435455);
  std::size_t lostRecord = tree.treeFolderList.size() - 1;
  FolderChildIndex index(c);
  AttachLostFolders(tree, c, index, lostRecord, [](const CatalogueNode&) { return false; });
  EXPECT_EQ(RegistryPaths(tree),
            (std::vector<std::u16string>{u"My Computer\\Top\\", u"My Computer\\Lost\\",
                                         u"My Computer\\Lost\\O\\", u"My Computer\\Lost\\O\\OC\\",
                                         u"My Computer\\Lost\\X\\", u"My Computer\\Lost\\X\\Y\\"}));
}

TEST(FolderRegistry, ChildrenOfARepeatedIdGoToItsFirstRecordOnly) {
  Catalogue c;
  // Two top-level folders share id 9; their children are placed once, below the first.
  Fill(c, {{u"A", u"9", u"0"}, {u"B", u"9", u"0"}, {u"Kid", u"12", u"9"}, {u"Grandkid", u"13", u"12"}});
  ResultTree tree;
  Build(tree, c, 0);
  EXPECT_EQ(RegistryPaths(tree),
            (std::vector<std::u16string>{u"My Computer\\A\\", u"My Computer\\B\\",
                                         u"My Computer\\A\\Kid\\",
                                         u"My Computer\\A\\Kid\\Grandkid\\"}));
}

TEST(FolderRegistry, DeepChainsStopAtTheLimitsAndContinueUnderLost) {
  struct Case {
    const char* what;
    std::u16string name;
    std::size_t levels;
  };
  const Case cases[] = {
      {"short names: the depth limit", u"n", 3 * kMaxTreeDepth},
      {"long names: the path limit", std::u16string(200, u'x'), 100},
  };
  for (const Case& k : cases) {
    Catalogue c;
    int seq = 1;
    for (std::size_t i = 0; i < k.levels; ++i)
      c.AppendFolder(k.name, u"0", ToText(100 + i), i == 0 ? u"0" : ToText(99 + i), u"0", u"0",
                     u"0", u"16", u"0", u"FOLDER", u"NULL", seq++);
    ResultTree tree;
    tree.EnableCheckBoxes();
    InsertTreePath(tree, u"My Computer\\");
    FolderChildIndex index(c);
    AddTopFolder(tree, k.name, 100, c.folderList.First());
    AttachAllFrom(tree, index, 0, [] { return true; });
    AddTopFolder(tree, u"Lost", 268435455);
    AttachLostFolders(tree, c, index, tree.treeFolderList.size() - 1, [](const CatalogueNode&) { return false; });
    std::size_t placed = 0;
    for (const auto& r : tree.treeFolderList) {
      if (!r.node) continue;
      ++placed;
      EXPECT_LE(r.path.size(), kMaxTreePathUnits) << k.what;
      EXPECT_LE(static_cast<std::size_t>(std::count(r.path.begin(), r.path.end(), u'\\')),
                kMaxTreeDepth + 1)
          << k.what;
    }
    // Nothing is lost: every folder is somewhere, once.
    EXPECT_EQ(placed, k.levels) << k.what;
  }
}

}  // namespace
}  // namespace brevant::ui

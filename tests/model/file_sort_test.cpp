#include "model/file_sort.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/run_result.h"
#include "model/file_listing.h"
#include "model/result_tree.h"

namespace brevant::ui {
namespace {

// Files of a FAT result with names, sizes, times and conditions chosen so that each key orders
// them differently and several share a key (to show that equal keys keep their order).
class FileSortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    result.fsName = "FAT32";
    // name, size, FAT date word, FAT time word, deleted, condition
    add(u"file10.txt", u"300", u"22000", u"100", false, FileCondition::Live, 0);
    add(u"File2.txt", u"100", u"22000", u"50", true, FileCondition::PartlyOverwritten, 900);
    add(u"file1.txt", u"300", u"21000", u"0", true, FileCondition::Intact, 0);
    add(u"file20.txt", u"100", u"23000", u"0", true, FileCondition::Overwritten, 0);
    add(u"a.txt", u"5000", u"0", u"0", true, FileCondition::PartlyOverwritten, 100);
    add(u"b.txt", u"300", u"22000", u"50", false, FileCondition::Live, 0);
  }
  void add(const char16_t* name, const char16_t* size, const char16_t* date, const char16_t* time,
           bool deleted, FileCondition condition, std::uint64_t overwritten) {
    const CatalogueNode* n =
        result.catalogue.AppendFile(name, u"0", u"5", u"0", date, time, size, u"32", u"0", u"FILE",
                                    deleted ? u"1" : u"NULL", 1);
    if (deleted) result.SetState(*n, FileState{condition, overwritten});
    files.push_back(n);
  }
  std::vector<std::u16string> Sorted(FileSortKey key, bool descending) {
    std::vector<const CatalogueNode*> rows = files;
    SortFiles(rows, key, descending, result);
    std::vector<std::u16string> names;
    for (const CatalogueNode* n : rows) names.push_back(n->name);
    return names;
  }
  RunResult result;
  std::vector<const CatalogueNode*> files;
};

TEST_F(FileSortTest, EachKeyAscendingAndDescendingKeepsTiesInTheirOrder) {
  const struct {
    FileSortKey key;
    bool descending;
    std::vector<std::u16string> expected;
  } cases[] = {
      {FileSortKey::Name, false,
       {u"a.txt", u"b.txt", u"file1.txt", u"File2.txt", u"file10.txt", u"file20.txt"}},
      {FileSortKey::Name, true,
       {u"file20.txt", u"file10.txt", u"File2.txt", u"file1.txt", u"b.txt", u"a.txt"}},
      // 100: File2 before file20; 300: file10, file1, b.txt as catalogued, in both directions.
      {FileSortKey::Size, false,
       {u"File2.txt", u"file20.txt", u"file10.txt", u"file1.txt", u"b.txt", u"a.txt"}},
      {FileSortKey::Size, true,
       {u"a.txt", u"file10.txt", u"file1.txt", u"b.txt", u"File2.txt", u"file20.txt"}},
      // FAT date and time words; a.txt has no valid date and goes first. File2 and b.txt tie.
      {FileSortKey::Time, false,
       {u"a.txt", u"file1.txt", u"File2.txt", u"b.txt", u"file10.txt", u"file20.txt"}},
      // Live files, then intact, then partly overwritten by bytes, then overwritten.
      {FileSortKey::Condition, false,
       {u"file10.txt", u"b.txt", u"file1.txt", u"a.txt", u"File2.txt", u"file20.txt"}},
      {FileSortKey::Type, false,
       {u"file10.txt", u"File2.txt", u"file1.txt", u"file20.txt", u"a.txt", u"b.txt"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Sorted(c.key, c.descending), c.expected)
        << "key " << static_cast<int>(c.key) << (c.descending ? " descending" : " ascending");
}

TEST_F(FileSortTest, SortingAgainKeepsTheEarlierOrderAmongEquals) {
  // By name, then by size: rows of one size stay in name order.
  std::vector<const CatalogueNode*> rows = files;
  SortFiles(rows, FileSortKey::Name, false, result);
  SortFiles(rows, FileSortKey::Size, false, result);
  std::vector<std::u16string> names;
  for (const CatalogueNode* n : rows) names.push_back(n->name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"File2.txt", u"file20.txt", u"b.txt",
                                                u"file1.txt", u"file10.txt", u"a.txt"}));
}

TEST(FileSortPathTest, ByFolderInNaturalOrderThenByName) {
  RunResult result;
  result.fsName = "NTFS";
  auto tree = std::make_shared<ResultTree>();
  tree->isResultTree = true;
  tree->rootFolderId = 5;
  InsertTreePath(*tree, u"My Computer\\");
  const struct {
    const char16_t* name;
    std::int32_t id;
    const char16_t* idText;
  } folders[] = {{u"Folder 10", 100, u"100"}, {u"folder 9", 101, u"101"}};
  for (const auto& f : folders)
    AddTopFolder(*tree, f.name, f.id,
                 result.catalogue.AppendFolder(f.name, u"0", f.idText, u"5", u"0", u"0", u"0",
                                               u"16", u"0", u"FOLDER", u"NULL", 1));
  std::vector<const CatalogueNode*> files;
  const struct {
    const char16_t* name;
    const char16_t* parent;
  } entries[] = {{u"b.txt", u"100"}, {u"a10.txt", u"101"}, {u"root.txt", u"5"},
                 {u"a2.txt", u"101"}, {u"a.txt", u"100"}};
  for (const auto& e : entries)
    files.push_back(result.catalogue.AppendFile(e.name, u"0", u"7", e.parent, u"0", u"0", u"1",
                                                u"32", u"0", u"FILE", u"NULL", 1));
  result.tree = tree;
  result.paths = std::make_shared<EntryPaths>(*tree, result.catalogue);
  const auto sorted = [&](bool descending) {
    std::vector<const CatalogueNode*> rows = files;
    SortFiles(rows, FileSortKey::Path, descending, result);
    std::vector<std::u16string> out;
    for (const CatalogueNode* n : rows) out.push_back(result.paths->EntryPath(n));
    return out;
  };
  EXPECT_EQ(sorted(false), (std::vector<std::u16string>{u"/root.txt", u"/folder 9/a2.txt",
                                                        u"/folder 9/a10.txt", u"/Folder 10/a.txt",
                                                        u"/Folder 10/b.txt"}));
  EXPECT_EQ(sorted(true), (std::vector<std::u16string>{u"/Folder 10/b.txt", u"/Folder 10/a.txt",
                                                       u"/folder 9/a10.txt", u"/folder 9/a2.txt",
                                                       u"/root.txt"}));
}

TEST_F(FileSortTest, EmptyAndSingleRowsAreLeftAlone) {
  std::vector<const CatalogueNode*> none;
  SortFiles(none, FileSortKey::Name, false, result);
  EXPECT_TRUE(none.empty());
  std::vector<const CatalogueNode*> one{files[3]};
  SortFiles(one, FileSortKey::Size, true, result);
  EXPECT_EQ(one.front(), files[3]);
}

}  // namespace
}  // namespace brevant::ui

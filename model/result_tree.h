#pragma once
// Toolkit-neutral model of the folder tree: items, check states, and the folder registry
// that ties each folder item to the catalogued folder it shows.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/catalogue.h"

namespace brevant::ui {

struct TreeItem {
  std::u16string text;
  TreeItem* parent = nullptr;
  std::vector<std::unique_ptr<TreeItem>> children;  // insertion order
  int stateImage = 0;  // 0 no box, 1 unchecked, 2 checked
  bool expanded = false;
  bool hasChildrenFlag = false;  // forced expand button on top-level items
  // First child with each exact text, so lookups by name do not scan the siblings.
  std::unordered_map<std::u16string_view, TreeItem*> childIndex;
};

inline constexpr std::size_t kNoRecord = static_cast<std::size_t>(-1);

// One record of the folder registry.
struct TreeFolderNode {
  std::u16string name;
  TreeItem* treeItem = nullptr;
  std::int32_t folderId = 0;
  std::u16string path;  // "My Computer\" + each folder name + "\"
  std::size_t parentRecord = kNoRecord;  // registry index of the folder above, for the cycle guard
  const CatalogueNode* node = nullptr;   // the catalogued folder, null for synthetic folders
};

class ResultTree {
 public:
  ResultTree();
  ResultTree(const ResultTree&) = delete;
  ResultTree& operator=(const ResultTree&) = delete;

  TreeItem* Root() { return &root_; }  // invisible root; its children are the top-level items
  const TreeItem* Root() const { return &root_; }
  void EnableCheckBoxes() { checkBoxes = true; }
  void DeleteAllItems();

  bool checkBoxes = false;
  // Registry in append order; a deque so records stay put while builders append during a walk.
  std::deque<TreeFolderNode> treeFolderList;

  // What selecting the top item or the "Lost" item lists (set by the result-tree builders).
  bool isResultTree = false;
  std::int64_t rootFolderId = 0;     // files whose parent is the volume's root directory
  TreeItem* lostItem = nullptr;      // holds whatever could not be placed
  std::int32_t lostFolderId = 0x0FFFFFFF;

 private:
  TreeItem root_;
};

// Inserts a backslash-separated path (each component ends with a backslash), reusing items
// by exact text. Returns the last component's item, or the root when the path has no backslash.
TreeItem* InsertTreePath(ResultTree& tree, std::u16string_view path);
TreeItem* FindOrInsertChild(ResultTree& tree, TreeItem* parent, std::u16string_view name);
// Each ancestor becomes checked unless one of its children is unchecked.
void RecomputeAncestorStates(TreeItem* item);
// The check-box click: an unchecked item checks its subtree, anything else unchecks it.
void ClickCheckBox(TreeItem* item);
// Items whose box is checked, depth-first (used to recover a selection).
std::vector<const TreeItem*> CheckedItems(const ResultTree& tree);

// Folder children of the catalogue, by parent-id text, in catalogue order: built once per build.
class FolderChildIndex {
 public:
  explicit FolderChildIndex(const Catalogue& catalogue);
  const std::vector<const CatalogueNode*>* ChildrenOf(std::u16string_view parentIdText) const;
  bool HasFolderId(std::int64_t id) const;

 private:
  std::unordered_map<std::u16string_view, std::vector<const CatalogueNode*>> byParent_;
  std::unordered_map<std::int64_t, int> folderIds_;
};

TreeItem* AddTopFolder(ResultTree& tree, std::u16string_view name, std::int32_t folderId,
                       const CatalogueNode* node = nullptr);
TreeItem* AddSubFolder(ResultTree& tree, std::size_t parentRecord, std::u16string_view name,
                       std::int32_t folderId, const CatalogueNode* node = nullptr);
// Attaches every catalogued child folder of registry record `record` below its path.
int AttachChildFolders(ResultTree& tree, const FolderChildIndex& index, std::size_t record);
// Walks the registry from `fromRecord` to its end (including records appended meanwhile),
// attaching children: the hierarchy comes out breadth-first. `keepGoing` is polled per record.
template <typename KeepGoing>
bool AttachAllFrom(ResultTree& tree, const FolderChildIndex& index, std::size_t fromRecord,
                   KeepGoing keepGoing) {
  for (std::size_t r = fromRecord; r < tree.treeFolderList.size(); ++r) {
    AttachChildFolders(tree, index, r);
    if (!keepGoing()) return false;
  }
  return true;
}

// Puts every catalogued folder that is not yet in the tree below the "Lost" record:
// first those whose parent is no catalogued folder, then the rest (cycles), each followed
// by its own subtree. Folders for which `skip` is true stay out.
template <typename Skip>
void AttachLostFolders(ResultTree& tree, const Catalogue& catalogue, const FolderChildIndex& index,
                       std::size_t lostRecord, Skip skip);

}  // namespace brevant::ui

#include "model/result_tree_inl.h"

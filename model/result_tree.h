#pragma once
// Toolkit-neutral model of the folder tree: items, check states, and the folder registry
// that ties each folder item to the catalogued folder it shows.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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

// The synthetic folder that holds whatever could not be placed, in the tree, in paths and at a
// destination. "Lost" alone is a name real volumes hold: named apart, the two never merge.
inline constexpr std::u16string_view kLostFolderName = u"Lost (found by Brevant)";

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

// A name read from a hostile disk as one component of a tree path: a backslash or a slash in
// it must not split the tree's path or the slash-separated one made from it.
std::u16string PathComponentText(std::u16string_view name);

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

// A folder is not attached where its tree path would pass these limits (a crafted chain of
// folders could otherwise make the registry's paths grow with the square of its length); it
// is shown under "Lost" instead, with what hangs below it.
inline constexpr std::size_t kMaxTreeDepth = 256;
inline constexpr std::size_t kMaxTreePathUnits = 4096;

// Folder children of the catalogue, by parent-id text, in catalogue order, and what one build
// has placed so far: each catalogued folder is placed at most once, and the children of a folder
// id go to the first registry record with that id, so the tree never outgrows the catalogue.
// Made once per build.
class FolderChildIndex {
 public:
  explicit FolderChildIndex(const Catalogue& catalogue);
  const std::vector<const CatalogueNode*>* ChildrenOf(std::u16string_view parentIdText) const;
  bool HasFolderId(std::int64_t id) const;
  bool IsPlaced(const CatalogueNode* node) const { return placed_.count(node) != 0; }

 private:
  friend int AttachChildFolders(ResultTree& tree, FolderChildIndex& index, std::size_t record);
  // Takes note of the registry records appended since the last call.
  void Sync(const ResultTree& tree);
  // The ancestor of `record` at `depth` (its depth or less), by jump pointers.
  std::size_t AncestorAt(std::size_t record, std::uint32_t depth) const;
  bool IsAncestorOrSelf(std::size_t ancestor, std::size_t record) const;

  std::unordered_map<std::u16string_view, std::vector<const CatalogueNode*>> byParent_;
  std::unordered_map<std::int64_t, int> folderIds_;
  std::unordered_set<const CatalogueNode*> placed_;
  std::unordered_map<std::int64_t, std::size_t> claimedBy_;  // folder id -> record given its children
  // Per registry record: depth (top-level 0), parent and jump pointer for ancestor queries.
  std::vector<std::uint32_t> depth_;
  std::vector<std::size_t> parent_;
  std::vector<std::size_t> jump_;
};

TreeItem* AddTopFolder(ResultTree& tree, std::u16string_view name, std::int32_t folderId,
                       const CatalogueNode* node = nullptr);
TreeItem* AddSubFolder(ResultTree& tree, std::size_t parentRecord, std::u16string_view name,
                       std::int32_t folderId, const CatalogueNode* node = nullptr);
// Attaches every catalogued child folder of registry record `record` below its path: those
// not placed yet, not naming themselves as parent, whose id is not on the path above, within
// the depth and path limits, unless an earlier record with the same id took them.
int AttachChildFolders(ResultTree& tree, FolderChildIndex& index, std::size_t record);
// Walks the registry from `fromRecord` to its end (including records appended meanwhile),
// attaching children: the hierarchy comes out breadth-first. `keepGoing` is polled per record.
template <typename KeepGoing>
bool AttachAllFrom(ResultTree& tree, FolderChildIndex& index, std::size_t fromRecord,
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
void AttachLostFolders(ResultTree& tree, const Catalogue& catalogue, FolderChildIndex& index,
                       std::size_t lostRecord, Skip skip);

// The tree of a catalogue whose entries name their folder by id (the root is 0), as the FAT
// and exFAT engines catalogue them: below "My Computer", breadth-first, with "Lost" (folder id
// `lostFolderId`) only when something cannot be placed. `keepGoing` is polled on the way; false
// when it asked to stop (the tree then holds what was placed so far).
bool BuildParentIdTree(ResultTree& tree, const Catalogue& catalogue, std::int32_t lostFolderId,
                       const std::function<bool()>& keepGoing);

}  // namespace brevant::ui

#include "model/result_tree_inl.h"

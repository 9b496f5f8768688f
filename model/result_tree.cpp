#include "model/result_tree.h"

#include "core/text.h"

namespace brevant::ui {
namespace {

constexpr std::u16string_view kTopText = u"My Computer";

void SetSubtree(TreeItem* item, int state) {
  // Depth-first, each child before its own children; iterative so deep trees cannot overflow.
  std::vector<TreeItem*> stack{item};
  while (!stack.empty()) {
    TreeItem* current = stack.back();
    stack.pop_back();
    current->stateImage = state;
    for (auto it = current->children.rbegin(); it != current->children.rend(); ++it)
      stack.push_back(it->get());
  }
}

std::u16string TopPath() { return std::u16string(kTopText) + u"\\"; }

// A name read from a hostile disk may hold a backslash; it must not split the path.
std::u16string PathComponent(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out)
    if (c == u'\\') c = u'_';
  return out + u"\\";
}

}  // namespace

ResultTree::ResultTree() = default;

void ResultTree::DeleteAllItems() {
  root_.children.clear();
  root_.childIndex.clear();
  lostItem = nullptr;
}

TreeItem* FindOrInsertChild(ResultTree& tree, TreeItem* parent, std::u16string_view name) {
  if (auto it = parent->childIndex.find(name); it != parent->childIndex.end()) return it->second;
  auto item = std::make_unique<TreeItem>();
  item->text = std::u16string(name);
  item->parent = parent;
  item->stateImage = tree.checkBoxes ? 1 : 0;
  item->hasChildrenFlag = parent == tree.Root();
  TreeItem* raw = item.get();
  parent->children.push_back(std::move(item));
  parent->childIndex.emplace(std::u16string_view(raw->text), raw);
  return raw;
}

TreeItem* InsertTreePath(ResultTree& tree, std::u16string_view path) {
  TreeItem* parent = tree.Root();
  std::size_t begin = 0;
  for (std::size_t slash = path.find(u'\\'); slash != std::u16string_view::npos;
       slash = path.find(u'\\', begin)) {
    parent = FindOrInsertChild(tree, parent, path.substr(begin, slash - begin));
    begin = slash + 1;
  }
  if (parent != tree.Root()) {
    RecomputeAncestorStates(parent);
    // Every item on the path that has children ends up expanded (expanding a leaf does nothing).
    for (TreeItem* i = parent; i != tree.Root(); i = i->parent)
      if (!i->children.empty()) i->expanded = true;
  }
  return parent;
}

void RecomputeAncestorStates(TreeItem* item) {
  for (TreeItem* ancestor = item->parent; ancestor && ancestor->parent; ancestor = ancestor->parent) {
    bool anyUnchecked = false;
    for (const auto& child : ancestor->children)
      if (child->stateImage == 1) {
        anyUnchecked = true;
        break;
      }
    ancestor->stateImage = anyUnchecked ? 1 : 2;
  }
}

void ClickCheckBox(TreeItem* item) {
  SetSubtree(item, item->stateImage == 1 ? 2 : 1);
  RecomputeAncestorStates(item);
}

std::vector<const TreeItem*> CheckedItems(const ResultTree& tree) {
  std::vector<const TreeItem*> out;
  std::vector<const TreeItem*> stack;
  for (auto it = tree.Root()->children.rbegin(); it != tree.Root()->children.rend(); ++it)
    stack.push_back(it->get());
  while (!stack.empty()) {
    const TreeItem* current = stack.back();
    stack.pop_back();
    if (current->stateImage == 2) out.push_back(current);
    for (auto it = current->children.rbegin(); it != current->children.rend(); ++it)
      stack.push_back(it->get());
  }
  return out;
}

FolderChildIndex::FolderChildIndex(const Catalogue& catalogue) {
  for (const CatalogueNode* n = catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
    if (!n->IsFolder()) continue;
    ++folderIds_[TextToInt(n->id)];
    if (TextToInt(n->parentId) == 0) continue;
    byParent_[std::u16string_view(n->parentId)].push_back(n);
  }
}

const std::vector<const CatalogueNode*>* FolderChildIndex::ChildrenOf(
    std::u16string_view parentIdText) const {
  auto it = byParent_.find(parentIdText);
  return it == byParent_.end() ? nullptr : &it->second;
}

bool FolderChildIndex::HasFolderId(std::int64_t id) const { return folderIds_.count(id) != 0; }

TreeItem* AddTopFolder(ResultTree& tree, std::u16string_view name, std::int32_t folderId,
                       const CatalogueNode* node) {
  std::u16string path = TopPath() + PathComponent(name);
  TreeItem* item = InsertTreePath(tree, path);
  tree.treeFolderList.push_back({std::u16string(name), item, folderId, std::move(path), kNoRecord, node});
  return item;
}

TreeItem* AddSubFolder(ResultTree& tree, std::size_t parentRecord, std::u16string_view name,
                       std::int32_t folderId, const CatalogueNode* node) {
  std::u16string path = tree.treeFolderList[parentRecord].path + PathComponent(name);
  TreeItem* item = InsertTreePath(tree, path);
  tree.treeFolderList.push_back(
      {std::u16string(name), item, folderId, std::move(path), parentRecord, node});
  return item;
}

int AttachChildFolders(ResultTree& tree, const FolderChildIndex& index, std::size_t record) {
  const std::u16string idText = ToSignedText(tree.treeFolderList[record].folderId);
  const auto* children = index.ChildrenOf(idText);
  if (!children) return 1;
  for (const CatalogueNode* child : *children) {
    std::int64_t childId = TextToInt(child->id);
    // A folder that names itself as its parent would hang below itself for ever.
    if (childId == TextToInt(child->parentId)) continue;
    // Never attach a folder whose id already occurs on the path above it.
    bool onPath = false;
    for (std::size_t r = record; r != kNoRecord; r = tree.treeFolderList[r].parentRecord)
      if (tree.treeFolderList[r].folderId == childId) {
        onPath = true;
        break;
      }
    if (onPath) continue;
    AddSubFolder(tree, record, child->name, static_cast<std::int32_t>(childId), child);
  }
  return 1;
}

}  // namespace brevant::ui

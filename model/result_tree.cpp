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

std::u16string PathComponent(std::u16string_view name) { return PathComponentText(name) + u"\\"; }

}  // namespace

std::u16string PathComponentText(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out)
    if (c == u'\\' || c == u'/') c = u'_';
  return out;
}

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

void FolderChildIndex::Sync(const ResultTree& tree) {
  for (std::size_t r = depth_.size(); r < tree.treeFolderList.size(); ++r) {
    const TreeFolderNode& record = tree.treeFolderList[r];
    if (record.node) placed_.insert(record.node);
    const std::size_t p = record.parentRecord;
    if (p == kNoRecord || p >= r) {
      depth_.push_back(0);
      parent_.push_back(r);
      jump_.push_back(r);
      continue;
    }
    // Skew-binary jump pointers: any ancestor is reached in a logarithmic number of steps.
    const std::size_t j = jump_[p];
    const bool skip = depth_[p] - depth_[j] == depth_[j] - depth_[jump_[j]];
    depth_.push_back(depth_[p] + 1);
    parent_.push_back(p);
    jump_.push_back(skip ? jump_[j] : p);
  }
}

std::size_t FolderChildIndex::AncestorAt(std::size_t record, std::uint32_t depth) const {
  while (depth_[record] > depth)
    record = depth_[jump_[record]] >= depth ? jump_[record] : parent_[record];
  return record;
}

bool FolderChildIndex::IsAncestorOrSelf(std::size_t ancestor, std::size_t record) const {
  return depth_[ancestor] <= depth_[record] && AncestorAt(record, depth_[ancestor]) == ancestor;
}

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

int AttachChildFolders(ResultTree& tree, FolderChildIndex& index, std::size_t record) {
  index.Sync(tree);
  const std::int32_t folderId = tree.treeFolderList[record].folderId;
  // Records that share an id would each repeat the same subtree: only the first one gets it.
  if (!index.claimedBy_.emplace(folderId, record).second) return 1;
  const auto* children = index.ChildrenOf(ToSignedText(folderId));
  if (!children) return 1;
  if (index.depth_[record] + 1 >= kMaxTreeDepth) return 1;
  for (const CatalogueNode* child : *children) {
    if (index.IsPlaced(child)) continue;
    const std::int64_t childId = TextToInt(child->id);
    // A folder that names itself as its parent would hang below itself for ever.
    if (childId == TextToInt(child->parentId)) continue;
    // Never attach a folder whose id already occurs on the path above it. Every record on
    // that path has given out its children, so it is the one that claimed its id.
    if (auto claim = index.claimedBy_.find(childId);
        claim != index.claimedBy_.end() && index.IsAncestorOrSelf(claim->second, record))
      continue;
    if (tree.treeFolderList[record].path.size() + std::u16string_view(child->name).size() + 1 >
        kMaxTreePathUnits)
      continue;
    AddSubFolder(tree, record, child->name, static_cast<std::int32_t>(childId), child);
    index.Sync(tree);
  }
  return 1;
}

bool BuildParentIdTree(ResultTree& tree, const Catalogue& catalogue, std::int32_t lostFolderId,
                       const std::function<bool()>& keepGoing) {
  tree.EnableCheckBoxes();
  tree.DeleteAllItems();
  InsertTreePath(tree, u"My Computer\\");
  tree.isResultTree = true;
  tree.rootFolderId = 0;
  tree.lostFolderId = lostFolderId;

  FolderChildIndex index(catalogue);
  std::size_t polled = 0;
  for (const CatalogueNode* n = catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
    if (!n->IsFolder() || TextToInt(n->parentId) != 0) continue;
    AddTopFolder(tree, n->name, static_cast<std::int32_t>(TextToInt(n->id)), n);
    if (++polled % 1024 == 0 && !keepGoing()) return false;
  }
  if (!AttachAllFrom(tree, index, 0, keepGoing)) return false;

  // "Lost" appears only when something needs it: a folder not placed, or a file whose folder
  // is neither the root nor a placed folder.
  std::unordered_set<const CatalogueNode*> placed;
  std::unordered_set<std::int64_t> placedIds{0};
  for (const auto& record : tree.treeFolderList) {
    if (record.node) placed.insert(record.node);
    placedIds.insert(record.folderId);
  }
  bool lost = false;
  for (const CatalogueNode* n = catalogue.folderList.First(); n && !lost; n = CatalogueList<CatalogueNode>::Next(n))
    lost = n->IsFolder() && !placed.count(n);
  for (const CatalogueNode* n = catalogue.fileList.First(); n && !lost; n = CatalogueList<CatalogueNode>::Next(n))
    lost = !placedIds.count(TextToInt(n->parentId));
  if (!lost) return true;

  tree.lostItem = AddTopFolder(tree, kLostFolderName, tree.lostFolderId, nullptr);
  const std::size_t lostRecord = tree.treeFolderList.size() - 1;
  AttachLostFolders(tree, catalogue, index, lostRecord, [](const CatalogueNode&) { return false; });
  return true;
}

}  // namespace brevant::ui

#include "model/file_listing.h"

#include "core/text.h"

namespace brevant::ui {

std::u16string SlashPath(std::u16string_view treePath) {
  constexpr std::u16string_view kTop = u"My Computer\\";
  if (treePath.substr(0, kTop.size()) == kTop) treePath.remove_prefix(kTop.size());
  std::u16string out;
  std::size_t begin = 0;
  for (std::size_t slash = treePath.find(u'\\'); slash != std::u16string_view::npos;
       slash = treePath.find(u'\\', begin)) {
    out += u'/';
    out += treePath.substr(begin, slash - begin);
    begin = slash + 1;
  }
  return out;
}

const std::u16string& EntryPaths::RecordPath(std::size_t record) const {
  // Made on first use; a path once made never changes, so the reference outlives the lock.
  std::lock_guard lock(madeMutex_);
  if (!made_[record]) {
    slashPaths_[record] = SlashPath(tree_.treeFolderList[record].path);
    made_[record] = true;
  }
  return slashPaths_[record];
}

EntryPaths::EntryPaths(const ResultTree& tree, const Catalogue& /*catalogue*/)
    : tree_(tree), slashPaths_(tree.treeFolderList.size()), made_(tree.treeFolderList.size()) {
  for (std::size_t r = 0; r < tree.treeFolderList.size(); ++r) {
    const auto& record = tree.treeFolderList[r];
    if (record.node) recordOfNode_.emplace(record.node, r);
    recordOfId_.emplace(record.folderId, r);
  }
}

std::u16string EntryPaths::FolderPath(const CatalogueNode* folder) const {
  auto it = recordOfNode_.find(folder);
  if (it == recordOfNode_.end()) return {};
  return RecordPath(it->second);
}

const TreeItem* EntryPaths::FileItem(const CatalogueNode* file) const {
  std::int64_t parent = TextToInt(file->parentId);
  if (parent == tree_.rootFolderId) return tree_.Root()->children.empty() ? nullptr : tree_.Root()->children.front().get();
  if (parent != tree_.lostFolderId) {
    auto it = recordOfId_.find(parent);
    if (it != recordOfId_.end()) return tree_.treeFolderList[it->second].treeItem;
  }
  return tree_.lostItem;
}

std::u16string EntryPaths::FileFolder(const CatalogueNode* file) const {
  std::int64_t parent = TextToInt(file->parentId);
  if (parent == tree_.rootFolderId) return u"";
  if (parent != tree_.lostFolderId) {
    auto it = recordOfId_.find(parent);
    if (it != recordOfId_.end()) return RecordPath(it->second);
  }
  return u"/" + std::u16string(kLostFolderName);
}

std::u16string EntryPaths::EntryPath(const CatalogueNode* entry) const {
  if (!entry->IsFolder()) return FileFolder(entry) + u"/" + std::u16string(entry->name);
  std::u16string p = FolderPath(entry);
  if (!p.empty()) return p;
  if (TextToInt(entry->id) == tree_.rootFolderId) return u"/";
  return u"/" + std::u16string(kLostFolderName) + u"/" + std::u16string(entry->name);
}

std::vector<const CatalogueNode*> FilesOfItem(const ResultTree& tree, const Catalogue& catalogue,
                                              const TreeItem* item) {
  std::vector<const CatalogueNode*> out;
  if (!item || !tree.isResultTree) return out;
  EntryPaths paths(tree, catalogue);
  for (const CatalogueNode* n = catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    if (paths.FileItem(n) == item) out.push_back(n);
  return out;
}

std::vector<const CatalogueNode*> ListFolderFiles(const ResultTree& tree, Catalogue& catalogue,
                                                  const TreeItem* item) {
  catalogue.ClearListedFiles();
  auto files = FilesOfItem(tree, catalogue, item);
  for (const CatalogueNode* f : files)
    catalogue.AppendListedFile(f->name, f->sector, f->id, f->parentId, f->size);
  return files;
}

std::vector<const CatalogueNode*> ListFolderFiles(RunResult& result, const TreeItem* item) {
  std::vector<const CatalogueNode*> out;
  std::lock_guard lock(result.listingMutex);
  result.catalogue.ClearListedFiles();
  if (!item || !result.tree || !result.tree->isResultTree || !result.paths) return out;
  for (const CatalogueNode* n = result.catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n))
    if (result.paths->FileItem(n) == item) {
      out.push_back(n);
      result.catalogue.AppendListedFile(*n);
    }
  return out;
}

void BuildEntryPaths(RunResult& result) {
  if (!result.tree) result.tree = std::make_shared<ResultTree>();
  result.paths = std::make_shared<const EntryPaths>(*result.tree, result.catalogue);
}

}  // namespace brevant::ui

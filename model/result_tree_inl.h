#pragma once
#include <unordered_set>

#include "core/text.h"

namespace brevant::ui {

template <typename Skip>
void AttachLostFolders(ResultTree& tree, const Catalogue& catalogue, FolderChildIndex& index,
                       std::size_t lostRecord, Skip skip) {
  std::unordered_set<const CatalogueNode*> placed;
  for (const auto& record : tree.treeFolderList)
    if (record.node) placed.insert(record.node);
  for (int pass = 0; pass < 2; ++pass) {
    for (const CatalogueNode* n = catalogue.folderList.First(); n; n = n->next.load(std::memory_order_acquire)) {
      if (!n->IsFolder() || placed.count(n) || skip(*n)) continue;
      // First pass: only true orphans, whose parent is not a catalogued folder at all.
      if (pass == 0 && index.HasFolderId(TextToInt(n->parentId)) &&
          TextToInt(n->parentId) != TextToInt(n->id))
        continue;
      std::size_t from = tree.treeFolderList.size();
      AddSubFolder(tree, lostRecord, n->name, static_cast<std::int32_t>(TextToInt(n->id)), n);
      AttachAllFrom(tree, index, from, [] { return true; });
      for (std::size_t r = from; r < tree.treeFolderList.size(); ++r)
        if (tree.treeFolderList[r].node) placed.insert(tree.treeFolderList[r].node);
    }
  }
}

}  // namespace brevant::ui

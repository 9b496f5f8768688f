// BuildExfatResultTree: the catalogued folders as a tree below "My Computer", breadth-first,
// with a "Lost" folder for whatever cannot be placed.
#include <unordered_set>

#include "core/text.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"

namespace brevant {

int BuildExfatResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree) {
  const Catalogue& catalogue = session.catalogue;
  tree.EnableCheckBoxes();
  tree.DeleteAllItems();
  ui::InsertTreePath(tree, u"My Computer\\");
  tree.isResultTree = true;
  tree.rootFolderId = 0;
  tree.lostFolderId = static_cast<std::int32_t>(exfat::kLostFolderId);

  bool stopped = false;
  auto keepGoing = [&] {
    if (session.stopRequested.load() == 1) {
      HonourStop(session, view);
      stopped = true;
    }
    return !stopped;
  };

  ui::FolderChildIndex index(catalogue);
  std::size_t polled = 0;
  for (const CatalogueNode* n = catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
    if (!n->IsFolder() || TextToInt(n->parentId) != 0) continue;
    ui::AddTopFolder(tree, n->name, static_cast<std::int32_t>(TextToInt(n->id)), n);
    if (++polled % 1024 == 0 && !keepGoing()) return 1;
  }
  if (!ui::AttachAllFrom(tree, index, 0, keepGoing)) return 1;

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
  if (!lost) return 1;

  tree.lostItem = ui::AddTopFolder(tree, ui::kLostFolderName, tree.lostFolderId, nullptr);
  const std::size_t lostRecord = tree.treeFolderList.size() - 1;
  ui::AttachLostFolders(tree, catalogue, index, lostRecord, [](const CatalogueNode&) { return false; });
  return 1;
}

}  // namespace brevant

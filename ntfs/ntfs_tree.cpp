// The folder tree of an NTFS scan: top-level folders are the root directory's children; the
// hierarchy is attached breadth-first; whatever cannot be placed goes below "Lost".
#include <string_view>

#include "core/text.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_ids.h"

namespace brevant {

int BuildNtfsResultTree(RecoverySession& session, RecoveryView& view, ui::ResultTree& tree) {
  using ntfs::kLostFolderId;
  tree.EnableCheckBoxes();
  tree.DeleteAllItems();
  ui::InsertTreePath(tree, u"My Computer\\");
  tree.isResultTree = true;
  tree.rootFolderId = static_cast<std::int64_t>(ntfs::kRootRecord);
  tree.lostFolderId = kLostFolderId;

  const Catalogue& catalogue = session.catalogue;
  ui::FolderChildIndex index(catalogue);
  // The walk's own "Lost" entry: the one at sector 0, where no MFT record can lie.
  const CatalogueNode* lostNode = nullptr;
  for (const CatalogueNode* n = catalogue.folderList.First(); n && !lostNode;
       n = CatalogueList<CatalogueNode>::Next(n))
    if (n->IsFolder() && TextToInt(n->id) == kLostFolderId && std::u16string_view(n->sector) == u"0")
      lostNode = n;
  // "Lost" is the first top-level folder, whatever the catalogue holds.
  const std::size_t lostRecord = tree.treeFolderList.size();
  tree.lostItem = ui::AddTopFolder(tree, ui::kLostFolderName, kLostFolderId, lostNode);

  for (const CatalogueNode* n = catalogue.folderList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n)) {
    if (!n->IsFolder() || n == lostNode) continue;
    const std::int64_t p = TextToInt(n->parentId), o = TextToInt(n->id);
    const bool topLevel = (p == kLostFolderId && o == kLostFolderId) ||
                          (p != kLostFolderId && p == static_cast<std::int64_t>(ntfs::kRootRecord));
    if (!topLevel || o == static_cast<std::int64_t>(ntfs::kRootRecord)) continue;
    if (HonourStop(session, view)) return 0;
    ui::AddTopFolder(tree, n->name, static_cast<std::int32_t>(o), n);
  }

  // Breadth-first from every top-level record, "Lost" included: folders whose parent was
  // found to be wrong name "Lost" as their parent.
  auto keepGoing = [&] { return !HonourStop(session, view); };
  if (!ui::AttachAllFrom(tree, index, lostRecord, keepGoing)) return 0;
  // Everything else still unplaced, except the root directory's own entry.
  ui::AttachLostFolders(tree, catalogue, index, lostRecord, [lostNode](const CatalogueNode& n) {
    return &n == lostNode || TextToInt(n.id) == static_cast<std::int64_t>(ntfs::kRootRecord);
  });
  return 1;
}

}  // namespace brevant

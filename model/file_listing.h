#pragma once
// What the file list shows for a selected folder, and where each entry sits in the tree.
#include <string>
#include <vector>

#include "core/catalogue.h"
#include "model/result_tree.h"

namespace brevant::ui {

// Files of the folder shown by `item`, in catalogue order: the top item lists the volume's
// root directory, the "Lost" item everything whose folder could not be placed.
std::vector<const CatalogueNode*> FilesOfItem(const ResultTree& tree, const Catalogue& catalogue,
                                              const TreeItem* item);
// Fills the listed-file index the way the file list does (the index is emptied first).
std::vector<const CatalogueNode*> ListFolderFiles(const ResultTree& tree, Catalogue& catalogue,
                                                  const TreeItem* item);

// Slash-separated locations in the result tree ("/Docs/Sub", "/Lost/x.txt").
class EntryPaths {
 public:
  EntryPaths(const ResultTree& tree, const Catalogue& catalogue);
  // The folder's path; empty when the folder is not in the tree.
  std::u16string FolderPath(const CatalogueNode* folder) const;
  // The folder a file is listed in ("" for the root, "/Lost" for the lost ones), without the name.
  std::u16string FileFolder(const CatalogueNode* file) const;
  // The tree item a file is listed under.
  const TreeItem* FileItem(const CatalogueNode* file) const;

 private:
  const std::u16string& RecordPath(std::size_t record) const;
  const ResultTree& tree_;
  mutable std::vector<std::u16string> slashPaths_;  // per registry record, made on first use
  mutable std::vector<bool> made_;
  std::unordered_map<const CatalogueNode*, std::size_t> recordOfNode_;
  std::unordered_map<std::int64_t, std::size_t> recordOfId_;  // first record per folder id
  std::int64_t lostRecordId_ = -1;
};

// "My Computer\A\B\" -> "/A/B"
std::u16string SlashPath(std::u16string_view treePath);

}  // namespace brevant::ui

#pragma once
// What the file list shows for a selected folder, and where each entry sits in the tree.
#include <mutex>
#include <string>
#include <vector>

#include "core/catalogue.h"
#include "core/run_result.h"
#include "model/result_tree.h"

namespace brevant::ui {

// Files of the folder shown by `item`, in catalogue order: the top item lists the volume's
// root directory, the "Lost" item everything whose folder could not be placed.
std::vector<const CatalogueNode*> FilesOfItem(const ResultTree& tree, const Catalogue& catalogue,
                                              const TreeItem* item);
// Fills the listed-file index the way the file list does (the index is emptied first).
std::vector<const CatalogueNode*> ListFolderFiles(const ResultTree& tree, Catalogue& catalogue,
                                                  const TreeItem* item);
// The same on a handed-over result: its listed rows become the files of `item`, each row tied
// to its catalogue record (ListedFileRow::node). Takes the result's listing mutex, so any
// thread may list while others read the result.
std::vector<const CatalogueNode*> ListFolderFiles(RunResult& result, const TreeItem* item);
// The result's tree and entry paths, for a result whose catalogue is complete: used by the
// worker before it hands a result over.
void BuildEntryPaths(RunResult& result);

// Slash-separated locations in the result tree ("/Docs/Sub", "/Lost/x.txt"). Safe to use
// from several threads at once.
class EntryPaths {
 public:
  EntryPaths(const ResultTree& tree, const Catalogue& catalogue);
  // The folder's path; empty when the folder is not in the tree.
  std::u16string FolderPath(const CatalogueNode* folder) const;
  // The folder a file is listed in ("" for the root, "/Lost" for the lost ones), without the name.
  std::u16string FileFolder(const CatalogueNode* file) const;
  // The tree item a file is listed under.
  const TreeItem* FileItem(const CatalogueNode* file) const;
  // Folder path, or the file's folder + "/" + name: "/" for the root directory itself,
  // "/Lost/<name>" for a folder the tree could not place.
  std::u16string EntryPath(const CatalogueNode* entry) const;

 private:
  const std::u16string& RecordPath(std::size_t record) const;
  const ResultTree& tree_;
  mutable std::vector<std::u16string> slashPaths_;  // per registry record, made on first use
  mutable std::vector<bool> made_;
  mutable std::mutex madeMutex_;
  std::unordered_map<const CatalogueNode*, std::size_t> recordOfNode_;
  std::unordered_map<std::int64_t, std::size_t> recordOfId_;  // first record per folder id
  std::int64_t lostRecordId_ = -1;
};

// "My Computer\A\B\" -> "/A/B"
std::u16string SlashPath(std::u16string_view treePath);

}  // namespace brevant::ui

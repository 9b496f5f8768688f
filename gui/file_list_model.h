#pragma once
// The file list: the files of the selected folder, one row per catalogued file of the result
// being shown. A model, so a folder of 100,000 files lists at once.
#include <QAbstractTableModel>
#include <memory>
#include <string>
#include <vector>

#include "core/catalogue.h"

namespace brevant::gui {

class FileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { kName, kCreationTime, kType, kSize, kColumnCount };
  explicit FileListModel(QObject* parent = nullptr);

  // `owner` keeps the records alive while they are listed; `fsName` tells how times are stored.
  void SetRows(std::vector<const CatalogueNode*> rows, std::shared_ptr<const void> owner,
               std::string fsName);
  void Clear();
  // The catalogued file a row shows (its own record, never looked up by name).
  const CatalogueNode* NodeAt(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  std::vector<const CatalogueNode*> rows_;
  std::shared_ptr<const void> owner_;
  std::string fsName_;
};

}  // namespace brevant::gui

#pragma once
// The file list: the files of the selected folder, or every file a filter keeps, one row per
// catalogued file of the result being shown. A model, so a folder of 100,000 files lists at once.
#include <QAbstractTableModel>
#include <memory>
#include <string>
#include <vector>

#include "core/catalogue.h"
#include "core/run_result.h"

namespace brevant::gui {

class FileListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { kName, kCreationTime, kType, kSize, kCondition, kPath, kColumnCount };
  explicit FileListModel(QObject* parent = nullptr);

  // Rows of `result`, which the model keeps alive while they are listed. They are shown in the
  // order given until a header is clicked; after that each new set of rows is sorted the same way.
  void SetRows(std::vector<const CatalogueNode*> rows, std::shared_ptr<const RunResult> result);
  // Rows without a result (no conditions, no paths): `owner` keeps the records alive;
  // `fsName` tells how times are stored.
  void SetRows(std::vector<const CatalogueNode*> rows, std::shared_ptr<const void> owner,
               std::string fsName);
  void Clear();
  // The catalogued file a row shows (its own record, never looked up by name).
  const CatalogueNode* NodeAt(int row) const;
  // The column the rows are sorted by, -1 while they keep the order they were given in.
  int SortColumn() const { return sortColumn_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  // Stable: rows with equal keys keep their order. A column of -1 gives back the order the rows
  // were given in.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  void ApplySort();
  std::vector<const CatalogueNode*> given_;  // the rows in the order given
  std::vector<const CatalogueNode*> rows_;   // as shown
  std::shared_ptr<const RunResult> result_;
  std::shared_ptr<const void> owner_;
  std::string fsName_;
  int sortColumn_ = -1;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

// The condition column's words for a deleted file ("Partly overwritten (4.0 KB)"), and the
// tooltip that says what they mean; empty for a live file.
QString ConditionLabel(const FileState& state);
QString ConditionExplanation(const FileState& state);

}  // namespace brevant::gui

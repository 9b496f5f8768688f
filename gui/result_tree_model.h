#pragma once
// The Qt model over the toolkit-neutral result tree: a tree of 100,000 folders is shown
// without copying it into widget items.
#include <QAbstractItemModel>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/result_tree.h"

namespace brevant::gui {

class ResultTreeModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit ResultTreeModel(QObject* parent = nullptr);

  // Shows `tree` (the start-up tree or a run's result); the model keeps it alive.
  void SetTree(std::shared_ptr<ui::ResultTree> tree);
  // After items were added to the shown tree from outside (an image opened later).
  void Refresh();
  const std::shared_ptr<ui::ResultTree>& Tree() const { return tree_; }

  ui::TreeItem* ItemOf(const QModelIndex& index) const;
  QModelIndex IndexOf(const ui::TreeItem* item) const;
  // Marks `item` with a warning sign and `reason` as its tooltip (a disk that cannot be read);
  // an empty reason removes the mark.
  void MarkItem(const ui::TreeItem* item, const QString& reason);
  // Beside each folder, how many files a filter keeps at or below it; null when no filter is
  // on (the names alone again). Folders holding none are shown greyed.
  void SetMatchCounts(const std::unordered_map<const ui::TreeItem*, std::size_t>* counts);
  // -1 while no filter is on.
  long long MatchCount(const ui::TreeItem* item) const;
  // Leaves these items (and what lies below them) out of the view, and brings back those
  // hidden before that are not among them. Rows are removed and inserted, so the expansion and
  // the selection of the rest stay as they are. A new tree shows every item again.
  void SetHiddenItems(const std::unordered_set<const ui::TreeItem*>& hidden);
  // The check-box click: the subtree follows the item, the ancestors are recomputed.
  void ClickCheckBox(const QModelIndex& index);

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  void IndexRows();
  // The children a parent shows, without the hidden ones; rows are their places in it.
  int ChildCount(const ui::TreeItem* parent) const;
  ui::TreeItem* ChildAt(const ui::TreeItem* parent, int row) const;
  void IndexChildren(const ui::TreeItem* parent);
  bool UnderHidden(const ui::TreeItem* item) const;
  std::unordered_set<const ui::TreeItem*> hidden_;
  // Parents with hidden children: the children they show, in order.
  std::unordered_map<const ui::TreeItem*, std::vector<ui::TreeItem*>> shown_;
  std::shared_ptr<ui::ResultTree> tree_;
  std::unordered_map<const ui::TreeItem*, int> rowOf_;
  std::unordered_map<const ui::TreeItem*, QString> marks_;
  bool counting_ = false;
  std::unordered_map<const ui::TreeItem*, std::size_t> counts_;
};

}  // namespace brevant::gui

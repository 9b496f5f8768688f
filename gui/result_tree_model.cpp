#include "gui/result_tree_model.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>

#include <vector>

namespace brevant::gui {

ResultTreeModel::ResultTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void ResultTreeModel::SetTree(std::shared_ptr<ui::ResultTree> tree) {
  beginResetModel();
  tree_ = std::move(tree);
  IndexRows();
  endResetModel();
}

void ResultTreeModel::Refresh() {
  beginResetModel();
  IndexRows();
  endResetModel();
}

void ResultTreeModel::IndexRows() {
  rowOf_.clear();
  if (!tree_) return;
  std::vector<const ui::TreeItem*> stack{tree_->Root()};
  while (!stack.empty()) {
    const ui::TreeItem* item = stack.back();
    stack.pop_back();
    for (std::size_t r = 0; r < item->children.size(); ++r) {
      rowOf_[item->children[r].get()] = static_cast<int>(r);
      stack.push_back(item->children[r].get());
    }
  }
}

ui::TreeItem* ResultTreeModel::ItemOf(const QModelIndex& index) const {
  if (!index.isValid()) return tree_ ? tree_->Root() : nullptr;
  return static_cast<ui::TreeItem*>(index.internalPointer());
}

QModelIndex ResultTreeModel::IndexOf(const ui::TreeItem* item) const {
  if (!tree_ || !item || item == tree_->Root()) return {};
  auto it = rowOf_.find(item);
  if (it == rowOf_.end()) return {};
  return createIndex(it->second, 0, const_cast<ui::TreeItem*>(item));
}

QModelIndex ResultTreeModel::index(int row, int column, const QModelIndex& parent) const {
  const ui::TreeItem* p = ItemOf(parent);
  if (!p || column != 0 || row < 0 || static_cast<std::size_t>(row) >= p->children.size())
    return {};
  return createIndex(row, 0, p->children[static_cast<std::size_t>(row)].get());
}

QModelIndex ResultTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  return IndexOf(ItemOf(child)->parent);
}

int ResultTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  const ui::TreeItem* p = ItemOf(parent);
  return p ? static_cast<int>(p->children.size()) : 0;
}

int ResultTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool ResultTreeModel::hasChildren(const QModelIndex& parent) const {
  const ui::TreeItem* p = ItemOf(parent);
  // Top-level items always show an expand button, even when empty.
  return p && (!p->children.empty() || p->hasChildrenFlag);
}

void ResultTreeModel::SetMatchCounts(
    const std::unordered_map<const ui::TreeItem*, std::size_t>* counts) {
  if (!counts && !counting_) return;
  // Only texts change: the rows, their expansion and the selection stay as they are.
  emit layoutAboutToBeChanged();
  counting_ = counts != nullptr;
  counts_ = counts ? *counts : std::unordered_map<const ui::TreeItem*, std::size_t>();
  emit layoutChanged();
}

long long ResultTreeModel::MatchCount(const ui::TreeItem* item) const {
  if (!counting_) return -1;
  const auto it = counts_.find(item);
  return it == counts_.end() ? 0 : static_cast<long long>(it->second);
}

QVariant ResultTreeModel::data(const QModelIndex& index, int role) const {
  const ui::TreeItem* item = index.isValid() ? ItemOf(index) : nullptr;
  if (!item) return {};
  const QString text =
      QString::fromUtf16(item->text.data(), static_cast<qsizetype>(item->text.size()));
  if (counting_ && tree_->isResultTree) {
    const long long count = MatchCount(item);
    if (role == Qt::DisplayRole) return count > 0 ? text + QStringLiteral(" (%1)").arg(count) : text;
    if (role == Qt::ForegroundRole && count == 0)
      return QApplication::palette().color(QPalette::Disabled, QPalette::Text);
    if (role == Qt::ToolTipRole)
      return text + (count == 1 ? QStringLiteral("\n1 matching file")
                                : QStringLiteral("\n%1 matching files").arg(count));
  }
  if (role == Qt::DisplayRole) return text;
  if (role == Qt::CheckStateRole && tree_->checkBoxes && item->stateImage != 0)
    return item->stateImage == 2 ? Qt::Checked : Qt::Unchecked;
  if (role == Qt::ToolTipRole || role == Qt::DecorationRole || role == Qt::AccessibleDescriptionRole) {
    const auto mark = marks_.find(item);
    if (mark == marks_.end()) {
      // A found folder's whole name, however narrow the tree.
      if (role == Qt::ToolTipRole && tree_->isResultTree)
        return QString::fromUtf16(item->text.data(), static_cast<qsizetype>(item->text.size()));
      return {};
    }
    if (role == Qt::DecorationRole)
      return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    return mark->second;
  }
  return {};
}

void ResultTreeModel::MarkItem(const ui::TreeItem* item, const QString& reason) {
  if (reason.isEmpty())
    marks_.erase(item);
  else
    marks_[item] = reason;
  const QModelIndex at = IndexOf(item);
  if (at.isValid()) emit dataChanged(at, at);
}

Qt::ItemFlags ResultTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // Not user-checkable: the tree control applies the check rules itself.
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void ResultTreeModel::ClickCheckBox(const QModelIndex& index) {
  ui::TreeItem* item = ItemOf(index);
  if (!item || !index.isValid() || !tree_->checkBoxes) return;
  ui::ClickCheckBox(item);
  // The item and its ancestors changed, and the whole subtree below it.
  for (QModelIndex i = index; i.isValid(); i = i.parent())
    emit dataChanged(i, i, {Qt::CheckStateRole});
  std::vector<const ui::TreeItem*> stack{item};
  while (!stack.empty()) {
    const ui::TreeItem* current = stack.back();
    stack.pop_back();
    if (current->children.empty()) continue;
    QModelIndex first = IndexOf(current->children.front().get());
    QModelIndex last = IndexOf(current->children.back().get());
    emit dataChanged(first, last, {Qt::CheckStateRole});
    for (const auto& c : current->children)
      if (!c->children.empty()) stack.push_back(c.get());
  }
}

}  // namespace brevant::gui

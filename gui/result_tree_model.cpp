#include "gui/result_tree_model.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>

#include <algorithm>
#include <vector>

namespace brevant::gui {

ResultTreeModel::ResultTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void ResultTreeModel::SetTree(std::shared_ptr<ui::ResultTree> tree) {
  beginResetModel();
  tree_ = std::move(tree);
  hidden_.clear();
  shown_.clear();
  counting_ = false;
  counts_.clear();
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
  shown_.clear();
  if (!tree_) return;
  std::vector<const ui::TreeItem*> stack{tree_->Root()};
  while (!stack.empty()) {
    const ui::TreeItem* item = stack.back();
    stack.pop_back();
    IndexChildren(item);
    for (const auto& c : item->children)
      if (!hidden_.count(c.get())) stack.push_back(c.get());
  }
}

void ResultTreeModel::IndexChildren(const ui::TreeItem* parent) {
  shown_.erase(parent);
  bool anyHidden = false;
  for (const auto& c : parent->children) anyHidden = anyHidden || hidden_.count(c.get()) != 0;
  if (!anyHidden) {
    for (std::size_t r = 0; r < parent->children.size(); ++r)
      rowOf_[parent->children[r].get()] = static_cast<int>(r);
    return;
  }
  std::vector<ui::TreeItem*>& shown = shown_[parent];
  for (const auto& c : parent->children) {
    if (hidden_.count(c.get())) {
      rowOf_.erase(c.get());
      continue;
    }
    rowOf_[c.get()] = static_cast<int>(shown.size());
    shown.push_back(c.get());
  }
}

int ResultTreeModel::ChildCount(const ui::TreeItem* parent) const {
  const auto it = shown_.find(parent);
  return static_cast<int>(it != shown_.end() ? it->second.size() : parent->children.size());
}

ui::TreeItem* ResultTreeModel::ChildAt(const ui::TreeItem* parent, int row) const {
  if (row < 0 || row >= ChildCount(parent)) return nullptr;
  const auto it = shown_.find(parent);
  return it != shown_.end() ? it->second[static_cast<std::size_t>(row)]
                            : parent->children[static_cast<std::size_t>(row)].get();
}

bool ResultTreeModel::UnderHidden(const ui::TreeItem* item) const {
  for (const ui::TreeItem* i = item ? item->parent : nullptr; i; i = i->parent)
    if (hidden_.count(i)) return true;
  return false;
}

void ResultTreeModel::SetHiddenItems(const std::unordered_set<const ui::TreeItem*>& hidden) {
  if (!tree_) return;
  // Shown again first, outermost first, so that each goes into a parent already shown.
  std::vector<const ui::TreeItem*> back;
  for (const ui::TreeItem* item : hidden_)
    if (!hidden.count(item)) back.push_back(item);
  const auto depth = [](const ui::TreeItem* i) {
    int d = 0;
    for (; i; i = i->parent) ++d;
    return d;
  };
  std::sort(back.begin(), back.end(), [&](auto* a, auto* b) { return depth(a) < depth(b); });
  for (const ui::TreeItem* item : back) {
    if (UnderHidden(item)) {
      hidden_.erase(item);  // appears with its hidden ancestor, when that one does
      continue;
    }
    int row = 0;
    for (const auto& c : item->parent->children) {
      if (c.get() == item) break;
      if (!hidden_.count(c.get())) ++row;
    }
    beginInsertRows(IndexOf(item->parent), row, row);
    hidden_.erase(item);
    IndexChildren(item->parent);
    // Its subtree was left out of the row index while hidden.
    std::vector<const ui::TreeItem*> stack{item};
    while (!stack.empty()) {
      const ui::TreeItem* i = stack.back();
      stack.pop_back();
      IndexChildren(i);
      for (const auto& c : i->children)
        if (!hidden_.count(c.get())) stack.push_back(c.get());
    }
    endInsertRows();
  }
  std::vector<const ui::TreeItem*> away;
  for (const ui::TreeItem* item : hidden)
    if (!hidden_.count(item) && item && item->parent) away.push_back(item);
  std::sort(away.begin(), away.end(), [&](auto* a, auto* b) { return depth(a) < depth(b); });
  for (const ui::TreeItem* item : away) {
    if (UnderHidden(item) || !rowOf_.count(item)) {
      hidden_.insert(item);
      continue;
    }
    const int row = rowOf_[item];
    beginRemoveRows(IndexOf(item->parent), row, row);
    hidden_.insert(item);
    IndexChildren(item->parent);
    // Nothing below it has a row while it is hidden.
    std::vector<const ui::TreeItem*> stack{item};
    while (!stack.empty()) {
      const ui::TreeItem* i = stack.back();
      stack.pop_back();
      for (const auto& c : i->children) {
        rowOf_.erase(c.get());
        stack.push_back(c.get());
      }
    }
    endRemoveRows();
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
  ui::TreeItem* child = p && column == 0 ? ChildAt(p, row) : nullptr;
  return child ? createIndex(row, 0, child) : QModelIndex();
}

QModelIndex ResultTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  return IndexOf(ItemOf(child)->parent);
}

int ResultTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.column() > 0) return 0;
  const ui::TreeItem* p = ItemOf(parent);
  return p ? ChildCount(p) : 0;
}

int ResultTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool ResultTreeModel::hasChildren(const QModelIndex& parent) const {
  const ui::TreeItem* p = ItemOf(parent);
  // Top-level items always show an expand button, even when empty.
  return p && (ChildCount(p) > 0 || p->hasChildrenFlag);
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
    const int count = ChildCount(current);
    if (count == 0) continue;
    emit dataChanged(IndexOf(ChildAt(current, 0)), IndexOf(ChildAt(current, count - 1)),
                     {Qt::CheckStateRole});
    for (int r = 0; r < count; ++r)
      if (!ChildAt(current, r)->children.empty()) stack.push_back(ChildAt(current, r));
  }
}

}  // namespace brevant::gui

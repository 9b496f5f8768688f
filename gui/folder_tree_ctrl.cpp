#include "gui/folder_tree_ctrl.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionViewItem>

#include "gui/control_ids.h"

namespace brevant::gui {

CFolderTreeCtrl1::CFolderTreeCtrl1(QWidget* parent)
    : QTreeView(parent), model_(new ResultTreeModel(this)) {
  setObjectName(ControlName(kIdTree));
  setModel(model_);
  setHeaderHidden(true);
  setRootIsDecorated(true);
  setUniformRowHeights(true);  // rows are laid out lazily: large trees appear at once
  setSelectionMode(QAbstractItemView::SingleSelection);
  setExpandsOnDoubleClick(false);
  setAnimated(false);
  header()->setStretchLastSection(true);  // the row spans the width: clicks right of a label hit it
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // Tab reaches the tree for the keyboard; a click still never moves the focus to it.
  setFocusPolicy(Qt::TabFocus);
}

void CFolderTreeCtrl1::ShowTree(std::shared_ptr<ui::ResultTree> tree) {
  model_->SetTree(std::move(tree));
  // The start-up tree is small and shown fully expanded; a result tree opens at its top level
  // (expanding every folder of a large volume would lay out every row).
  const int depth = model_->Tree() && model_->Tree()->isResultTree ? 1 : 8;
  for (int r = 0; r < model_->rowCount(); ++r) ApplyExpansion(model_->index(r, 0), depth);
}

void CFolderTreeCtrl1::ApplyExpansion(const QModelIndex& index, int depthLeft) {
  const ui::TreeItem* item = model_->ItemOf(index);
  if (!item || depthLeft <= 0 || item->children.empty() || !item->expanded) return;
  setExpanded(index, true);
  for (int r = 0; r < model_->rowCount(index); ++r)
    ApplyExpansion(model_->index(r, 0, index), depthLeft - 1);
}

QRect CFolderTreeCtrl1::CheckBoxRect(const QModelIndex& index) const {
  if (!index.isValid() || !index.data(Qt::CheckStateRole).isValid()) return {};
  QStyleOptionViewItem option;
  option.initFrom(this);
  option.rect = visualRect(index);
  option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
  option.text = index.data(Qt::DisplayRole).toString();
  option.checkState = static_cast<Qt::CheckState>(index.data(Qt::CheckStateRole).toInt());
  option.showDecorationSelected = false;
  return style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, this);
}

QRect CFolderTreeCtrl1::ExpandButtonRect(const QModelIndex& index) const {
  if (!index.isValid() || !model_->hasChildren(index)) return {};
  const QRect row = visualRect(index);
  return QRect(row.left() - indentation(), row.top(), indentation(), row.height());
}

void CFolderTreeCtrl1::ToggleExpansion(const QModelIndex& index) {
  const bool expand = !isExpanded(index);
  if (expand) {
    // Single-expand: opening a folder closes its open siblings.
    const QModelIndex parent = index.parent();
    for (int r = 0; r < model_->rowCount(parent); ++r) {
      QModelIndex sibling = model_->index(r, 0, parent);
      if (sibling != index && isExpanded(sibling)) setExpanded(sibling, false);
    }
  }
  setExpanded(index, expand);
}

void CFolderTreeCtrl1::keyPressEvent(QKeyEvent* event) {
  // Space toggles the current item's box, as a click on the box does; arrows move, Left and
  // Right collapse and expand, as in any tree.
  if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier) {
    event->accept();
    const QModelIndex current = currentIndex();
    if (current.isValid() && current.data(Qt::CheckStateRole).isValid())
      model_->ClickCheckBox(current);
    return;
  }
  QTreeView::keyPressEvent(event);
}

void CFolderTreeCtrl1::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QTreeView::mousePressEvent(event);
    return;
  }
  event->accept();
  const QPoint pos = event->position().toPoint();
  const QModelIndex index = indexAt(pos);
  // The tree's column spans the whole row: indent, expand button, label and the space right
  // of it all hit the item. Below the last item nothing is hit and nothing happens.
  if (!index.isValid()) return;
  const QModelIndex& hit = index;
  if (CheckBoxRect(hit).contains(pos)) {
    model_->ClickCheckBox(hit);
    return;
  }
  if (ExpandButtonRect(hit).contains(pos)) {
    ToggleExpansion(hit);
    return;
  }
  setCurrentIndex(hit);
  ToggleExpansion(hit);
}

void CFolderTreeCtrl1::mouseDoubleClickEvent(QMouseEvent* event) {
  // The second press of a double click is a press like any other.
  mousePressEvent(event);
}

void CFolderTreeCtrl1::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) QTreeView::mouseReleaseEvent(event);
}

void CFolderTreeCtrl1::mouseMoveEvent(QMouseEvent* event) {
  // No drag selection and no drag and drop.
  event->accept();
}

}  // namespace brevant::gui

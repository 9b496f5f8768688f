#pragma once
// The folder tree: disks and partitions at start-up, the found folders after a run. It handles
// the left button itself: check box, expand button, or the row (select, then toggle).
#include <QTreeView>

#include "gui/result_tree_model.h"

namespace brevant::gui {

class CFolderTreeCtrl1 : public QTreeView {
  Q_OBJECT
 public:
  explicit CFolderTreeCtrl1(QWidget* parent = nullptr);
  ResultTreeModel* Model() const { return model_; }
  // Shows `tree`, expanded the way the tree's items say (the top level always).
  void ShowTree(std::shared_ptr<ui::ResultTree> tree);
  // Where an item's check box is drawn, in viewport coordinates (empty without a box).
  QRect CheckBoxRect(const QModelIndex& index) const;
  // Where an item's expand button is drawn, in viewport coordinates.
  QRect ExpandButtonRect(const QModelIndex& index) const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void ToggleExpansion(const QModelIndex& index);
  void ApplyExpansion(const QModelIndex& index, int depthLeft);
  ResultTreeModel* model_;
};

}  // namespace brevant::gui

#pragma once
// A self-drawn pie chart: a disc of slices laid clockwise from startAngle (a slice of the whole
// circle fills the disc in its own colour; a slice of nothing is left out), a legend row per
// labelled slice at the top right, the share printed inside slices above 25 degrees (always
// within the disc), and a drag with the left button that turns the pie.
#include <QBrush>
#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>
#include <memory>
#include <vector>

#include "model/pie_geometry.h"

namespace brevant::gui {

struct CPieChartPiece {
  QColor legendColour;
  QColor labelColour;
  QBrush brush;
  int sweep = 0;  // whole degrees; 360 is the full circle
  QString label;  // empty: no legend row
};

class CPieChartCtrl : public QWidget {
  Q_OBJECT

 public:
  explicit CPieChartCtrl(QWidget* parent = nullptr);
  ~CPieChartCtrl() override;

  // Recomputes pieRect from the client area and the title.
  void LayoutPie();
  // The point at `angle` degrees on the circle inscribed in pieRect (three fifths of the
  // radius when `inner`).
  QPoint PointOnPie(int angle, bool inner) const;

  // Appends a slice after the others and repaints.
  void AppendPiece(const QColor& legendColour, const QColor& labelColour, const QColor& fillColour,
                   int sweep, const QString& label);
  // Removes every slice and repaints.
  void RemoveAllPieces();

  void SetPieColour(const QColor& colour);
  void SetLineColour(const QColor& colour);
  void SetTitle(const QString& title);
  void SetStartAngle(int angle);

  int StartAngle() const { return startAngle; }
  QColor PieColour() const { return pieColour; }
  QColor LineColour() const { return lineColour; }
  const QString& Title() const { return title; }
  const ui::PieRect& PieBounds() const { return pieRect; }
  const QFont& LabelFont() const { return labelFont; }  // the percentages' font
  const std::vector<std::unique_ptr<CPieChartPiece>>& Pieces() const { return pieces; }
  bool Dragging() const { return dragging; }
  // Where each labelled slice's legend row goes, for the current client area.
  std::vector<ui::LegendRow> LegendLayout() const;

  QSize sizeHint() const override { return {220, 160}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Draw(class QPainter& p);
  ui::PieRect Client() const;

  int startAngle = 0;
  QColor pieColour{0, 0, 255};
  QColor lineColour{0, 0, 0};
  std::vector<std::unique_ptr<CPieChartPiece>> pieces;
  QFont titleFont;
  QFont labelFont;
  QString title;
  int dragX = 0, dragY = 0;
  bool dragging = false;
  ui::PieRect pieRect;
};

}  // namespace brevant::gui

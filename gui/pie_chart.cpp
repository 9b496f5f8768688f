#include "gui/pie_chart.h"

#include <qdrawutil.h>

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

namespace brevant::gui {
namespace {

QRectF Bounds(const ui::PieRect& r) { return QRectF(r.left, r.top, r.Width(), r.Height()); }
QRect Box(const ui::PieRect& r) { return QRect(r.left, r.top, r.Width(), r.Height()); }
QPoint Point(ui::PiePoint p) { return {p.x, p.y}; }

QFont ArialOfHeight(int pixels) {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(pixels);
  font.setWeight(QFont::Normal);
  return font;
}

}  // namespace

CPieChartCtrl::CPieChartCtrl(QWidget* parent)
    : QWidget(parent), titleFont(ArialOfHeight(15)), labelFont(ArialOfHeight(13)) {
  setCursor(Qt::CrossCursor);
  // Every pixel is painted from the off-screen image, so nothing needs erasing first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
}

CPieChartCtrl::~CPieChartCtrl() = default;

ui::PieRect CPieChartCtrl::Client() const { return {0, 0, width(), height()}; }

void CPieChartCtrl::LayoutPie() {
  const int titleHeight = title.isEmpty() ? 0 : QFontMetrics(titleFont).size(0, title).height();
  pieRect = ui::LayoutPie(Client(), titleHeight);
}

QPoint CPieChartCtrl::PointOnPie(int angle, bool inner) const {
  return Point(ui::PointOnPie(pieRect, angle, inner));
}

void CPieChartCtrl::AppendPiece(const QColor& legendColour, const QColor& labelColour,
                                const QColor& fillColour, int sweep, const QString& label) {
  auto piece = std::make_unique<CPieChartPiece>();
  piece->legendColour = legendColour;
  piece->labelColour = labelColour;
  piece->brush = QBrush(fillColour);
  piece->sweep = sweep;
  piece->label = label;
  pieces.push_back(std::move(piece));
  update();
}

void CPieChartCtrl::RemoveAllPieces() {
  pieces.clear();
  update();
}

void CPieChartCtrl::SetPieColour(const QColor& colour) {
  pieColour = colour;
  update();
}

void CPieChartCtrl::SetLineColour(const QColor& colour) {
  lineColour = colour;
  update();
}

void CPieChartCtrl::SetTitle(const QString& text) {
  title = text;
  LayoutPie();  // the disc moves down by twice the title's height
  update();
}

void CPieChartCtrl::SetStartAngle(int angle) {
  startAngle = angle;
  update();
}

std::vector<ui::LegendRow> CPieChartCtrl::LegendLayout() const {
  const QFontMetrics metrics(labelFont);
  std::vector<std::u16string> labels;
  std::vector<int> heights;
  for (const auto& piece : pieces) {
    // A slice of nothing is left out of the legend too.
    if (ui::FilledSweep(piece->sweep) == 0) {
      labels.emplace_back();
      heights.push_back(0);
      continue;
    }
    labels.push_back(piece->label.toStdU16String());
    heights.push_back(piece->label.isEmpty() ? 0 : metrics.size(0, piece->label).height());
  }
  return ui::LegendRows(Client(), labels, heights);
}

void CPieChartCtrl::paintEvent(QPaintEvent*) {
  if (pieRect.Empty()) LayoutPie();
  // Drawn whole off-screen and copied in one step, so a drag does not flicker.
  QPixmap buffer(size() * devicePixelRatioF());
  buffer.setDevicePixelRatio(devicePixelRatioF());
  {
    QPainter p(&buffer);
    Draw(p);
  }
  QPainter window(this);
  window.drawPixmap(0, 0, buffer);
}

void CPieChartCtrl::Draw(QPainter& p) {
  p.fillRect(rect(), palette().color(QPalette::Button));
  // Hard edges, as the platform's own pie primitives draw them: every pixel is a slice's colour.
  p.setRenderHint(QPainter::Antialiasing, false);
  const QPen linePen(lineColour, 1);
  const QRectF disc = Bounds(pieRect);
  p.setPen(Qt::NoPen);
  p.setBrush(pieColour);
  p.drawEllipse(disc);

  const std::vector<ui::LegendRow> legend = LegendLayout();
  std::size_t nextRow = 0;
  const QPoint centre = Point(ui::PieCentre(pieRect));
  int a = startAngle;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const CPieChartPiece& piece = *pieces[i];
    // A slice of nothing is left out: no wedge, no radial line, no share, no legend row.
    const int fill = ui::FilledSweep(piece.sweep);
    if (fill == 0) continue;
    const int from = a;
    a += fill;
    p.setPen(Qt::NoPen);
    p.setBrush(piece.brush);
    if (fill == 360) {
      // The whole circle: the disc in the slice's own colour, without radial lines.
      p.drawEllipse(disc);
    } else {
      // Qt counts angles counter-clockwise from 3 o'clock in sixteenths of a degree.
      p.drawPie(disc, (90 - ui::NormaliseAngle(from)) * 16, -fill * 16);
      p.setPen(linePen);
      p.drawLine(PointOnPie(from, false), centre);
      p.drawLine(centre, PointOnPie(a, false));
    }

    p.setFont(labelFont);
    if (!piece.label.isEmpty() && nextRow < legend.size() && legend[nextRow].piece == i) {
      const ui::LegendRow& row = legend[nextRow++];
      const QRect box = Box(row.box);
      p.fillRect(box, piece.legendColour);
      qDrawWinPanel(&p, box, palette(), true);
      p.setPen(palette().color(QPalette::WindowText));
      p.drawText(Box(row.text), Qt::AlignRight | Qt::AlignVCenter, piece.label);
    }
    const QString text = QString::fromStdU16String(ui::PercentageText(fill));
    const QSize extent = QFontMetrics(labelFont).size(0, text);
    // Printed only where the whole text lies on the disc.
    if (ui::ShowsPercentage(fill) && ui::PercentageFits(pieRect, extent.width(), extent.height())) {
      const ui::PiePoint at = ui::PercentagePosition(pieRect, a, fill, extent.width(),
                                                     extent.height());
      p.setPen(piece.labelColour);
      p.drawText(QRect(QPoint(at.x, at.y), extent), Qt::AlignLeft | Qt::AlignTop, text);
    }
  }

  p.setPen(linePen);
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(disc.adjusted(0.5, 0.5, -0.5, -0.5));
  if (!title.isEmpty()) {
    p.setFont(titleFont);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(1, 1, width() - 1, height() - 1), Qt::AlignLeft | Qt::AlignTop, title);
  }
}

void CPieChartCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
  // Qt keeps sending moves to this control until the button is released.
  dragging = true;
  dragX = event->position().toPoint().x();
  dragY = event->position().toPoint().y();
}

void CPieChartCtrl::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging) return QWidget::mouseMoveEvent(event);
  const QPoint at = event->position().toPoint();
  // One pixel to the right turns the pie one degree clockwise; vertical moves do nothing.
  startAngle += at.x() - dragX;
  update(Box(pieRect));
  dragX = at.x();
  dragY = at.y();
}

void CPieChartCtrl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && dragging) dragging = false;
  QWidget::mouseReleaseEvent(event);
}

void CPieChartCtrl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayoutPie();
}

}  // namespace brevant::gui

// The pie chart control: geometry, drawing checked at chosen pixels, slices and dragging.
#include "gui/pie_chart.h"

#include <QFontMetrics>
#include <QImage>
#include <QtTest>
#include <cmath>

using brevant::gui::CPieChartCtrl;
using brevant::ui::PieRect;

namespace {

const QColor kRed(255, 0, 0), kGreen(0, 200, 0), kYellow(255, 255, 0), kCyan(0, 255, 255);
const QColor kBlue(0, 0, 255), kBlack(0, 0, 0);

// A point at `angle` degrees (0 up, clockwise) and `radius` from the centre of a 300 x 200
// control without a title: disc {50, 0, 250, 200}, centre (150, 100).
QPoint At(double angle, double radius) {
  const double t = angle * M_PI / 180;
  return {static_cast<int>(150 + radius * std::sin(t)),
          static_cast<int>(100 - radius * std::cos(t))};
}

bool AnyPixelNear(const QImage& image, QPoint at, const QColor& colour, int reach = 1) {
  for (int dy = -reach; dy <= reach; ++dy)
    for (int dx = -reach; dx <= reach; ++dx)
      if (image.pixelColor(at + QPoint(dx, dy)) == colour) return true;
  return false;
}

int CountPixels(const QImage& image, const QRect& area, const QColor& colour) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (image.pixelColor(x, y) == colour) ++n;
  return n;
}

// Text is smoothed, so its pixels blend the label colour (green here) into the slice.
int CountGreenish(const QImage& image, const QRect& area) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.green() >= 100 && c.green() > c.red() + 40 && c.green() > c.blue() + 40) ++n;
    }
  return n;
}

}  // namespace

class PieChartTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CPieChartCtrl> Chart(int w = 300, int h = 200) {
    auto chart = std::make_unique<CPieChartCtrl>();
    chart->resize(w, h);
    chart->show();
    if (!QTest::qWaitForWindowExposed(chart.get())) qWarning("chart not exposed");
    return chart;
  }
  QImage Render(CPieChartCtrl& chart) { return chart.grab().toImage(); }

 private slots:
  void layoutInWideAndTallControlsWithAndWithoutTitle() {
    auto chart = Chart(200, 100);
    QCOMPARE(chart->PieBounds(), (PieRect{50, 0, 150, 100}));
    chart->resize(100, 200);
    QCOMPARE(chart->PieBounds(), (PieRect{0, 100, 100, 200}));

    chart->SetTitle(QStringLiteral("Partition 1"));
    // Tall: the title leaves room above, so the disc stays as wide as the control.
    QCOMPARE(chart->PieBounds(), (PieRect{0, 100, 100, 200}));
    chart->resize(200, 100);
    const PieRect wide = chart->PieBounds();
    const int titleRoom = 100 - wide.Height();
    QVERIFY(titleRoom > 0);
    QCOMPARE(titleRoom % 2, 0);  // twice the title's height
    QCOMPARE(wide.Width(), wide.Height());
    QCOMPARE(wide.bottom, 100);
    QCOMPARE(wide.top, titleRoom);
    QCOMPARE(wide.left, (200 - wide.Width()) / 2);
    // The title is drawn: dark pixels at the top left, where the disc never reaches.
    const QImage image = Render(*chart);
    QVERIFY(CountPixels(image, QRect(0, 0, 60, titleRoom / 2),
                        chart->palette().color(QPalette::WindowText)) > 0);
  }

  void pointsOnTheCircleForNegativeAndLargeAngles() {
    auto chart = Chart(100, 100);
    QCOMPARE(chart->PointOnPie(0, false), QPoint(50, 0));
    QCOMPARE(chart->PointOnPie(180, false), QPoint(50, 100));
    QCOMPARE(chart->PointOnPie(270, false), QPoint(0, 50));
    QCOMPARE(chart->PointOnPie(-1, false), chart->PointOnPie(359, false));
    QCOMPARE(chart->PointOnPie(-361, false), chart->PointOnPie(359, false));
    QCOMPARE(chart->PointOnPie(720, false), QPoint(50, 0));
    QCOMPARE(chart->PointOnPie(3690, false), chart->PointOnPie(90, false));
    QCOMPARE(chart->PointOnPie(0, true), QPoint(50, 20));
    QCOMPARE(chart->PointOnPie(-180, true), QPoint(50, 80));
  }

  void emptyChartIsABlueDiscWithAnOutline() {
    auto chart = Chart();
    const QImage image = Render(*chart);
    const QColor face = chart->palette().color(QPalette::Button);
    QCOMPARE(image.pixelColor(150, 100), kBlue);
    QCOMPARE(image.pixelColor(At(200, 70)), kBlue);
    QCOMPARE(image.pixelColor(5, 195), face);
    QCOMPARE(image.pixelColor(295, 195), face);
    QVERIFY(AnyPixelNear(image, {50, 100}, kBlack));   // outline at 9 o'clock
    QVERIFY(AnyPixelNear(image, {249, 100}, kBlack));  // and at 3 o'clock
  }

  void quarterSliceWithPercentageAndRadialLines() {
    auto chart = Chart();
    chart->AppendPiece(kYellow, kGreen, kRed, 90, QString());
    const QImage image = Render(*chart);
    QCOMPARE(image.pixelColor(At(45, 80)), kRed);
    QCOMPARE(image.pixelColor(At(10, 95)), kRed);
    QCOMPARE(image.pixelColor(At(80, 95)), kRed);
    QCOMPARE(image.pixelColor(At(135, 80)), kBlue);
    QCOMPARE(image.pixelColor(At(315, 80)), kBlue);
    QCOMPARE(image.pixelColor(At(100, 80)), kBlue);
    QVERIFY(AnyPixelNear(image, {150, 50}, kBlack));   // 12 o'clock to the centre
    QVERIFY(AnyPixelNear(image, {200, 100}, kBlack));  // the centre to 3 o'clock
    QVERIFY(!AnyPixelNear(image, At(225, 50), kBlack, 0));
    // "25%" in the label colour, centred at 45 degrees and three fifths of the radius.
    const QPoint q = At(45, 60);
    QVERIFY(CountGreenish(image, QRect(q - QPoint(25, 12), q + QPoint(25, 12))) > 5);
    QCOMPARE(CountGreenish(image, QRect(0, 0, 300, 200)),
             CountGreenish(image, QRect(q - QPoint(25, 12), q + QPoint(25, 12))));
  }

  void percentageOnlyAbove25Degrees() {
    auto chart = Chart();
    chart->AppendPiece(kYellow, kGreen, kRed, 25, QString());
    QCOMPARE(CountGreenish(Render(*chart), QRect(0, 0, 300, 200)), 0);
    chart->RemoveAllPieces();
    QVERIFY(chart->Pieces().empty());
    chart->AppendPiece(kYellow, kGreen, kRed, 26, QString());
    QVERIFY(CountGreenish(Render(*chart), QRect(0, 0, 300, 200)) > 5);
    // Removing every slice brings back the empty disc.
    chart->RemoveAllPieces();
    const QImage empty = Render(*chart);
    QCOMPARE(CountGreenish(empty, QRect(0, 0, 300, 200)), 0);
    QCOMPARE(empty.pixelColor(At(10, 80)), kBlue);
  }

  void legendRowsSkipEmptyLabels() {
    auto chart = Chart();
    chart->AppendPiece(kYellow, kGreen, kRed, 60, QStringLiteral("Used"));
    chart->AppendPiece(kRed, kGreen, kRed, 60, QString());
    chart->AppendPiece(kCyan, kGreen, kRed, 60, QStringLiteral("Free"));
    const auto rows = chart->LegendLayout();
    QCOMPARE(rows.size(), std::size_t{2});
    QCOMPARE(rows[0].piece, std::size_t{0});
    QCOMPARE(rows[1].piece, std::size_t{2});
    const int cy = rows[0].box.Height();  // the legend font's height
    QVERIFY(cy >= 13);
    QCOMPARE(rows[0].box, (PieRect{300 - cy, 0, 300, cy}));
    QCOMPARE(rows[1].box, (PieRect{300 - cy, cy, 300, 2 * cy}));
    const QImage image = Render(*chart);
    // Box interiors, inside the sunken edge.
    QCOMPARE(image.pixelColor(300 - cy / 2, cy / 2), kYellow);
    QCOMPARE(image.pixelColor(300 - cy / 2, cy + cy / 2), kCyan);
    // No third row.
    QVERIFY(image.pixelColor(300 - cy / 2, 2 * cy + cy / 2) != kRed);
    // The label text sits left of its box, in window-text colour.
    QVERIFY(CountPixels(image, QRect(300 - cy - 60, 0, 57, cy),
                        chart->palette().color(QPalette::WindowText)) > 0);
  }

  // A slice of the whole circle fills the disc in its own colour, with no radial line, and its
  // "100%" at the centre; a slice of nothing beside it takes no line, share or legend row.
  void fullCircleSliceFillsTheDiscAndZeroSlicesAreLeftOut_data() {
    QTest::addColumn<bool>("zeroFirst");
    QTest::newRow("zero slice after") << false;
    QTest::newRow("zero slice before") << true;
  }
  void fullCircleSliceFillsTheDiscAndZeroSlicesAreLeftOut() {
    QFETCH(bool, zeroFirst);
    auto chart = Chart();
    if (zeroFirst) chart->AppendPiece(kCyan, kGreen, kCyan, 0, QStringLiteral("None"));
    chart->AppendPiece(kYellow, kGreen, kRed, 360, QStringLiteral("All"));
    if (!zeroFirst) chart->AppendPiece(kCyan, kGreen, kCyan, 0, QStringLiteral("None"));
    const QImage image = Render(*chart);
    for (int angle : {1, 20, 110, 200, 290, 359}) QCOMPARE(image.pixelColor(At(angle, 80)), kRed);
    QVERIFY(!AnyPixelNear(image, At(0, 50), kBlack, 0));  // no radial line at 12 o'clock
    const QPoint centre = At(0, 0);
    QVERIFY(CountGreenish(image, QRect(centre - QPoint(25, 12), centre + QPoint(25, 12))) > 5);
    QCOMPARE(CountGreenish(image, QRect(0, 0, 300, 200)),
             CountGreenish(image, QRect(centre - QPoint(25, 12), centre + QPoint(25, 12))));
    const auto rows = chart->LegendLayout();
    QCOMPARE(rows.size(), std::size_t{1});
    QCOMPARE(rows[0].piece, std::size_t{zeroFirst ? 1u : 0u});
    QCOMPARE(CountPixels(image, QRect(0, 0, 300, 200), kCyan), 0);
  }

  // In a chart the size of the window's, or smaller, every share is printed on the disc, never
  // over its edge: no label-coloured pixel lies outside the circle.
  void percentagesStayInsideASmallDisc_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QList<int>>("sweeps");
    for (const QSize size : {QSize(320, 120), QSize(220, 80)}) {
      const QByteArray at = QByteArray::number(size.height()) + " high, ";
      QTest::newRow(at + "quarter and rest") << size << QList<int>{90, 270};
      QTest::newRow(at + "thin and rest") << size << QList<int>{30, 330};
      QTest::newRow(at + "thirds") << size << QList<int>{120, 120, 120};
      QTest::newRow(at + "whole") << size << QList<int>{360};
    }
  }
  void percentagesStayInsideASmallDisc() {
    QFETCH(QSize, size);
    QFETCH(QList<int>, sweeps);
    auto chart = Chart(size.width(), size.height());
    chart->SetTitle(QStringLiteral("Files found"));
    for (int sweep : sweeps) chart->AppendPiece(kYellow, kGreen, kRed, sweep, QString());
    const QImage image = Render(*chart);
    const PieRect pie = chart->PieBounds();
    const double cx = (pie.left + pie.right) * 0.5, cy = (pie.top + pie.bottom) * 0.5;
    const double r = pie.Height() * 0.5;
    int inside = 0, outside = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        if (!(c.green() >= 100 && c.green() > c.red() + 40 && c.green() > c.blue() + 40)) continue;
        (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= r ? inside : outside)++;
      }
    // Which percentages fit depends on the font the machine gives for the label font: one that
    // fits is printed on the disc, one that does not is left out, and none goes over the edge.
    const QFontMetrics metrics(chart->LabelFont());
    bool anyFits = false;
    for (int sweep : sweeps) {
      const QSize extent =
          metrics.size(0, QString::fromStdU16String(brevant::ui::PercentageText(sweep)));
      anyFits = anyFits || brevant::ui::PercentageFits(pie, extent.width(), extent.height());
    }
    if (anyFits)
      QVERIFY(inside > 5);
    else
      QCOMPARE(inside, 0);
    QCOMPARE(outside, 0);
  }

  void dragOf30PixelsTurnsThePieClockwise() {
    auto chart = Chart();
    chart->AppendPiece(kYellow, kGreen, kRed, 90, QString());
    QCOMPARE(Render(*chart).pixelColor(At(15, 90)), kRed);
    QTest::mousePress(chart.get(), Qt::LeftButton, {}, QPoint(100, 100));
    QVERIFY(chart->Dragging());
    QTest::mouseMove(chart.get(), QPoint(115, 100));
    QTest::mouseMove(chart.get(), QPoint(130, 100));
    QCOMPARE(chart->StartAngle(), 30);
    QTest::mouseMove(chart.get(), QPoint(130, 40));   // up: no turn
    QTest::mouseMove(chart.get(), QPoint(130, 180));  // down: no turn
    QCOMPARE(chart->StartAngle(), 30);
    QTest::mouseRelease(chart.get(), Qt::LeftButton, {}, QPoint(130, 180));
    QVERIFY(!chart->Dragging());
    QTest::mouseMove(chart.get(), QPoint(200, 180));  // released: no turn
    QCOMPARE(chart->StartAngle(), 30);
    const QImage image = Render(*chart);
    QCOMPARE(image.pixelColor(At(15, 90)), kBlue);  // the slice now runs 30 to 120 degrees
    QCOMPARE(image.pixelColor(At(35, 90)), kRed);
    QCOMPARE(image.pixelColor(At(115, 90)), kRed);
  }

  void settersRepaintWithTheirColours() {
    auto chart = Chart();
    chart->SetPieColour(kCyan);
    chart->SetLineColour(kRed);
    chart->AppendPiece(kYellow, kGreen, kYellow, 90, QString());
    const QImage image = Render(*chart);
    QCOMPARE(image.pixelColor(At(200, 80)), kCyan);
    QCOMPARE(image.pixelColor(At(45, 80)), kYellow);
    QVERIFY(AnyPixelNear(image, {150, 50}, kRed));
    QVERIFY(AnyPixelNear(image, {50, 100}, kRed));
  }
};

QTEST_MAIN(PieChartTest)
#include "pie_chart_test.moc"

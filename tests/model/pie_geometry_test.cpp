#include "model/pie_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace brevant::ui {
namespace {

TEST(PieGeometry, LayoutKeepsTheDiscSquareCentredAndOnTheBottomEdge) {
  struct Case {
    const char* what;
    PieRect client;
    int titleHeight;
    PieRect pie;
  } cases[] = {
      {"wide", {0, 0, 200, 100}, 0, {50, 0, 150, 100}},
      {"wide with a title", {0, 0, 200, 100}, 10, {60, 20, 140, 100}},
      {"tall", {0, 0, 100, 200}, 0, {0, 100, 100, 200}},
      {"tall with a title", {0, 0, 100, 200}, 10, {0, 100, 100, 200}},
      {"odd spare width truncates", {0, 0, 201, 100}, 0, {50, 0, 150, 100}},
      {"title taller than the control", {0, 0, 100, 30}, 20, {50, 30, 50, 30}},
  };
  for (const Case& c : cases) EXPECT_EQ(LayoutPie(c.client, c.titleHeight), c.pie) << c.what;
  EXPECT_TRUE(LayoutPie({0, 0, 100, 30}, 20).Empty());
}

TEST(PieGeometry, PointsOnTheCircleForAnyAngle) {
  const PieRect pie{0, 0, 100, 100};
  struct Case {
    int angle;
    bool inner;
    PiePoint point;
  } cases[] = {
      {0, false, {50, 0}},     {90, false, {100, 49}}, {180, false, {50, 100}},
      {270, false, {0, 50}},   {360, false, {50, 0}},  {720, false, {50, 0}},
      {450, false, {100, 49}}, {-90, false, {0, 50}},  {-270, false, {100, 49}},
      {0, true, {50, 20}},     {180, true, {50, 80}},  {-630, true, {80, 49}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PointOnPie(pie, c.angle, c.inner), c.point) << c.angle << (c.inner ? " inner" : "");
  // Negative angles reduce to 0..359 as a mathematical remainder.
  EXPECT_EQ(PointOnPie(pie, -1, false), PointOnPie(pie, 359, false));
  EXPECT_EQ(PointOnPie(pie, -361, false), PointOnPie(pie, 359, false));
  EXPECT_EQ(NormaliseAngle(-1), 359);
  EXPECT_EQ(NormaliseAngle(-361), 359);
  EXPECT_EQ(NormaliseAngle(-720), 0);
  EXPECT_EQ(PieCentre({0, 0, 101, 101}), (PiePoint{50, 50}));
}

TEST(PieGeometry, PercentageOnlyAbove25Degrees) {
  EXPECT_FALSE(ShowsPercentage(25));
  EXPECT_TRUE(ShowsPercentage(26));
  EXPECT_FALSE(ShowsPercentage(-90));
  EXPECT_EQ(PercentageText(26), u"7%");
  EXPECT_EQ(PercentageText(90), u"25%");
  EXPECT_EQ(PercentageText(360), u"100%");
  EXPECT_EQ(PercentageText(180), u"50%");
  EXPECT_EQ(PercentageText(200), u"56%");  // 55.6 rounds up
  // Centred on the slice's middle at three fifths of the radius: 45 degrees, r 30.
  EXPECT_EQ(PercentagePosition({0, 0, 100, 100}, 90, 90, 20, 10), (PiePoint{61, 23}));
}

TEST(PieGeometry, FilledSweepLeavesOutNothingAndFillsTheWholeCircle) {
  EXPECT_EQ(FilledSweep(90), 90);
  EXPECT_EQ(FilledSweep(359), 359);
  EXPECT_EQ(FilledSweep(360), 360);
  EXPECT_EQ(FilledSweep(0), 0);
  EXPECT_EQ(FilledSweep(400), 360);
  EXPECT_EQ(FilledSweep(-30), 0);
}

// The percentage's box stays inside the disc, whatever the slice and however small the disc.
TEST(PieGeometry, PercentageStaysInsideTheDisc) {
  struct Case {
    const char* what;
    PieRect pie;
    int endAngle, sweep, w, h;
  } cases[] = {
      {"small disc, quarter", {118, 36, 202, 120}, 90, 90, 30, 15},
      {"small disc, sliver", {118, 36, 202, 120}, 30, 30, 24, 15},
      {"small disc, half", {118, 36, 202, 120}, 250, 180, 30, 15},
      {"large disc, quarter", {0, 0, 200, 200}, 90, 90, 30, 15},
      {"whole circle", {0, 0, 60, 60}, 360, 360, 34, 15},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(PercentageFits(c.pie, c.w, c.h)) << c.what;
    const PiePoint at = PercentagePosition(c.pie, c.endAngle, c.sweep, c.w, c.h);
    const double cx = (c.pie.left + c.pie.right) * 0.5, cy = (c.pie.top + c.pie.bottom) * 0.5;
    for (int dx : {0, c.w})
      for (int dy : {0, c.h})
        EXPECT_LE(std::hypot(at.x + dx - cx, at.y + dy - cy), c.pie.Height() * 0.5)
            << c.what << " corner " << dx << "," << dy;
  }
  // A whole circle's share sits at the centre.
  EXPECT_EQ(PercentagePosition({0, 0, 100, 100}, 0, 360, 20, 10), (PiePoint{40, 45}));
  // A text wider than the disc does not fit anywhere.
  EXPECT_FALSE(PercentageFits({0, 0, 20, 20}, 30, 15));
}

TEST(PieGeometry, LegendRowsSkipEmptyLabels) {
  const auto rows = LegendRows({0, 0, 200, 100}, {u"Used", u"", u"Free", u""}, {13, 13, 13, 13});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].piece, 0u);
  EXPECT_EQ(rows[0].box, (PieRect{187, 0, 200, 13}));
  EXPECT_EQ(rows[0].text, (PieRect{0, 0, 184, 13}));
  EXPECT_EQ(rows[1].piece, 2u);
  EXPECT_EQ(rows[1].box, (PieRect{187, 13, 200, 26}));
  EXPECT_EQ(rows[1].text, (PieRect{0, 13, 184, 26}));
  EXPECT_TRUE(LegendRows({0, 0, 200, 100}, {u"", u""}, {13, 13}).empty());
}

TEST(PieGeometry, SharesOfTheCircleAddUpTo360) {
  struct Case {
    std::vector<std::uint64_t> values;
    std::vector<int> sweeps;
  } cases[] = {
      {{1, 1}, {180, 180}},
      {{3, 1}, {270, 90}},
      {{1, 0}, {360, 0}},
      {{0, 0}, {0, 0}},
      {{1, 1, 1}, {120, 120, 120}},
      {{1, 2}, {120, 240}},
      {{999, 1}, {360, 0}},  // 359.64 and 0.36: the spare degree goes to the larger rest
      {{1, 1, 1, 1, 1, 1, 1}, {52, 52, 52, 51, 51, 51, 51}},
      {{~0ull, ~0ull}, {180, 180}},  // no overflow
  };
  for (const Case& c : cases) EXPECT_EQ(ShareSweeps(c.values), c.sweeps);
}

}  // namespace
}  // namespace brevant::ui

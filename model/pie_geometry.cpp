#include "model/pie_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace brevant::ui {

PieRect LayoutPie(const PieRect& client, int titleHeight) {
  PieRect r = client;
  if (titleHeight > 0) r.top += 2 * titleHeight;
  const int width = r.right - r.left;
  // A title taller than the control would give a negative size: no disc instead.
  const int d = std::max(0, std::min(width, r.bottom - r.top));
  const int left = r.left + (width - d) / 2;
  return {left, r.bottom - d, left + d, r.bottom};
}

int NormaliseAngle(int angle) {
  const int a = angle % 360;
  return a < 0 ? a + 360 : a;
}

PiePoint PointOnPie(const PieRect& pie, int angle, bool inner) {
  const double theta = NormaliseAngle(angle) * 3.1415926535 / 180;
  double r = (pie.bottom - pie.top) * 0.5;
  if (inner) r = r * 3 / 5;
  const double x = std::sin(theta) * r + (pie.left + pie.right) * 0.5;
  const double y = (pie.top + pie.bottom) * 0.5 - std::cos(theta) * r;
  return {static_cast<int>(x), static_cast<int>(y)};
}

PiePoint PieCentre(const PieRect& pie) {
  return {(pie.left + pie.right) / 2, (pie.top + pie.bottom) / 2};
}

int FilledSweep(int sweep) { return std::clamp(sweep, 0, 360); }

bool ShowsPercentage(int sweep) { return sweep > 25; }

std::u16string PercentageText(int sweep) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f%%", sweep * 100.0 / 360.0);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

namespace {
// Half the diagonal of the text's box: the box stays inside a circle of radius r when its centre
// is no further than r minus this from the disc's centre.
double HalfDiagonal(int textWidth, int textHeight) {
  return std::hypot(textWidth, textHeight) / 2;
}
}  // namespace

bool PercentageFits(const PieRect& pie, int textWidth, int textHeight) {
  return HalfDiagonal(textWidth, textHeight) + 1 <= pie.Height() * 0.5;
}

PiePoint PercentagePosition(const PieRect& pie, int endAngle, int sweep, int textWidth,
                            int textHeight) {
  if (FilledSweep(sweep) == 360) {
    const PiePoint c = PieCentre(pie);
    return {c.x - textWidth / 2, c.y - textHeight / 2};
  }
  const double r = pie.Height() * 0.5;
  const double room = r - HalfDiagonal(textWidth, textHeight) - 1;
  if (room >= r * 3 / 5) {
    const PiePoint q = PointOnPie(pie, endAngle - sweep / 2, true);
    return {q.x - textWidth / 2, q.y - textHeight / 2};
  }
  // Drawn nearer the centre, along the same line, so that the whole text stays on the disc.
  const double d = std::max(0.0, room);
  const double theta = NormaliseAngle(endAngle - sweep / 2) * 3.1415926535 / 180;
  const double x = std::sin(theta) * d + (pie.left + pie.right) * 0.5;
  const double y = (pie.top + pie.bottom) * 0.5 - std::cos(theta) * d;
  return {static_cast<int>(x) - textWidth / 2, static_cast<int>(y) - textHeight / 2};
}

std::vector<int> ShareSweeps(const std::vector<std::uint64_t>& values) {
  std::vector<int> sweeps(values.size(), 0);
  long double total = 0;
  for (std::uint64_t v : values) total += static_cast<long double>(v);
  if (total <= 0) return sweeps;
  std::vector<std::pair<long double, std::size_t>> remainders;
  int given = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const long double exact = static_cast<long double>(values[i]) * 360 / total;
    sweeps[i] = static_cast<int>(exact);
    given += sweeps[i];
    remainders.push_back({exact - sweeps[i], i});
  }
  std::stable_sort(remainders.begin(), remainders.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (std::size_t k = 0; given < 360 && k < remainders.size(); ++k, ++given)
    ++sweeps[remainders[k].second];
  return sweeps;
}

std::vector<LegendRow> LegendRows(const PieRect& client, const std::vector<std::u16string>& labels,
                                  const std::vector<int>& textHeights) {
  std::vector<LegendRow> rows;
  int row = 0;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (labels[i].empty()) continue;
    const int cy = i < textHeights.size() ? textHeights[i] : 0;
    LegendRow r;
    r.piece = i;
    r.box = {client.right - cy, client.top + row * cy, client.right, client.top + (row + 1) * cy};
    r.text = {client.left, r.box.top, r.box.left - 3, r.box.bottom};
    rows.push_back(r);
    ++row;
  }
  return rows;
}

}  // namespace brevant::ui

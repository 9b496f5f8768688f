#pragma once
// The pie chart's geometry in client pixels, without any toolkit: where the disc sits, where an
// angle meets its circle, which slices carry a percentage and where legend rows go.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brevant::ui {

// Right and bottom are exclusive, as in a window's client rectangle.
struct PieRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Empty() const { return right <= left || bottom <= top; }
  bool operator==(const PieRect&) const = default;
};

struct PiePoint {
  int x = 0, y = 0;
  bool operator==(const PiePoint&) const = default;
};

// The disc's bounding square: as large as the client allows below twice the title's height
// (0 without a title), centred horizontally and resting on the bottom edge.
PieRect LayoutPie(const PieRect& client, int titleHeight);
// The point at `angle` degrees (0 straight up, clockwise; any integer) on the circle inscribed
// in `pie`, or at three fifths of its radius when `inner`.
PiePoint PointOnPie(const PieRect& pie, int angle, bool inner);
// The disc's centre as the radial lines meet it.
PiePoint PieCentre(const PieRect& pie);
// The mathematical remainder of `angle` modulo 360.
int NormaliseAngle(int angle);
// The degrees a slice of `sweep` fills clockwise: 0 for a slice of nothing (or less), which is
// left out; 360 for a slice of the whole circle (or more), which fills the disc.
int FilledSweep(int sweep);

// A slice prints its share of the circle when its sweep is above 25 degrees.
bool ShowsPercentage(int sweep);
// The share as a whole percentage: "25%" for 90 degrees.
std::u16string PercentageText(int sweep);
// Where the percentage's top-left corner goes for a slice ending at `endAngle`, for a text of
// `textWidth` by `textHeight` pixels: centred on the slice's middle at three fifths of the radius,
// nearer the centre where the text would otherwise cross the disc's edge, and at the centre for
// a slice of the whole circle.
PiePoint PercentagePosition(const PieRect& pie, int endAngle, int sweep, int textWidth,
                            int textHeight);
// Whether a text of that size fits inside the disc at all (at its centre).
bool PercentageFits(const PieRect& pie, int textWidth, int textHeight);

// Whole-degree sweeps for shares of a circle, in proportion to `values` and adding up to 360
// (largest remainders get the spare degrees); all 0 when every value is 0.
std::vector<int> ShareSweeps(const std::vector<std::uint64_t>& values);

// One legend row: the coloured box at the client's top right and the text rectangle to its left.
struct LegendRow {
  std::size_t piece = 0;  // index of the slice it belongs to
  PieRect box;
  PieRect text;  // right-aligned, vertically centred in this rectangle
};
// Rows for the labelled slices in order; slices with an empty label take none. `textHeight`
// is the height of each label as measured in the legend font.
std::vector<LegendRow> LegendRows(const PieRect& client, const std::vector<std::u16string>& labels,
                                  const std::vector<int>& textHeights);

}  // namespace brevant::ui

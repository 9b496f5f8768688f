#include "gui/display_text.h"

#include <QDateTime>

#include "core/output_file.h"
#include "core/text.h"

namespace brevant::gui {

QString EntryTimeText(const CatalogueNode& node, bool fat) {
  std::optional<std::int64_t> seconds;
  if (fat) {
    const std::int64_t date = TextToInt(node.date), time = TextToInt(node.time);
    if (date >= 0 && date <= 0xFFFF && time >= 0 && time <= 0xFFFF)
      seconds = FatTimeToUnix(static_cast<std::uint16_t>(date), static_cast<std::uint16_t>(time));
  } else if (std::int64_t ft = TextToInt(node.date); ft > 0) {
    seconds = FileTimeToUnix(ft);
  }
  if (!seconds) return {};
  return QDateTime::fromSecsSinceEpoch(*seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString SizeText(std::int64_t bytes) {
  if (bytes < 1024) return QString::number(bytes) + QStringLiteral(" bytes");
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  return QString::number(value, 'f', 1) + QLatin1Char(' ') + QLatin1String(kUnits[unit]);
}

}  // namespace brevant::gui

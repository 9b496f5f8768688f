#include "model/display_format.h"

#include <algorithm>
#include <cstdio>

#include "core/file_systems.h"
#include "core/text.h"

namespace brevant::ui {
namespace {

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (const char* p = text; *p; ++p) out += static_cast<char16_t>(static_cast<unsigned char>(*p));
  return out;
}

std::u16string DateTime(long long year, unsigned month, unsigned day, unsigned hour,
                        unsigned minute, unsigned second) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u", year, month, day, hour, minute,
                second);
  return Ascii(buf);
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

}  // namespace

std::u16string FormatFatDateTime(std::uint16_t date, std::uint16_t time) {
  const unsigned day = date & 0x1F, month = (date >> 5) & 0x0F;
  const long long year = 1980 + (date >> 9);
  if (day == 0 || month == 0 || month > 12) return {};
  // Seconds are stored in two-second steps. A time word out of range (hour 24, minute 60...)
  // says nothing reliable: the date is shown alone.
  const unsigned second = 2u * (time & 0x1F), minute = (time >> 5) & 0x3F, hour = time >> 11;
  std::u16string text = DateTime(year, month, day, hour, minute, second);
  if (hour > 23 || minute > 59 || second > 59) text.resize(10);
  return text;
}

std::u16string FormatFileTime(std::uint64_t fileTime) {
  // 1601-01-01 to 1970-01-01 in 100 ns units; 10000-01-01 as a bound.
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
  constexpr std::uint64_t kPastYear9999 = 2650467744000000000ULL;
  if (fileTime == 0 || fileTime >= kPastYear9999) return {};
  const long long seconds = static_cast<long long>(fileTime / 10000000ULL) -
                            static_cast<long long>(kUnixEpoch / 10000000ULL);
  long long days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  long long y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  return DateTime(y, m, d, static_cast<unsigned>(rest / 3600),
                  static_cast<unsigned>(rest / 60 % 60), static_cast<unsigned>(rest % 60));
}

std::u16string FormatEntryTime(const CatalogueNode& entry, std::string_view fsName) {
  const std::int64_t date = TextToInt(entry.date);
  if (HasFatTimes(fsName)) {
    const std::int64_t time = TextToInt(entry.time);
    // exFAT keeps a 10 ms increment (0-199) above the time word: a second more from 100.
    if (date < 0 || date > 0xFFFF || time < 0 || time > 0xC7FFFF) return {};
    const std::int64_t extra = (time >> 16) / 100;
    if (extra == 0)
      return FormatFatDateTime(static_cast<std::uint16_t>(date), static_cast<std::uint16_t>(time));
    std::u16string text = FormatFatDateTime(static_cast<std::uint16_t>(date),
                                            static_cast<std::uint16_t>(time));
    // The odd second the increment adds: the last digit of the seconds goes up by one.
    if (text.size() == 19) text[18] = static_cast<char16_t>(text[18] + 1);
    return text;
  }
  if (fsName == "NTFS")
    return date <= 0 ? std::u16string() : FormatFileTime(static_cast<std::uint64_t>(date));
  return {};
}

std::u16string FormatSize(std::uint64_t bytes) {
  if (bytes == 1) return u"1 byte";
  if (bytes < 1024) return ToText(bytes) + u" bytes";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  // Tenths of the unit, rounded, so 1023.96 KB shows as "1.0 MB" and not "1024.0 KB".
  int unit = 0;
  long double value = static_cast<long double>(bytes) / 1024.0L;
  while (unit < 5 && value >= 1023.95L) {
    value /= 1024.0L;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1Lf %s", value, kUnits[unit]);
  return Ascii(buf);
}

}  // namespace brevant::ui

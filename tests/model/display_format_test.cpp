// Times and sizes as people read them.
#include "model/display_format.h"

#include <gtest/gtest.h>

#include "core/catalogue.h"
#include "core/text.h"

namespace brevant::ui {
namespace {

constexpr std::uint16_t FatDate(unsigned y, unsigned m, unsigned d) {
  return static_cast<std::uint16_t>(((y - 1980) << 9) | (m << 5) | d);
}
constexpr std::uint16_t FatTime(unsigned h, unsigned m, unsigned s) {
  return static_cast<std::uint16_t>((h << 11) | (m << 5) | (s / 2));
}

TEST(DisplayFormat, FatDateAndTimeWords) {
  struct Case {
    std::uint16_t date, time;
    const char16_t* text;
  };
  const Case cases[] = {
      {FatDate(2023, 11, 15), FatTime(0, 13, 20), u"2023-11-15 00:13:20"},
      {FatDate(1980, 1, 1), 0, u"1980-01-01 00:00:00"},
      {FatDate(2107, 12, 31), FatTime(23, 59, 58), u"2107-12-31 23:59:58"},
      {FatDate(2024, 2, 29), FatTime(12, 0, 1), u"2024-02-29 12:00:00"},  // two-second steps
      {0, FatTime(10, 0, 0), u""},                                        // no date at all
      {FatDate(2020, 0, 5), 0, u""},                                      // month 0
      {FatDate(2020, 13, 5), 0, u""},                                     // month 13
      {FatDate(2020, 5, 0), 0, u""},                                      // day 0
      {FatDate(2020, 5, 6), FatTime(24, 0, 0), u"2020-05-06"},            // hour 24
      {FatDate(2020, 5, 6), FatTime(1, 60, 0), u"2020-05-06"},            // minute 60
      {FatDate(2020, 5, 6), 0x1F, u"2020-05-06"},                         // second 62
  };
  for (const Case& c : cases)
    EXPECT_EQ(FormatFatDateTime(c.date, c.time), c.text) << c.date << " " << c.time;
}

TEST(DisplayFormat, NtfsFileTimes) {
  constexpr std::uint64_t kUnix = 116444736000000000ULL;
  struct Case {
    std::uint64_t fileTime;
    const char16_t* text;
  };
  const Case cases[] = {
      {0, u""},
      {1, u"1601-01-01 00:00:00"},
      {kUnix, u"1970-01-01 00:00:00"},
      {kUnix + 1700000000ULL * 10000000ULL, u"2023-11-14 22:13:20"},
      {kUnix + 951782400ULL * 10000000ULL + 9999999, u"2000-02-29 00:00:00"},  // leap day, 0.99 s
      {kUnix - 10000000ULL, u"1969-12-31 23:59:59"},
      {2650467743999999999ULL, u"9999-12-31 23:59:59"},
      {2650467744000000000ULL, u""},  // year 10000
      {UINT64_MAX, u""},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatFileTime(c.fileTime), c.text) << c.fileTime;
}

TEST(DisplayFormat, EntryTimesByFileSystem) {
  Catalogue c;
  const CatalogueNode* fat = c.AppendFile(u"a", u"1", u"2", u"0", u"22383", u"426", u"1", u"32",
                                          u"0", u"FILE", u"NULL", 1);
  const CatalogueNode* ntfs = c.AppendFile(u"b", u"1", u"40", u"5", u"133444736000000000", u"0",
                                           u"1", u"16", u"0", u"FILE", u"NULL", 1);
  const CatalogueNode* bad =
      c.AppendFile(u"c", u"1", u"2", u"0", u"99999", u"-4", u"1", u"32", u"0", u"FILE", u"NULL", 1);
  EXPECT_EQ(FormatEntryTime(*fat, "FAT32"), u"2023-11-15 00:13:20");
  EXPECT_EQ(FormatEntryTime(*fat, "FAT16"), u"2023-11-15 00:13:20");
  EXPECT_EQ(FormatEntryTime(*ntfs, "NTFS"), u"2023-11-14 22:13:20");
  EXPECT_EQ(FormatEntryTime(*bad, "FAT32"), u"");  // not a date word
  EXPECT_EQ(FormatEntryTime(*fat, ""), u"");
  // The catalogue keeps its raw texts.
  EXPECT_EQ(std::u16string_view(fat->date), u"22383");
  // exFAT lists FAT times with its 10 ms increment above the time word: 100 and more add the
  // odd second; a time that is no time shows nothing.
  struct Case {
    const char16_t* time;
    const char16_t* text;
  };
  const Case cases[] = {
      {u"426", u"2023-11-15 00:13:20"},
      {u"6488490", u"2023-11-15 00:13:20"},   // 426 + (99 << 16): under a second
      {u"6554026", u"2023-11-15 00:13:21"},   // 426 + (100 << 16)
      {u"13042090", u"2023-11-15 00:13:21"},  // 426 + (199 << 16)
      {u"16777642", u""},                     // 426 + (256 << 16): no increment is that large
  };
  for (const Case& k : cases) {
    const CatalogueNode* ex = c.AppendFile(u"e", u"1", u"7", u"0", u"22383", k.time, u"1", u"32",
                                           u"0", u"FILE", u"NULL", 1);
    EXPECT_EQ(FormatEntryTime(*ex, "exFAT"), k.text) << ToUtf8(k.time);
  }
}

TEST(DisplayFormat, Sizes) {
  struct Case {
    std::uint64_t bytes;
    const char16_t* text;
  };
  const Case cases[] = {
      {0, u"0 bytes"},
      {1, u"1 byte"},
      {1023, u"1023 bytes"},
      {1024, u"1.0 KB"},
      {1536, u"1.5 KB"},
      {12897485, u"12.3 MB"},
      {1048575, u"1.0 MB"},  // 1023.999 KB rounds up into the next unit
      {5046586573ULL, u"4.7 GB"},
      {2199023255552ULL, u"2.0 TB"},
      {UINT64_MAX, u"16.0 EB"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

}  // namespace
}  // namespace brevant::ui

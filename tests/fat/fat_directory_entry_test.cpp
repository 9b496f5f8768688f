// The on-disk pieces: short names, long-name runs, directory-looking sectors, code pages.
#include <gtest/gtest.h>

#include "fat/boot_sector.h"
#include "fat/codepage.h"
#include "fat/directory_entry.h"
#include "fat_test_util.h"

namespace brevant::fattest {
namespace {

std::vector<std::string> Concat2(std::vector<std::string> a, const std::string& b) {
  a.push_back(b);
  return a;
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(FatEntry, ChecksumOfShortNames) {
  EXPECT_EQ(fat::ShortNameChecksum(Name83("REPORT~1", "DOC")), 17);
  EXPECT_EQ(fat::ShortNameChecksum(Name83("README", "TXT")), 115);
}

TEST(FatEntry, ParsingNeedsAWholeEntry) {
  std::string e = ShortEntryBytes(Name83("A", "B"), 0x20, 0x00120034, 77);
  EXPECT_FALSE(fat::ParseShortEntry(Bytes(e.substr(0, 31))).has_value());
  auto parsed = fat::ParseShortEntry(Bytes(e));
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->Cluster(fat::FatKind::Fat32), 0x00120034u);
  EXPECT_EQ(parsed->Cluster(fat::FatKind::Fat16), 0x0034u);  // FAT16 has no high half
  EXPECT_EQ(parsed->size, 77u);
  EXPECT_FALSE(fat::ParseLongNameEntry(Bytes(e)).has_value());
  EXPECT_FALSE(fat::ParseFatBootSector(Bytes(std::string(100, '\0'))).has_value());
}

struct LongCase {
  const char* what;
  std::function<std::vector<std::string>(const std::array<std::uint8_t, 11>&)> run;
  bool deleted;
  const char* expected;  // nullptr: no long name
};

TEST(FatEntry, LongNameRuns) {
  const auto sn = Name83("LONGNA~1", "TXT");
  const std::u16string name = u"A rather long file name.txt";  // 27 units: 3 entries
  const std::vector<LongCase> cases = {
      {"complete run", [&](auto& s) { return LongEntries(name, s); }, false, "A rather long file name.txt"},
      {"first entry missing",
       [&](auto& s) {
         auto r = LongEntries(name, s);
         r.erase(r.begin());
         return r;
       },
       false, nullptr},
      {"an entry deleted in a live run",
       [&](auto& s) {
         auto r = LongEntries(name, s);
         r[1][0] = static_cast<char>(0xE5);
         return r;
       },
       false, nullptr},
      {"stray entries of an older name before the run",
       [&](auto& s) {
         auto older = LongEntries(u"Older.txt", Name83("OLDER", "TXT"));
         auto r = LongEntries(name, s);
         older.insert(older.end(), r.begin(), r.end());
         return older;
       },
       false, "A rather long file name.txt"},
      {"deleted run with a deleted short entry",
       [&](auto& s) {
         auto r = LongEntries(name, s);
         for (auto& e : r) e[0] = static_cast<char>(0xE5);
         return r;
       },
       true, "A rather long file name.txt"},
      {"deleted: an older name's entries (another checksum) are not joined",
       [&](auto& s) {
         auto older = LongEntries(u"Some older name here.txt", Name83("SOMEOL~1", "TXT"));
         auto r = LongEntries(u"Short one.txt", s);
         older.insert(older.end(), r.begin(), r.end());
         for (auto& e : older) e[0] = static_cast<char>(0xE5);
         return older;
       },
       true, "Short one.txt"},
  };
  for (const auto& c : cases) {
    auto shortName = sn;
    if (c.deleted) shortName[0] = 0xE5;
    fat::LongNameCollector collector;
    for (const auto& e : c.run(sn)) collector.Add(*fat::ParseLongNameEntry(Bytes(e)));
    auto entry = fat::ParseShortEntry(Bytes(ShortEntryBytes(shortName, 0x20, 5, 1)));
    auto got = collector.NameFor(*entry);
    if (!c.expected) {
      EXPECT_FALSE(got.has_value()) << c.what;
    } else {
      ASSERT_TRUE(got.has_value()) << c.what;
      EXPECT_EQ(ToUtf8(*got), c.expected) << c.what;
    }
  }
}

TEST(FatEntry, SectorsThatReadAsDirectoryEntries) {
  auto sector = [](std::vector<std::string> entries) {
    std::string s;
    for (auto& e : entries) s += e;
    s.resize(512, '\0');
    return s;
  };
  auto sn = Name83("LOOSEF~1", "TXT");
  EXPECT_TRUE(fat::LooksLikeDirectorySector(Bytes(sector(Concat2(LongEntries(u"Loose file.txt", sn), ShortEntryBytes(sn, 0x20, 5, 1))))));
  EXPECT_TRUE(fat::LooksLikeDirectorySector(Bytes(sector({ShortEntryBytes(Name83("A", "TXT"), 0x20, 5, 1)}))));
  EXPECT_FALSE(fat::LooksLikeDirectorySector(Bytes(std::string(512, '\0'))));
  EXPECT_FALSE(fat::LooksLikeDirectorySector(Bytes(std::string(512, 'e'))));  // text
  EXPECT_FALSE(fat::LooksLikeDirectorySector(Bytes(Pattern(512, 3))));        // noise
  std::string afterEnd = sector({ShortEntryBytes(Name83("A", "TXT"), 0x20, 5, 1)});
  afterEnd[100] = 'x';  // bytes after the end mark
  EXPECT_FALSE(fat::LooksLikeDirectorySector(Bytes(afterEnd)));
  EXPECT_FALSE(fat::LooksLikeDirectorySector(Bytes(sector({DotEntries(5, 0)}))));  // a start, not a continuation
}

TEST(FatEntry, DirectoryStartSignature) {
  std::string s = DotEntries(7, 0);
  s.resize(512, '\0');
  EXPECT_TRUE(fat::IsDirectoryStart(Bytes(s), false));
  EXPECT_TRUE(fat::IsDirectoryStart(Bytes(s), true));
  EXPECT_EQ(fat::DotCluster(Bytes(s), fat::FatKind::Fat32), 7u);
  s[11] = 0x20;  // "." without the directory bit: only the five-byte test passes
  EXPECT_TRUE(fat::IsDirectoryStart(Bytes(s), false));
  EXPECT_FALSE(fat::IsDirectoryStart(Bytes(s), true));
  s[33] = 'X';
  EXPECT_FALSE(fat::IsDirectoryStart(Bytes(s), false));
  EXPECT_FALSE(fat::IsDirectoryStart(Bytes(s.substr(0, 40)), false));
}

TEST(FatCodePage, TablesDecodeTheOemBytes) {
  struct Case {
    int page;
    std::uint8_t byte;
    char16_t expected;
  };
  for (Case c : {Case{850, 0x82, u'é'}, Case{850, 0x90, u'É'}, Case{850, 0x9B, u'ø'}, Case{850, 0xE5, u'Õ'},
                 Case{437, 0x82, u'é'}, Case{437, 0x90, u'É'}, Case{437, 0x9B, u'¢'}, Case{866, 0x80, u'А'},
                 Case{852, 0x9F, u'č'}, Case{850, 0x41, u'A'}})
    EXPECT_EQ(fat::OemToUnicode(c.page, c.byte), c.expected) << c.page << " " << int(c.byte);
  EXPECT_EQ(fat::OemToUnicode(12345, 0x9B), u'ø');  // unknown pages decode as 850
  auto pages = fat::SupportedOemCodePages();
  EXPECT_NE(std::find(pages.begin(), pages.end(), 437), pages.end());
  EXPECT_NE(std::find(pages.begin(), pages.end(), 850), pages.end());
  EXPECT_FALSE(fat::IsSupportedOemCodePage(1252));
}

}  // namespace
}  // namespace brevant::fattest

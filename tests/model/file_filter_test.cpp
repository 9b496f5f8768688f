#include "model/file_filter.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/output_file.h"
#include "core/text.h"

namespace brevant::ui {
namespace {

TEST(FileFilterNames, GlobsWithCaseFolding) {
  struct Case {
    std::u16string pattern, name;
    bool match;
  } cases[] = {
      {u"", u"anything", true},
      {u"*", u"", true},
      {u"*.jpg", u"Holiday.JPG", true},
      {u"*.jpg", u"Holiday.jpg.txt", false},
      {u"*.jpg", u"a.jpg:Zone.Identifier", false},
      {u"IMG_????.jpg", u"img_0001.JPG", true},
      {u"IMG_????.jpg", u"img_001.jpg", false},
      {u"?", u"\U0001F600", true},  // one character, even beyond the BMP
      {u"a*b*c", u"aXXbYYc", true},
      {u"a*b*c", u"aXXbYY", false},
      {u"**a**", u"bab", true},
      {u"report[0-9].doc", u"REPORT7.doc", true},
      {u"report[0-9].doc", u"reportx.doc", false},
      {u"report[!0-9].doc", u"reportx.doc", true},
      {u"report[^0-9].doc", u"report5.doc", false},
      {u"[A-C]*", u"bravo", true},   // a range matches folded names
      {u"[]]x", u"]x", true},       // `]` first in a set is a member
      {u"[*]", u"*", true},         // a bracketed star is a star
      {u"[*]", u"a", false},
      {u"a[b", u"A[B", true},       // an unclosed bracket is itself
      {u"$*", u"$budget.xls", true},
      // Unicode case folding: full folding, accents composed or not, other scripts.
      {u"STRASSE*", u"straße.txt", true},
      {u"straße", u"STRASSE", true},
      {u"ÉTÉ.doc", u"été.DOC", true},
      {u"e\u0301te\u0301.doc", u"\u00e9t\u00e9.doc", true},
      {u"ΣΟΦΙΑ*", u"σοφια.txt", true},
      {u"*Σ.txt", u"σοφιας.txt", true},  // final sigma
      {u"ПРИВЕТ.txt", u"привет.TXT", true},
      {u"ПРИВЕТ.txt", u"привет.doc", false},
      {u"ＡＢＣ.txt", u"abc.txt", true},  // full-width letters
      {u"[É]t*", u"étude", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NameMatches(c.pattern, c.name), c.match)
        << ToUtf8(c.pattern) << " on " << ToUtf8(c.name);
}

// The plain recursive reading of a glob over ASCII, for checking the fast matcher against.
bool ReferenceMatch(std::u16string_view p, std::u16string_view n) {
  if (p.empty()) return n.empty();
  if (p[0] == u'*') return ReferenceMatch(p.substr(1), n) || (!n.empty() && ReferenceMatch(p, n.substr(1)));
  if (n.empty()) return false;
  if (p[0] == u'[') {
    const std::size_t close = p.find(u']', 2);
    const bool negated = p[1] == u'!';
    const std::u16string_view set = p.substr(negated ? 2 : 1, close - (negated ? 2 : 1));
    const bool in = set.find(n[0]) != std::u16string_view::npos;
    return in != negated && ReferenceMatch(p.substr(close + 1), n.substr(1));
  }
  return (p[0] == u'?' || p[0] == n[0]) && ReferenceMatch(p.substr(1), n.substr(1));
}

TEST(FileFilterNames, AgreesWithTheRecursiveReading) {
  // Every pattern of up to four pieces and every name of up to six letters over a small
  // alphabet: stars next to runs of one-character tokens are where a matcher goes wrong.
  const std::u16string_view pieces[] = {u"a", u"b", u"?", u"*", u"[ab]", u"[!a]"};
  std::vector<std::u16string> patterns{u""}, names{u""};
  for (int len = 0; len < 4; ++len)
    for (std::size_t i = 0, end = patterns.size(); i < end; ++i)
      for (auto piece : pieces) patterns.push_back(patterns[i] + std::u16string(piece));
  for (int len = 0; len < 6; ++len)
    for (std::size_t i = 0, end = names.size(); i < end; ++i)
      for (char16_t c : {u'a', u'b', u'c'}) names.push_back(names[i] + c);
  std::size_t checked = 0;
  for (const auto& p : patterns)
    for (std::size_t k = 0; k < names.size() && !p.empty(); k += 29) {  // empty: no name test
      ASSERT_EQ(NameMatches(p, names[k]), ReferenceMatch(p, names[k]))
          << ToUtf8(p) << " on " << ToUtf8(names[k]);
      ++checked;
    }
  EXPECT_GT(checked, 100000u);
}

TEST(FileFilterNames, HostileNamesAndPatternsEndQuickly) {
  // A pattern of many stars against a long near-miss: exponential backtracking would never end.
  std::u16string pattern, name(4000, u'a');
  for (int i = 0; i < 200; ++i) pattern += u"*a";
  pattern += u"*b";
  EXPECT_FALSE(NameMatches(pattern, name));
  EXPECT_TRUE(NameMatches(pattern, name + u"b"));
  // Unpaired surrogates and control characters are compared as they are.
  const std::u16string broken{u'x', static_cast<char16_t>(0xD800), u'.', u't', u'x', u't'};
  EXPECT_TRUE(NameMatches(u"X?.TXT", broken));
  EXPECT_TRUE(NameMatches(u"*.txt", broken));
  EXPECT_TRUE(NameMatches(u"a?b", u"a\nb"));
}

TEST(FileFilterCategories, ByExtension) {
  struct Case {
    std::u16string name;
    FileCategory category;
  } cases[] = {
      {u"a.JPG", FileCategory::Pictures},     {u"raw.cr2", FileCategory::Pictures},
      {u"x.png", FileCategory::Pictures},     {u"Letter.docx", FileCategory::Documents},
      {u"r.PDF", FileCategory::Documents},    {u"notes.txt", FileCategory::Documents},
      {u"song.mp3", FileCategory::Audio},     {u"s.FLAC", FileCategory::Audio},
      {u"clip.mkv", FileCategory::Video},     {u"c.MP4", FileCategory::Video},
      {u"b.tar.gz", FileCategory::Archives},  {u"z.7z", FileCategory::Archives},
      {u"m.eml", FileCategory::Email},        {u"box.PST", FileCategory::Email},
      {u"noext", FileCategory::Other},        {u"trailing.", FileCategory::Other},
      {u"prog.exe", FileCategory::Other},     {u".jpg", FileCategory::Pictures},
      {u"a.jpg:Zone.Identifier", FileCategory::Other},
      {u"a.jp\u0261", FileCategory::Other},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CategoryOfName(c.name), c.category) << ToUtf8(c.name);
  for (FileCategory c : {FileCategory::Pictures, FileCategory::Documents, FileCategory::Audio,
                         FileCategory::Video, FileCategory::Archives, FileCategory::Email,
                         FileCategory::Other})
    EXPECT_EQ(ParseCategory(CategoryText(c)), c);
  EXPECT_EQ(ParseCategory("email"), FileCategory::Email);
  EXPECT_EQ(CategoryText(FileCategory::Email), "e-mail");
  EXPECT_FALSE(ParseCategory("Pictures"));
  EXPECT_FALSE(ParseCategory(""));
}

TEST(FileFilterValues, SizesAndTimes) {
  struct SizeCase {
    std::string text;
    std::optional<std::uint64_t> bytes;
  } sizes[] = {
      {"0", 0},
      {"1500", 1500},
      {"10K", 10240},
      {"10kb", 10240},
      {"1.5M", 1572864},
      {"2GiB", 2147483648ULL},
      {"1T", 1ULL << 40},
      {"18446744073709551615", 18446744073709551615ULL},
      {"18446744073709551616", std::nullopt},
      {"16777216T", std::nullopt},
      {"", std::nullopt},
      {"K", std::nullopt},
      {"-1", std::nullopt},
      {"1.", std::nullopt},
      {"12 K", std::nullopt},
      {"3X", std::nullopt},
  };
  for (const SizeCase& c : sizes) EXPECT_EQ(ParseByteSize(c.text), c.bytes) << c.text;

  struct TimeCase {
    std::string text;
    bool end;
    std::optional<std::int64_t> seconds;
  } times[] = {
      {"1970-01-01", false, 0},
      {"1970-01-01", true, 86399},
      {"2024-05-01", false, 1714521600},
      {"2024-05-01T13:45", false, 1714571100},
      {"2024-05-01 13:45:10", true, 1714571110},
      {"2024-05-01T13:45:10Z", false, 1714571110},
      {"2024-05-01T15:45:10+02:00", false, 1714571110},
      {"2024-05-01T12:45:10-0100", false, 1714571110},
      {"2024-02-29", false, 1709164800},
      {"2023-02-29", false, std::nullopt},
      {"2024-13-01", false, std::nullopt},
      {"2024-04-31", false, std::nullopt},
      {"2024-05-01T24:00", false, std::nullopt},
      {"2024-5-1", false, std::nullopt},
      {"2024-05-01Z", false, std::nullopt},
      {"2024-05-01T13:45junk", false, std::nullopt},
      {"yesterday", false, std::nullopt},
  };
  for (const TimeCase& c : times) EXPECT_EQ(ParseIsoTime(c.text, c.end), c.seconds) << c.text;
}

// A FAT date and time word pair for a day at noon.
std::u16string FatDate(int year, int month, int day) {
  return ToText(static_cast<std::uint64_t>(((year - 1980) << 9) | (month << 5) | day));
}
const std::u16string kNoon = ToText(12u << 11);

class FilterIndexTest : public ::testing::Test {
 protected:
  const CatalogueNode* File(RunResult& r, const char16_t* name, const char16_t* id,
                            const char16_t* parent, std::u16string size, bool deleted,
                            std::u16string date = u"0", std::u16string time = u"0",
                            std::u16string_view stream = {}) {
    return r.catalogue.AppendFile(name, u"0", id, parent, date, time, size, u"32", u"0", u"FILE",
                                  deleted ? u"1" : u"NULL", 1, stream);
  }
  const CatalogueNode* Folder(RunResult& r, const char16_t* name, const char16_t* id,
                              const char16_t* parent, bool deleted = false) {
    return r.catalogue.AppendFolder(name, u"0", id, parent, u"0", u"0", u"0", u"16", u"0",
                                    u"FOLDER", deleted ? u"1" : u"NULL", 1);
  }
  static std::vector<std::u16string> Names(const std::vector<const CatalogueNode*>& nodes) {
    std::vector<std::u16string> out;
    for (const CatalogueNode* n : nodes) out.push_back(n->name);
    return out;
  }
};

TEST_F(FilterIndexTest, NtfsSystemFilesByRecordAndPlace) {
  RunResult r;
  r.fsName = "NTFS";
  Folder(r, u".", u"5", u"5");
  Folder(r, u"$Extend", u"11", u"5");
  Folder(r, u"$RmMetadata", u"27", u"11");
  Folder(r, u"$Txf", u"28", u"27");
  Folder(r, u"Users", u"40", u"5");
  Folder(r, u"Loop", u"60", u"61");
  Folder(r, u"Loop2", u"61", u"60");
  struct Case {
    const char16_t *name, *id, *parent;
    const char16_t* stream;
    bool system;
  } cases[] = {
      {u"$MFT", u"0", u"5", u"", true},
      {u"$MFTMirr", u"1", u"5", u"", true},
      {u"$LogFile", u"2", u"5", u"", true},
      {u"$Secure:$SDS", u"9", u"5", u"$SDS", true},
      {u"$UpCase", u"10", u"5", u"", true},
      {u"$ObjId:$O", u"25", u"11", u"$O", true},      // below $Extend
      {u"$Tops", u"29", u"27", u"", true},            // deeper below $Extend
      {u"T.log", u"30", u"28", u"", true},
      {u"held back", u"17", u"5", u"", true},         // a reserved record
      {u"$budget.xls", u"41", u"5", u"", false},       // a user's name, a user's record
      {u"$MFT", u"42", u"40", u"", false},             // the name alone says nothing
      {u"a.txt:$DATA2", u"43", u"40", u"$DATA2", false},
      {u"in a loop", u"44", u"60", u"", false},
      // Found by the extensive sweep: the record number is gone, the name in the root tells.
      {u"$MFT", u"268435460", u"5", u"", true},
      {u"$MFT", u"268435461", u"40", u"", false},
      {u"old.jpg", u"268435462", u"5", u"", false},
  };
  std::vector<const CatalogueNode*> nodes;
  for (const Case& c : cases) nodes.push_back(File(r, c.name, c.id, c.parent, u"10", false, u"0", u"0", c.stream));
  FilterIndex index(r);
  for (std::size_t i = 0; i < nodes.size(); ++i)
    EXPECT_EQ(index.IsSystem(*nodes[i]), cases[i].system) << ToUtf8(cases[i].name) << " " << ToUtf8(cases[i].id);
  // The folders themselves.
  for (auto* n = r.catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
    const std::u16string_view name(n->name);
    EXPECT_EQ(index.IsSystem(*n), name.substr(0, 1) == u"$") << ToUtf8(name);
  }
  // Left out unless asked for.
  FileFilter all;
  std::size_t user = 0;
  for (const Case& c : cases) user += !c.system;
  EXPECT_EQ(index.Matching(all).size(), user);
  all.includeSystem = true;
  EXPECT_EQ(index.Matching(all).size(), std::size(cases));
  EXPECT_FALSE(all.Narrows());
}

TEST_F(FilterIndexTest, FatVolumesHaveNoSystemFiles) {
  RunResult r;
  r.fsName = "FAT32";
  const CatalogueNode* a = File(r, u"$MFT", u"0", u"0", u"0", false);
  const CatalogueNode* b = File(r, u"$LogFile", u"2", u"0", u"10", true);
  FilterIndex index(r);
  EXPECT_FALSE(index.IsSystem(*a));
  EXPECT_FALSE(index.IsSystem(*b));
  EXPECT_EQ(index.Matching(FileFilter{}).size(), 2u);
}

TEST_F(FilterIndexTest, CriteriaCombine) {
  RunResult r;
  r.fsName = "FAT16";
  Folder(r, u"Photos", u"3", u"0");
  Folder(r, u"Old", u"4", u"0", true);
  const std::u16string d2019 = FatDate(2019, 6, 1), d2021 = FatDate(2021, 3, 15),
                       d2023 = FatDate(2023, 12, 31);
  File(r, u"Beach.JPG", u"10", u"3", u"2000000", false, d2021, kNoon);
  const CatalogueNode* lost = File(r, u"lost.jpg", u"11", u"3", u"300000", true, d2019, kNoon);
  const CatalogueNode* torn = File(r, u"torn.jpeg", u"12", u"3", u"50000", true, d2023, kNoon);
  const CatalogueNode* gone = File(r, u"gone.png", u"13", u"4", u"4096", true, d2021, kNoon);
  File(r, u"Report.docx", u"14", u"4", u"12000", true, d2021, kNoon);
  File(r, u"song.mp3", u"15", u"0", u"5000000", false, d2023, kNoon);
  File(r, u"undated.txt", u"16", u"0", u"1", false, u"0", u"0");
  r.states[lost] = {FileCondition::Intact, 0};
  r.states[torn] = {FileCondition::PartlyOverwritten, 4096};
  r.states[gone] = {FileCondition::Overwritten, 4096};
  // Report.docx was not judged: StateOf gives Unknown.
  FilterIndex index(r);

  auto filter = [](auto&& set) {
    FileFilter f;
    set(f);
    return f;
  };
  using L = FileFilter::Liveness;
  struct Case {
    const char* what;
    FileFilter f;
    std::vector<std::u16string> names;
  } cases[] = {
      {"everything", {}, {u"Beach.JPG", u"lost.jpg", u"torn.jpeg", u"gone.png", u"Report.docx",
                          u"song.mp3", u"undated.txt"}},
      {"name", filter([](FileFilter& f) { f.namePattern = u"*.JPG"; }), {u"Beach.JPG", u"lost.jpg"}},
      {"deleted", filter([](FileFilter& f) { f.liveness = L::DeletedOnly; }),
       {u"lost.jpg", u"torn.jpeg", u"gone.png", u"Report.docx"}},
      {"live", filter([](FileFilter& f) { f.liveness = L::LiveOnly; }),
       {u"Beach.JPG", u"song.mp3", u"undated.txt"}},
      {"intact", filter([](FileFilter& f) { f.conditions = {FileCondition::Intact}; }), {u"lost.jpg"}},
      {"damaged", filter([](FileFilter& f) {
         f.conditions = {FileCondition::PartlyOverwritten, FileCondition::Overwritten};
       }), {u"torn.jpeg", u"gone.png"}},
      {"unknown", filter([](FileFilter& f) { f.conditions = {FileCondition::Unknown}; }),
       {u"Report.docx"}},
      {"sizes inclusive", filter([](FileFilter& f) {
         f.minSize = 4096;
         f.maxSize = 300000;
       }), {u"lost.jpg", u"torn.jpeg", u"gone.png", u"Report.docx"}},
      {"since", filter([](FileFilter& f) { f.since = *ParseIsoTime("2021-03-15T12:00:00", false); }),
       {u"Beach.JPG", u"torn.jpeg", u"gone.png", u"Report.docx", u"song.mp3"}},
      {"until a day", filter([](FileFilter& f) { f.until = *ParseIsoTime("2021-03-15", true); }),
       {u"Beach.JPG", u"lost.jpg", u"gone.png", u"Report.docx"}},
      {"until before noon", filter([](FileFilter& f) { f.until = *ParseIsoTime("2021-03-15T11:59:59", false); }),
       {u"lost.jpg"}},
      {"pictures", filter([](FileFilter& f) { f.categories = {FileCategory::Pictures}; }),
       {u"Beach.JPG", u"lost.jpg", u"torn.jpeg", u"gone.png"}},
      {"audio or documents", filter([](FileFilter& f) {
         f.categories = {FileCategory::Audio, FileCategory::Documents};
       }), {u"Report.docx", u"song.mp3", u"undated.txt"}},
      {"intact deleted jpg", filter([](FileFilter& f) {
         f.namePattern = u"*.jpg";
         f.liveness = L::DeletedOnly;
         f.conditions = {FileCondition::Intact};
       }), {u"lost.jpg"}},
      {"nothing", filter([](FileFilter& f) {
         f.minSize = 10;
         f.maxSize = 5;
       }), {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Names(index.Matching(c.f)), c.names) << c.what;
    for (auto* n = r.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      EXPECT_EQ(index.Matches(c.f, *n),
                std::find(c.names.begin(), c.names.end(), n->name) != c.names.end())
          << c.what << ": " << ToUtf8(n->name);
  }
  // Folders answer to names, liveness and times, never to file-only criteria.
  const CatalogueNode* photos = r.catalogue.folderList.First();
  const CatalogueNode* old = CatalogueList<CatalogueNode>::Next(photos);
  EXPECT_TRUE(index.Matches(filter([](FileFilter& f) { f.namePattern = u"PHOTO*"; }), *photos));
  EXPECT_FALSE(index.Matches(filter([](FileFilter& f) { f.liveness = L::DeletedOnly; }), *photos));
  EXPECT_TRUE(index.Matches(filter([](FileFilter& f) { f.liveness = L::DeletedOnly; }), *old));
  EXPECT_FALSE(index.Matches(filter([](FileFilter& f) { f.minSize = 0; }), *old));
  EXPECT_TRUE(filter([](FileFilter& f) { f.minSize = 0; }).Narrows());
  EXPECT_TRUE(filter([](FileFilter& f) { f.namePattern = u"a*"; }).Narrows());
  EXPECT_FALSE(filter([](FileFilter& f) { f.namePattern = u"**"; }).Narrows());
  // An entry of another result is no match.
  RunResult other;
  const CatalogueNode* stranger = File(other, u"lost.jpg", u"11", u"3", u"1", true);
  EXPECT_FALSE(index.Matches(FileFilter{}, *stranger));
}

TEST_F(FilterIndexTest, NtfsTimesAreFileTimes) {
  RunResult r;
  r.fsName = "NTFS";
  // 2021-03-15 12:00:00 UTC as a FILETIME.
  const std::int64_t t = 1615809600;
  const std::u16string ft = ToText(static_cast<std::uint64_t>((t + 11644473600LL) * 10000000LL));
  File(r, u"a.txt", u"64", u"5", u"1", false, ft);
  File(r, u"b.txt", u"65", u"5", u"1", false, u"0");
  FilterIndex index(r);
  FileFilter f;
  f.since = t;
  f.until = t;
  EXPECT_EQ(Names(index.Matching(f)), std::vector<std::u16string>{u"a.txt"});
  f.since = t + 1;
  f.until.reset();
  EXPECT_TRUE(index.Matching(f).empty());
}

}  // namespace
}  // namespace brevant::ui

#include "core/text.h"

#include <gtest/gtest.h>

#include "core/output_file.h"

namespace brevant {
namespace {

TEST(Text, DecimalRoundTrip) {
  struct Case {
    std::u16string text;
    std::int64_t value;
  } cases[] = {{u"0", 0},        {u"268435455", 268435455}, {u"007", 7},  {u"-12", -12},
               {u"+5", 5},       {u"12abc", 12},            {u"", 0},     {u"abc", 0},
               {u"5368709120", 5368709120LL}, {u"99999999999999999999999", INT64_MAX}};
  for (const auto& c : cases) EXPECT_EQ(TextToInt(c.text), c.value) << ToUtf8(c.text);
  EXPECT_EQ(ToText(0), u"0");
  EXPECT_EQ(ToText(18446744073709551615ull), u"18446744073709551615");
  EXPECT_EQ(ToSignedText(-9223372036854775807LL - 1), u"-9223372036854775808");
}

TEST(Text, Utf8RoundTripKeepsEveryScript) {
  for (std::u16string s : {u"Café menu.txt", u"Отчёт 2024.txt", u"日本語ファイル.txt", u"emoji 😀.bin"})
    EXPECT_EQ(FromUtf8(ToUtf8(s)), s);
  std::u16string lone{u'a', static_cast<char16_t>(0xD800), u'b'};
  EXPECT_EQ(ToUtf8(lone), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(FromUtf8("\xFF"), std::u16string(1, 0xFFFD));
}

TEST(OutputFile, SanitisedNamesStayInsideTheFolder) {
  struct Case {
    std::u16string in, out;
  } cases[] = {{u"report.txt", u"report.txt"}, {u"..", u"_.."},       {u".", u"_."},
               {u"", u"_"},                    {u"a/b\\c", u"a_b_c"}, {u"tab\there", u"tab_here"},
               {u"../../etc/passwd", u".._.._etc_passwd"}};
  for (const auto& c : cases) EXPECT_EQ(SanitiseName(c.in), c.out) << ToUtf8(c.in);
}

TEST(OutputFile, FatAndNtfsTimes) {
  // 2024-03-15 13:45:30 -> date ((44<<9)|(3<<5)|15), time ((13<<11)|(45<<5)|15)
  auto t = FatTimeToUnix((44 << 9) | (3 << 5) | 15, (13 << 11) | (45 << 5) | 15);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(*t, 1710510330);
  EXPECT_FALSE(FatTimeToUnix(0, 0).has_value());  // day 0 is no date
  EXPECT_EQ(FileTimeToUnix(116444736000000000LL), 0);
}

}  // namespace
}  // namespace brevant

namespace brevant {
namespace {

TEST(OutputFile, NeverOverwritesAnExistingFile) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "brevant-output-test";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::vector<std::string> made;
  for (int i = 0; i < 3; ++i) {
    auto path = UniqueOutputPath(dir, u"notes.txt");
    std::string error;
    std::FILE* f = CreateOutputFile(path, &error);
    ASSERT_NE(f, nullptr) << error;
    std::fputs("x", f);
    std::fclose(f);
    made.push_back(path.filename().string());
  }
  EXPECT_EQ(made, (std::vector<std::string>{"notes.txt", "notes (1).txt", "notes (2).txt"}));
  std::string error;
  EXPECT_EQ(CreateOutputFile(dir / "notes.txt", &error), nullptr);
  EXPECT_FALSE(error.empty());
  std::filesystem::remove_all(dir);
}

}  // namespace
TEST(Text, ToUtf8LineKeepsANameOnOneLine) {
  const struct {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"plain name.txt", "plain name.txt"},
      {u"caf\u00e9 \u65e5\U0001F600", "caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80"},
      {u"a\nb\rc\td", "a\\nb\\rc\\td"},
      {u"\x1b[2Jx", "\\x1b[2Jx"},
      {u"del\x7f", "del\\x7f"},
      {u"c1\u009b", "c1\\u009b"},
      {u"ls\u2028ps\u2029", "ls\\u2028ps\\u2029"},
      {u"back\\slash", "back\\\\slash"},
      {std::u16string(u"nul\0in", 6), "nul\\x00in"},
      {u"", ""},
  };
  for (const auto& c : cases) {
    const std::string got = ToUtf8Line(c.in);
    EXPECT_EQ(got, c.out) << ToUtf8(c.in);
    for (char ch : got) EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) << got;
  }
}

}  // namespace brevant

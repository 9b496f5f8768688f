#include "model/preview_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brevant::ui {
namespace {

TEST(PreviewRules, ExtensionIsAfterTheLastDotUpperCased) {
  struct Case {
    std::u16string name, extension;
  } cases[] = {
      {u"report.txt", u"TXT"},   {u"a.tar.gz", u"GZ"},   {u"exe", u"EXE"},
      {u"name.", u""},           {u"Setup.Exe", u"EXE"}, {u"prog.exe.txt", u"TXT"},
      {u".profile", u"PROFILE"}, {u"café.é", u"é"},  // only a to z change
  };
  for (const Case& c : cases) EXPECT_EQ(PreviewExtension(c.name), c.extension);
}

TEST(PreviewRules, TwentyExtensionsAreRefusedWhateverTheirCase) {
  for (std::u16string_view ext : kRefusedExtensions) {
    std::u16string lower(ext);
    for (char16_t& c : lower)
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    EXPECT_TRUE(IsPreviewRefused(u"file." + lower));
    EXPECT_TRUE(IsPreviewRefused(u"file." + std::u16string(ext)));
  }
  struct Case {
    std::u16string name;
    bool refused;
  } cases[] = {
      {u"exe", true},          {u"EXE", true},     {u"setup.Exe", true},  {u"prog.exe.txt", false},
      {u"prog.txt.exe", true}, {u"name.", false},  {u"notes.txt", false}, {u"photo.jpg", false},
      {u"clip.bin", true},     {u"x.exe2", false}, {u"x.ex", false},      {u"man", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPreviewRefused(c.name), c.refused);
  EXPECT_EQ(kPreviewRefusedText, u"Preview not available for this file\r\n");
}

TEST(PreviewRules, LowestSelectedRowIsPreviewed) {
  EXPECT_EQ(FirstSelectedRow(std::vector<int>{}), -1);
  EXPECT_EQ(FirstSelectedRow(std::vector<int>{7, 3, 9}), 3);
  EXPECT_EQ(FirstSelectedRow(std::vector<int>{0}), 0);
}

TEST(PreviewRules, LargeFilesArePreviewedFromTheirFirstBytes) {
  EXPECT_EQ(kDefaultPreviewLimit, 64ull * 1024 * 1024);
  EXPECT_EQ(PreviewByteCount(100, kDefaultPreviewLimit), 100u);
  EXPECT_EQ(PreviewByteCount(5ull << 30, kDefaultPreviewLimit), kDefaultPreviewLimit);
  EXPECT_EQ(PreviewByteCount(0, kDefaultPreviewLimit), 0u);
}

std::vector<std::uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(PreviewRules, TextReadingFollowsMarksAndContent) {
  struct Case {
    const char* what;
    std::string bytes;
    TextEncoding encoding;
    std::size_t bom;
  } cases[] = {
      {"ascii", "hello\r\n\tworld\f", TextEncoding::Utf8, 0},
      {"utf-8 with a mark", "\xEF\xBB\xBFhi", TextEncoding::Utf8, 3},
      {"utf-8 Cyrillic", "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82", TextEncoding::Utf8, 0},
      {"utf-8 cut at the end", "ab\xE6\x97", TextEncoding::Utf8, 0},
      {"utf-16 LE mark", std::string("\xFF\xFEh\0i\0", 6), TextEncoding::Utf16Le, 2},
      {"utf-16 BE mark", std::string("\xFE\xFF\0h\0i", 6), TextEncoding::Utf16Be, 2},
      {"latin-1 caf\xE9", "caf\xE9 cr\xE8me", TextEncoding::Latin1, 0},
      {"OEM caf\x82", "caf\x82 men\x81", TextEncoding::Oem, 0},
      {"overlong utf-8", "a\xC0\xAF", TextEncoding::Latin1, 0},
      {"NUL bytes", std::string("ab\0cd", 5), TextEncoding::None, 0},
      {"control bytes", "ab\x01\x02", TextEncoding::None, 0},
      {"utf-16 without mark", std::string("h\0i\0", 4), TextEncoding::None, 0},
  };
  for (const Case& c : cases) {
    const auto bytes = Bytes(c.bytes);
    const TextReading r = ChooseTextReading(bytes);
    EXPECT_EQ(r.encoding, c.encoding) << c.what;
    EXPECT_EQ(r.bomBytes, c.bom) << c.what;
  }
}

TEST(PreviewRules, OnlyLinesAPersonReadsGoToTheTextView) {
  const std::string line(kLongestTextLine, 'a');
  struct Case {
    const char* what;
    std::string bytes;
    bool fits;
  } cases[] = {
      {"empty", "", true},
      {"short lines", "one\ntwo\r\nthree", true},
      {"a line at the limit", line + "\n" + line, true},
      {"a line one past the limit", line + "a", false},
      {"long lines broken by CR only", line + "\r" + line, true},
      {"a log of 0xFF bytes", std::string(3 * kLongestTextLine, '\xFF'), false},
      {"long line after short ones", "a\nb\n" + line + "bc", false},
  };
  for (const Case& c : cases) EXPECT_EQ(FitsTextView(Bytes(c.bytes)), c.fits) << c.what;
}

TEST(PreviewRules, HtmlByNameOrByItsFirstTag) {
  EXPECT_TRUE(LooksLikeHtml(u"page.HTM", Bytes("anything")));
  EXPECT_TRUE(LooksLikeHtml(u"page.xhtml", {}));
  EXPECT_TRUE(LooksLikeHtml(u"saved", Bytes("\xEF\xBB\xBF  \n<!DOCTYPE HTML><p>")));
  EXPECT_TRUE(LooksLikeHtml(u"saved", Bytes("<html><body>")));
  EXPECT_FALSE(LooksLikeHtml(u"notes.txt", Bytes("<p>not a page</p>")));
  EXPECT_FALSE(LooksLikeHtml(u"x.html.txt", Bytes("plain")));
}

}  // namespace
}  // namespace brevant::ui

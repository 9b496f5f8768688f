#include "platform/output_name.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "core/output_file.h"
#include "core/text.h"
#include "platform/output_folder.h"
#include "test_support.h"

namespace brevant::platform {
namespace {

namespace fs = std::filesystem;

std::string Repeat(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Whole characters only: decoding and encoding again gives the same bytes, and no U+FFFD
// appeared that the input did not hold.
bool WholeUtf8(const std::string& text) {
  return ToUtf8(FromUtf8(text)) == text && text.find("\xEF\xBF\xBD") == std::string::npos;
}

bool EndsWith(const std::string& text, std::string_view end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(FitName, NamesAreWholeUpToTheLimitAndShortenedPastIt) {
  const std::string a255 = Repeat("a", 251) + ".txt";
  const std::string a256 = Repeat("a", 252) + ".txt";
  const std::string e300 = Repeat("\xC3\xA9", 150) + ".doc";             // é: 2 bytes
  const std::string cjk = Repeat("\xE6\x97\xA5", 255);                   // 日: 765 bytes
  const std::string emoji = Repeat("\xF0\x9F\x98\x80", 127) + "z.jpeg";  // 😀: 4 bytes
  const std::string longExt = "name." + Repeat("x", 300);
  const std::string manyDots = Repeat("a.", 150);
  struct Case {
    const char* what;
    std::string name;
    std::string suffix;
    bool whole;          // returned unchanged (suffix put before the extension)
    std::string ending;  // what the result must end with
  };
  const Case cases[] = {
      {"fits", "report.txt", "", true, "report.txt"},
      {"255 bytes exactly", a255, "", true, a255},
      {"256 bytes", a256, "", false, ".txt"},
      {"two-byte characters", e300, "", false, ".doc"},
      {"three-byte characters, no extension", cjk, "", false, ""},
      {"four-byte characters", emoji, "", false, ".jpeg"},
      {"extension longer than the limit", longExt, "", false, ""},
      {"a name of dots", manyDots, "", false, ""},
      {"suffix on a short name", "report.txt", " (3)", true, "report (3).txt"},
      {"suffix on 255 bytes", a255, " (12)", false, " (12).txt"},
      {"suffix on a long multi-byte name", e300, " (1)", false, " (1).doc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string out = FitName(c.name, c.suffix);
    EXPECT_LE(out.size(), kMaxNameBytes);
    EXPECT_TRUE(WholeUtf8(out)) << out;
    EXPECT_TRUE(EndsWith(out, c.ending)) << out;
    if (c.whole) {
      EXPECT_EQ(out.find('~'), std::string::npos) << out;
      EXPECT_EQ(out.size(), c.name.size() + c.suffix.size());
    } else {
      // As much of the start as fits, then the marker.
      EXPECT_GE(out.size(), kMaxNameBytes - 3) << out;
      const std::size_t tilde = out.rfind('~');
      ASSERT_NE(tilde, std::string::npos) << out;
      EXPECT_EQ(out.compare(0, tilde, c.name, 0, tilde), 0) << out;
      const std::string hex = out.substr(tilde + 1, 8);
      EXPECT_EQ(hex.size(), 8u) << out;
      EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << out;
    }
  }
}

TEST(FitName, LongNamesThatShareTheirStartStayApart) {
  const std::string stem = Repeat("Quarterly report of the northern region ", 7);  // 280 bytes
  const std::string names[] = {stem + "draft.txt", stem + "final.txt", stem + "final2.txt",
                               stem + "final.TXT", stem + "final.txt "};
  std::set<std::string> seen;
  for (const std::string& n : names) {
    const std::string out = FitName(n);
    EXPECT_LE(out.size(), kMaxNameBytes);
    EXPECT_TRUE(seen.insert(out).second) << n << " -> " << out;
    EXPECT_EQ(FitName(n), out);  // the same name always gets the same shortened name
  }
}

TEST(FitName, TheOutputNamesOfFilesAndPreviewsFitAndNeverReplaceEachOther) {
  const fs::path root = test::TempDir() / "long-names";
  fs::remove_all(root);
  std::string error;
  auto folder = OpenOutputFolder(root, true, &error);
  ASSERT_TRUE(folder) << error;
  const std::u16string full = FromUtf8(Repeat("b", 251) + ".bin");            // 255 bytes
  const std::u16string cjk = FromUtf8(Repeat("\xE6\x96\x87", 200) + ".txt");  // 604 bytes
  EXPECT_EQ(SanitiseName(full), full);
  const std::string shortCjk = ToUtf8(SanitiseName(cjk));
  EXPECT_LE(shortCjk.size(), kMaxNameBytes);
  EXPECT_TRUE(EndsWith(shortCjk, ".txt"));
  std::set<std::string> made;
  for (const std::u16string& name : {full, full, full, cjk, cjk}) {
    auto file = folder->CreateFile(ToUtf8(SanitiseName(name)), &error);
    ASSERT_TRUE(file) << error;
    EXPECT_LE(file->Name().size(), kMaxNameBytes);
    EXPECT_TRUE(made.insert(file->Name()).second) << file->Name();
    ASSERT_TRUE(file->Close());
  }
  EXPECT_TRUE(made.count(ToUtf8(full)));
  EXPECT_TRUE(made.count(shortCjk));
  // The preview's own unique names follow the same rule.
  const fs::path next = UniqueOutputPath(root, full);
  EXPECT_LE(next.filename().string().size(), kMaxNameBytes);
  EXPECT_FALSE(made.count(next.filename().string()));
  EXPECT_TRUE(EndsWith(next.filename().string(), " (3).bin")) << next;
}

}  // namespace
}  // namespace brevant::platform

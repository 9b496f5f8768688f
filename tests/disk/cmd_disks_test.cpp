// `brevant disks`: the command's output, through RunDisks. The command line is no library,
// so its source is compiled into this test.
#include "cli/cmd_disks.cpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/cli_view.cpp"
#include "cli/output.cpp"
#include "crafted_disk.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

std::string Image(const std::string& name) {
  test::CraftedDisk d(4096);
  d.Entry(0, 0, 0x07, 100, 100);
  d.Entry(0, 1, 0x05, 1000, 1000);
  d.Signature(0);
  d.Entry(1000, 0, 0x0C, 63, 200);
  d.Signature(1000);
  fs::path path = test::TempDir() / "cmd" / name;
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << d.bytes;
  return path.string();
}

TEST(RunDisks, JsonListsEachImageWithItsPartitions) {
  const std::string a = Image("a.img");
  const std::string b = Image("b.img");
  testing::internal::CaptureStdout();
  const int rc = cli::RunDisks({a, b}, true, false);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0);
  const auto j = nlohmann::json::parse(out);
  ASSERT_EQ(j["disks"].size(), 2u);
  const auto& disk = j["disks"][1];
  EXPECT_EQ(disk["index"], 1);
  EXPECT_EQ(disk["path"], b);
  EXPECT_EQ(disk["label"], "b.img");
  EXPECT_EQ(disk["model"], "Disk Image");
  EXPECT_EQ(disk["size"], 4096 * 512);
  EXPECT_EQ(disk["cylinders"], 0);
  EXPECT_EQ(disk["heads"], 255);
  EXPECT_EQ(disk["sectorsPerTrack"], 63);
  EXPECT_FALSE(disk.contains("error"));
  // Boot sectors alone hold no allocation map: the size is known, the free space is not.
  EXPECT_EQ(disk["partitions"], nlohmann::json::parse(R"([
      {"number": 1, "fs": "NTFS", "start": 100, "end": 200, "size": 51200},
      {"number": 2, "fs": "FAT32", "start": 1063, "end": 1263, "size": 102400}])"));
}

TEST(RunDisks, HumanReadableTree) {
  const std::string a = Image("tree.img");
  testing::internal::CaptureStdout();
  ASSERT_EQ(cli::RunDisks({a}, false, false), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("My Computer\n  tree.img  (" + a + ")\n"), std::string::npos) << out;
  EXPECT_NE(out.find("HDD Model:        Disk Image\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Capacity:         2097152 bytes\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Partition - 1 ( NTFS )   first sector 100   end sector 200   size 50.0 KB"
                     "   free unknown\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Partition - 2 ( FAT32 )   first sector 1063   end sector 1263   size 100.0 KB"
                     "   free unknown\n"),
            std::string::npos)
      << out;
}

TEST(RunDisks, MissingImageIsOneErrorLineAndExitTwo) {
  const std::string good = Image("good.img");
  const std::string missing = (test::TempDir() / "cmd" / "missing.img").string();
  for (const std::string& bad : {missing, (test::TempDir() / "cmd").string()}) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int rc = cli::RunDisks({good, bad}, true, false);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find(bad), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST(RunDisks, DiskThatCannotBeOpenedCarriesItsError) {
  RecoverySession s;
  ui::ResultTree tree;
  platform::DiskFacts f = platform::ImageDiskFacts(0, "/nonexistent/disk.img");
  AddDisk(s, tree, f);
  const auto j = cli::DisksJson(s);
  ASSERT_EQ(j["disks"].size(), 1u);
  EXPECT_EQ(j["disks"][0]["partitions"].size(), 0u);
  EXPECT_NE(j["disks"][0]["error"].get<std::string>().find("/nonexistent/disk.img"),
            std::string::npos);
}

// A device's model text comes from the device itself: it can never start a line of its own or
// send a control sequence to the terminal.
TEST(RunDisks, ForgedModelTextStaysOnItsLine) {
  RecoverySession s;
  s.EnsureDisk(0);
  s.devicePath[0] = "forged.img";
  AppendDiskInfo(s, u"Evil\n    Partition - 9 ( NTFS )\x1b[2J", u"1", u"0", u"0", u"0", nullptr);
  s.diskInfoList[0].label = u"Disk\r1";
  std::ostringstream out;
  cli::PrintTree(out, s);
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos) << out.str();
  EXPECT_EQ(out.str().find("\n    Partition - 9"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("HDD Model:        Evil\\n    Partition - 9 ( NTFS )\\x1b[2J\n"),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("  Disk\\r1  (forged.img)\n"), std::string::npos) << out.str();
}

// Text of the system that is not UTF-8, as every output of the command line writes it: each
// ill-formed sequence as one U+FFFD, as the Unicode standard recommends (and Python decodes
// with errors="replace"), and JSON keeps the exact bytes beside it.
TEST(CommandLineText, IllFormedUtf8BecomesReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  struct Case {
    const char* what;
    std::string in, out;
  };
  const Case cases[] = {
      {"valid text is kept", "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80",
       "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80"},
      {"a stray byte", "a\xFF" "b", "a" + r + "b"},
      {"a cut character is one replacement", "a\xE9\x80.img", "a" + r + ".img"},
      {"a cut character at the end", "a\xF0\x9F\x98", "a" + r},
      {"an overlong form, byte by byte", "\xC0\xAF", r + r},
      {"a surrogate, byte by byte", "\xED\xA0\x80", r + r + r},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
      {"a lone continuation byte", "\x80x", r + "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(cli::ValidUtf8(c.in), c.out);
    EXPECT_EQ(cli::IsValidUtf8(c.in), c.in == c.out);
    std::string json;
    cli::JsonField(json, "path", c.in, true);
    const std::string expected =
        "\"path\": \"" + c.out + "\"" +
        (c.in == c.out ? "" : ", \"pathBytes\": \"" + cli::HexBytes(c.in) + "\"");
    EXPECT_EQ(json, expected);
  }
  EXPECT_EQ(cli::HexBytes("/a\xFF"), "2f61ff");
  // Control characters are escaped, as before.
  std::string json;
  cli::JsonString(json, "a\"b\\c\n\x01");
  EXPECT_EQ(json, "\"a\\\"b\\\\c\\n\\u0001\"");
}

}  // namespace
}  // namespace brevant

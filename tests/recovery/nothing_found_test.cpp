// Runs that find nothing where a volume was expected fail with their reason, and a partition
// whose table and boot sector disagree on the sector size is not read at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/run_result.h"
#include "disk/crafted_disk.h"
#include "disk/disks.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

// Partition `number` of `image` selected, its parameters read and a run made, as the command line
// does.
struct ScanRun {
  ScanRun(const std::string& image, int number) {
    EnumerateDisks(s, startup, nullptr, {image});
    selected = SelectPartition(s, 0, number);
    if (selected) {
      ReadBootSectorParameters(s);
      outcome = RecoveryWorker(s, view);
    }
  }
  std::vector<std::u16string> Errors() const {
    std::vector<std::u16string> out;
    for (const auto& c : view.Calls())
      if (c.kind == "message" && c.value == static_cast<int>(MessageIcon::Error) * 10)
        out.push_back(c.text);
    return out;
  }
  RecoverySession s;
  ui::ResultTree startup;
  RecordingView view;
  bool selected = false;
  RunOutcome outcome = RunOutcome::Refused;
};

// A copy of fixture `name` with `length` bytes at each offset zeroed.
fs::path Damaged(const std::string& name, const std::string& tag,
                 const std::vector<std::pair<std::uint64_t, std::uint64_t>>& zeroed) {
  const fs::path source = test::FixtureImage(name);
  if (source.empty()) return {};
  const fs::path out = test::TempDir() / (tag + ".img");
  fs::copy_file(source, out, fs::copy_options::overwrite_existing);
  std::fstream f(out, std::ios::in | std::ios::out | std::ios::binary);
  for (auto [at, length] : zeroed) {
    const std::string zeros(length, '\0');
    f.seekp(static_cast<std::streamoff>(at));
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  return out;
}

std::uint64_t Le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width; i-- > 0;)
    v = (v << 8) | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

// Byte offset of partition `number`'s boot sector and the sector itself.
std::pair<std::uint64_t, std::string> BootSector(const std::string& name, int number) {
  const fs::path image = test::FixtureImage(name);
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, nullptr, {image.string()});
  const std::uint64_t at =
      s.driveRecords[0].partitions[static_cast<std::size_t>(number - 1)].startSector * 512;
  std::ifstream f(image, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(at));
  std::string boot(512, '\0');
  f.read(boot.data(), 512);
  return {at, boot};
}

void ExpectFailedWith(const ScanRun& run, const std::string& start, const std::string& detail) {
  EXPECT_EQ(run.outcome, RunOutcome::Failed);
  EXPECT_EQ(run.view.LastOutcome(), static_cast<int>(RunOutcome::Failed));
  EXPECT_EQ(run.s.failureReason.rfind(start, 0), 0u) << run.s.failureReason;
  EXPECT_NE(run.s.failureReason.find(detail), std::string::npos) << run.s.failureReason;
  // One message, the reason; no completion, no result.
  const auto errors = run.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], FromUtf8(run.s.failureReason));
  EXPECT_EQ(run.view.Messages().size(), 1u);
  EXPECT_EQ(run.view.LastResult(), nullptr);
  EXPECT_EQ(run.s.CurrentResult(), nullptr);
  EXPECT_EQ(run.s.scanDone.load(), 0);
}

TEST(NothingFound, NtfsWhoseMftIsDestroyedFails) {
  for (const char* name : {"whole_ntfs_4k", "demo"}) {
    SCOPED_TRACE(name);
    const int number = std::string(name) == "demo" ? 3 : 1;
    if (test::FixtureImage(name).empty()) GTEST_SKIP() << name << " fixture missing";
    const auto [at, boot] = BootSector(name, number);
    const std::uint64_t cluster = Le(boot, 11, 2) * Le(boot, 13, 1);
    const fs::path image =
        Damaged(name, std::string(name) + "-no-mft", {{at + Le(boot, 48, 8) * cluster, 1 << 20}});
    ScanRun run(image.string(), number);
    ASSERT_TRUE(run.selected);
    ExpectFailedWith(run, "nothing found where the NTFS volume was expected: ",
                     "neither MFT record 0 nor the root directory's record 5");
  }
}

TEST(NothingFound, FatWhoseRootAndFoldersAreDestroyedFails) {
  for (const auto& [name, number] : {std::pair<const char*, int>{"mbr_4k", 2}, {"demo", 2}}) {
    SCOPED_TRACE(name);
    if (test::FixtureImage(name).empty()) GTEST_SKIP() << name << " fixture missing";
    const auto [at, boot] = BootSector(name, number);
    const std::uint64_t bps = Le(boot, 11, 2);
    const std::uint64_t root = at + (Le(boot, 14, 2) + Le(boot, 16, 1) * Le(boot, 22, 2)) * bps;
    const std::uint64_t size = Le(boot, 19, 2) != 0 ? Le(boot, 19, 2) : Le(boot, 32, 4);
    const fs::path image =
        Damaged(name, std::string(name) + "-no-root", {{root, at + size * bps - root}});
    ScanRun run(image.string(), number);
    ASSERT_TRUE(run.selected);
    ExpectFailedWith(run, "nothing found where the FAT16 volume was expected: ",
                     "no root directory at sector " + std::to_string(root / 512));
  }
}

TEST(NothingFound, AnIntactVolumeStillCompletes) {
  const fs::path image = test::FixtureImage("whole_ntfs_4k");
  if (image.empty()) GTEST_SKIP() << "whole_ntfs_4k fixture missing";
  ScanRun run(image.string(), 1);
  EXPECT_EQ(run.outcome, RunOutcome::Completed);
  EXPECT_TRUE(run.Errors().empty());
  EXPECT_EQ(run.s.failureReason, "");
}

TEST(NothingFound, APartitionWhoseTableAndBootSectorDisagreeIsNotScanned) {
  // The first entry lands on a volume of 512-byte sectors, so the table counts 512 bytes; the
  // second lands on nothing, and its volume (4096 bytes per sector) lies eight times further in.
  test::CraftedDisk d(8192);
  d.Entry(0, 0, 0x07, 100, 500);
  d.Ntfs(100, 500, 8, 4, 8);
  d.Entry(0, 1, 0x07, 700, 50);
  d.NtfsBootSector(700 * 8, 50, 1, 4, 8, 0x01, 0x01);
  test::Put16(d.bytes, d.At(700 * 8, 11), 4096);
  d.Text(700 * 8 + 32, 0, "FILE0");
  d.Signature(0);
  ScanRun run(d.Install(), 2);
  ASSERT_TRUE(run.selected);
  ASSERT_FALSE(run.s.driveRecords[0].partitions[1].problem.empty());
  ExpectFailedWith(run, "the partition cannot be scanned: ", "disagree on the sector size");
  EXPECT_TRUE(run.s.catalogue.fileList.First() == nullptr);
}

}  // namespace
}  // namespace brevant

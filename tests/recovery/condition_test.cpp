// The condition of deleted files, judged by a run, against the truth of volumes made by real
// tools (tests/fixtures/builders_condition.py: the manifests' `condition` and
// `overwrittenBytes`, from blkstat), and what damage to the allocation facts does to it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/run_result.h"
#include "core/text.h"
#include "disk/disks.h"
#include "model/file_listing.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

struct Judged {
  FileCondition condition;
  std::uint64_t overwrittenBytes;
  bool operator==(const Judged&) const = default;
};

// Every deleted file of partition 1 of `image` by its path, as a run judged it.
std::map<std::string, Judged> JudgeImage(const fs::path& image, int mode = 1,
                                         bool judge = true, FileFigures* figures = nullptr) {
  RecoverySession s;
  ui::ResultTree startup;
  EnumerateDisks(s, startup, nullptr, {image.string()});
  EXPECT_TRUE(SelectPartition(s, 0, 1));
  ReadBootSectorParameters(s);
  s.recoveryMode.store(static_cast<std::int16_t>(mode));
  s.conditionFacts.enabled = judge;
  RecordingView view;
  EXPECT_EQ(RecoveryWorker(s, view), RunOutcome::Completed);
  std::map<std::string, Judged> out;
  auto result = s.CurrentResult();
  if (!result) return out;
  if (figures) *figures = result->files;
  for (auto* n = result->catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
    const FileState state = result->StateOf(*n);
    if (!n->IsDeleted()) {
      EXPECT_EQ(state.condition, FileCondition::Live);
      continue;
    }
    out[ToUtf8(result->paths->EntryPath(n))] = {state.condition, state.overwrittenBytes};
  }
  return out;
}

struct Row {
  const char* path;
  FileCondition condition;
  std::uint64_t overwrittenBytes;
};

void ExpectTable(const std::map<std::string, Judged>& got, std::initializer_list<Row> rows) {
  EXPECT_EQ(got.size(), rows.size());
  for (const Row& r : rows) {
    auto it = got.find(r.path);
    ASSERT_NE(it, got.end()) << r.path;
    EXPECT_EQ(it->second, (Judged{r.condition, r.overwrittenBytes})) << r.path;
  }
}

constexpr auto kIntact = FileCondition::Intact;
constexpr auto kPartly = FileCondition::PartlyOverwritten;
constexpr auto kOverwritten = FileCondition::Overwritten;
constexpr auto kUnknown = FileCondition::Unknown;

// mtools took all of one file's clusters (its last only in part: 2952 bytes of 3 KiB), three
// in the middle of another, and left the rest alone.
TEST(Condition, FatTableOfDeletedFiles) {
  const fs::path image = test::FixtureImage("fat_condition");
  if (image.empty()) GTEST_SKIP() << "fat_condition fixture missing";
  FileFigures figures;
  ExpectTable(JudgeImage(image, 1, true, &figures),
              {{"/Docs/overwritten.bin", kOverwritten, 2952},
               {"/Docs/partly overwritten.bin", kPartly, 3072},
               {"/Docs/intact file.txt", kIntact, 0},
               {"/Docs/small note.txt", kIntact, 0},
               {"/New/stop gap.bin", kIntact, 0}});
  EXPECT_EQ(figures.intactFiles, 3u);
  EXPECT_EQ(figures.intactBytes, 2548u + 300 + 2048);
}

TEST(Condition, NtfsTableOfDeletedFiles) {
  const fs::path image = test::FixtureImage("ntfs_condition");
  if (image.empty()) GTEST_SKIP() << "ntfs_condition fixture missing";
  FileFigures figures;
  ExpectTable(JudgeImage(image, 1, true, &figures),
              {{"/Docs/overwritten.bin", kOverwritten, 9096},
               {"/Docs/first cluster taken.bin", kOverwritten, 4096},
               {"/Work/partly overwritten.bin", kPartly, 12288},
               {"/Docs/intact file.txt", kIntact, 0},
               {"/Docs/small note.txt", kIntact, 0}});  // resident
  EXPECT_EQ(figures.intactFiles, 2u);
  EXPECT_EQ(figures.intactBytes, 8692u + 300);
}

// The same files are found by the extensive run, and judged the same.
TEST(Condition, TheExtensiveRunJudgesAlike) {
  for (const char* name : {"fat_condition", "ntfs_condition"}) {
    const fs::path image = test::FixtureImage(name);
    if (image.empty()) GTEST_SKIP() << name << " fixture missing";
    EXPECT_EQ(JudgeImage(image, 2), JudgeImage(image, 1)) << name;
  }
}

// Files only the extensive run finds (records and directory entries left behind by a quick
// reformat) are judged too: nothing has taken their clusters since.
TEST(Condition, FilesFoundBeyondTheVolumesIndexAreJudged) {
  for (const char* name : {"ntfs_reformat", "fat32_reformat"}) {
    const fs::path image = test::FixtureImage(name);
    if (image.empty()) GTEST_SKIP() << name << " fixture missing";
    const auto got = JudgeImage(image, 2);
    EXPECT_GE(got.size(), 30u) << name;
    for (const auto& [path, judged] : got)
      EXPECT_EQ(judged, (Judged{kIntact, 0})) << name << " " << path;
  }
}

// Without the judgement (as the benchmark measures) every deleted file is unknown.
TEST(Condition, ARunThatJudgesNothingLeavesEveryDeletedFileUnknown) {
  const fs::path image = test::FixtureImage("ntfs_condition");
  if (image.empty()) GTEST_SKIP() << "ntfs_condition fixture missing";
  FileFigures figures;
  const auto got = JudgeImage(image, 1, false, &figures);
  ASSERT_EQ(got.size(), 5u);
  for (const auto& [path, judged] : got) EXPECT_EQ(judged.condition, kUnknown) << path;
  EXPECT_EQ(figures.intactFiles, 0u);
}

// A copy of fixture `name` with `bytes` written at each offset.
fs::path Patched(const std::string& name, const std::string& tag,
                 const std::vector<std::pair<std::uint64_t, std::string>>& patches) {
  const fs::path source = test::FixtureImage(name);
  if (source.empty()) return {};
  const fs::path out = test::TempDir() / (tag + ".img");
  fs::copy_file(source, out, fs::copy_options::overwrite_existing);
  std::fstream f(out, std::ios::in | std::ios::out | std::ios::binary);
  for (const auto& [at, bytes] : patches) {
    f.seekp(static_cast<std::streamoff>(at));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  return out;
}

std::string ReadAt(const fs::path& image, std::uint64_t at, std::size_t length) {
  std::ifstream f(image, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(at));
  std::string out(length, '\0');
  f.read(out.data(), static_cast<std::streamsize>(length));
  return out;
}

std::uint64_t Le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width; i-- > 0;)
    v = (v << 8) | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

constexpr std::uint64_t kPartitionByte = 2048 * 512;  // both fixtures' partition starts there

// A cluster is in use when either FAT copy says so: with FAT #1 emptied (every cluster free
// in it), FAT #2 still tells which were taken. With both emptied only the live entries' first
// clusters are known to be taken.
TEST(Condition, FatEitherCopyMarksAClusterInUse) {
  const fs::path image = test::FixtureImage("fat_condition");
  if (image.empty()) GTEST_SKIP() << "fat_condition fixture missing";
  const std::string boot = ReadAt(image, kPartitionByte, 512);
  const std::uint64_t reserved = Le(boot, 14, 2), fatSectors = Le(boot, 22, 2);
  ASSERT_EQ(Le(boot, 16, 1), 2u);
  // Entries from cluster 2 on; the media entries 0 and 1 stay.
  const std::string empty(fatSectors * 512 - 4, '\0');
  const std::uint64_t fat1 = kPartitionByte + reserved * 512 + 4;
  const std::uint64_t fat2 = fat1 + fatSectors * 512;
  EXPECT_EQ(JudgeImage(Patched("fat_condition", "fat1-empty", {{fat1, empty}})),
            JudgeImage(image));
  ExpectTable(JudgeImage(Patched("fat_condition", "fats-empty", {{fat1, empty}, {fat2, empty}})),
              {{"/Docs/overwritten.bin", kOverwritten, 1024},  // /New/took all.bin starts there
               {"/Docs/partly overwritten.bin", kPartly, 1024},  // /New/took middle.bin
               {"/Docs/intact file.txt", kIntact, 0},
               {"/Docs/small note.txt", kIntact, 0},
               {"/New/stop gap.bin", kIntact, 0}});
}

// Without $Bitmap ($Bitmap's record gone) nothing says which clusters are free: deleted files
// whose data lies in clusters are unknown; data in its own (free) record is still intact.
TEST(Condition, NtfsWithoutItsBitmapIsUnknownButForResidentData) {
  const fs::path image = test::FixtureImage("ntfs_condition");
  if (image.empty()) GTEST_SKIP() << "ntfs_condition fixture missing";
  const std::string boot = ReadAt(image, kPartitionByte, 512);
  const std::uint64_t cluster = Le(boot, 11, 2) * Le(boot, 13, 1);
  const std::uint64_t mft = kPartitionByte + Le(boot, 48, 8) * cluster;
  ASSERT_EQ(ReadAt(image, mft + 6 * 1024, 4), "FILE");
  ExpectTable(JudgeImage(Patched("ntfs_condition", "no-bitmap", {{mft + 6 * 1024, "XXXX"}})),
              {{"/Docs/overwritten.bin", kUnknown, 0},
               {"/Docs/first cluster taken.bin", kUnknown, 0},
               {"/Work/partly overwritten.bin", kUnknown, 0},
               {"/Docs/intact file.txt", kUnknown, 0},
               {"/Docs/small note.txt", kIntact, 0}});
}

// $Bitmap says a cluster is free while a live record's runs name it (a volume not cleanly
// written back): the live file's claim counts.
TEST(Condition, NtfsClustersOfLiveRecordsCountAsInUseWhateverTheBitmapSays) {
  const fs::path image = test::FixtureImage("ntfs_condition");
  if (image.empty()) GTEST_SKIP() << "ntfs_condition fixture missing";
  const std::string boot = ReadAt(image, kPartitionByte, 512);
  const std::uint64_t clusterBytes = Le(boot, 11, 2) * Le(boot, 13, 1);
  const std::uint64_t mft = kPartitionByte + Le(boot, 48, 8) * clusterBytes;
  // $Bitmap's own data: the first run of record 6's unnamed $DATA (mkntfs writes it whole).
  const std::string record = ReadAt(image, mft + 6 * 1024, 1024);
  std::size_t at = Le(record, 20, 2);
  std::uint64_t bitmapLcn = 0, bitmapBytes = 0;
  while (at + 16 < record.size() && Le(record, at, 4) != 0xFFFFFFFF) {
    if (Le(record, at, 4) == 0x80 && Le(record, at + 8, 1) == 1) {
      const std::size_t runs = at + Le(record, at + 32, 2);
      const int lengthBytes = record[runs] & 0x0F, offsetBytes = (record[runs] >> 4) & 0x0F;
      bitmapLcn = Le(record, runs + 1 + static_cast<std::size_t>(lengthBytes), offsetBytes);
      bitmapBytes = Le(record, at + 48, 8);
      break;
    }
    at += Le(record, at + 4, 4);
  }
  ASSERT_GT(bitmapBytes, 0u);
  // Every cluster free in $Bitmap: only the live records' runs say what is taken.
  const auto got = JudgeImage(Patched("ntfs_condition", "bitmap-empty",
                                      {{kPartitionByte + bitmapLcn * clusterBytes,
                                        std::string(bitmapBytes, '\0')}}));
  EXPECT_EQ(got, JudgeImage(image));
}

}  // namespace
}  // namespace brevant

// Results files: a run's result and a run's checkpoint written and read back whole, and every
// kind of file that must be refused.
#include "recovery/results_file.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include "core/text.h"
#include "disk/disks.h"
#include "model/file_listing.h"
#include "model/result_tree.h"
#include "platform/disk_source.h"
#include "recovery/recovery_worker.h"
#include "test_support.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

struct Scanned {
  std::string image;
  std::unique_ptr<RecoverySession> session;
  std::shared_ptr<RunResult> result;
  SavedRun run;
};

// A real run on a fixture partition, as the command line makes it.
Scanned Scan(const std::string& fixture, int partition, int mode = 1) {
  Scanned s;
  s.image = test::FixtureImage(fixture).string();
  s.session = std::make_unique<RecoverySession>();
  ui::ResultTree startup;
  const int d = AddDisk(*s.session, startup, platform::ImageDiskFacts(0, s.image));
  EXPECT_TRUE(SelectPartition(*s.session, d, partition));
  ReadBootSectorParameters(*s.session);
  s.session->recoveryMode.store(static_cast<std::int16_t>(mode));
  RecordingView view;
  RecoveryWorker(*s.session, view);
  s.result = s.session->CurrentResult();
  std::string error;
  EXPECT_TRUE(ReadSourceIdentity(s.image, s.session->selectedPartitionStart,
                                 s.session->selectedPartitionEnd, s.session->selectedSectorSize,
                                 &s.run.source, &error))
      << error;
  s.run.partitionNumber = partition;
  s.run.mode = mode == 2 ? "extensive" : "quick";
  return s;
}

std::vector<std::u16string> Fields(const CatalogueNode& n) {
  return {n.name, n.sector, n.id,         n.parentId,  n.date, n.time,   n.size,
          n.attributes, n.spareText, n.type, n.deleted, n.stream, ToSignedText(n.sequence),
          ToText(n.order)};
}

// Every node of both lists, field by field, in order.
void ExpectSameCatalogue(const Catalogue& a, const Catalogue& b) {
  for (int pass = 0; pass < 2; ++pass) {
    const auto& la = pass == 0 ? a.folderList : a.fileList;
    const auto& lb = pass == 0 ? b.folderList : b.fileList;
    ASSERT_EQ(la.count.load(), lb.count.load());
    const CatalogueNode* y = lb.First();
    for (const CatalogueNode* x = la.First(); x; x = CatalogueList<CatalogueNode>::Next(x)) {
      ASSERT_NE(y, nullptr);
      EXPECT_EQ(Fields(*x), Fields(*y));
      y = CatalogueList<CatalogueNode>::Next(y);
    }
  }
}

void ExpectSameParameters(const PartitionParameters& a, const PartitionParameters& b) {
  EXPECT_EQ(a.fatSizeSectors, b.fatSizeSectors);
  EXPECT_EQ(a.sectorsPerCluster, b.sectorsPerCluster);
  EXPECT_EQ(a.rootDirSectors, b.rootDirSectors);
  EXPECT_EQ(a.rootDirStart, b.rootDirStart);
  EXPECT_EQ(a.reservedSectors, b.reservedSectors);
  EXPECT_EQ(a.clusterBase, b.clusterBase);
  EXPECT_EQ(a.fat1Start, b.fat1Start);
  EXPECT_EQ(a.fat2Start, b.fat2Start);
  EXPECT_EQ(a.mftStart, b.mftStart);
  EXPECT_EQ(a.mftMirrStart, b.mftMirrStart);
  EXPECT_EQ(a.sectorsPerFileRecord, b.sectorsPerFileRecord);
  EXPECT_EQ(a.sectorsPerIndexRecord, b.sectorsPerIndexRecord);
}

void ExpectSameUnreadable(const UnreadableIndex& a, const UnreadableIndex& b) {
  EXPECT_EQ(a.records, b.records);
  EXPECT_EQ(a.stretches, b.stretches);
  ASSERT_EQ(a.named.size(), b.named.size());
  for (std::size_t i = 0; i < a.named.size(); ++i) {
    EXPECT_EQ(a.named[i].firstRecord, b.named[i].firstRecord);
    EXPECT_EQ(a.named[i].count, b.named[i].count);
    EXPECT_EQ(a.named[i].firstSector, b.named[i].firstSector);
    EXPECT_EQ(a.named[i].cause, b.named[i].cause);
  }
}

// Saved and read back, a result lists, places and judges every entry as the run did.
TEST(ResultsFile, ResultRoundTripOfEveryKindOfVolume) {
  const struct {
    const char* fixture;
    int partition;
    int mode;
  } cases[] = {{"demo", 1, 1}, {"demo", 2, 1}, {"demo", 3, 1}, {"ntfs_condition", 1, 1},
               {"fat_condition", 1, 1}, {"ntfs_reformat", 1, 2}, {"fat32_reformat", 1, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + " partition " + std::to_string(c.partition));
    Scanned s = Scan(c.fixture, c.partition, c.mode);
    ASSERT_TRUE(s.result);
    const fs::path file = test::TempDir() / (std::string(c.fixture) + ".results");
    std::string error;
    ASSERT_TRUE(SaveResults(file, *s.result, s.run, &error)) << error;
    SavedRun run;
    auto back = LoadResults(file, &run, &error);
    ASSERT_TRUE(back) << error;
    const RunResult& a = *s.result;
    const RunResult& b = *back;
    ExpectSameCatalogue(a.catalogue, b.catalogue);
    EXPECT_EQ(a.outcome, b.outcome);
    EXPECT_EQ(a.fsName, b.fsName);
    EXPECT_EQ(a.partitionStart, b.partitionStart);
    EXPECT_EQ(a.partitionEnd, b.partitionEnd);
    EXPECT_EQ(a.partition.sizeBytes, b.partition.sizeBytes);
    EXPECT_EQ(a.partition.freeBytes, b.partition.freeBytes);
    EXPECT_EQ(a.files.liveFiles, b.files.liveFiles);
    EXPECT_EQ(a.files.liveBytes, b.files.liveBytes);
    EXPECT_EQ(a.files.deletedFiles, b.files.deletedFiles);
    EXPECT_EQ(a.files.deletedBytes, b.files.deletedBytes);
    EXPECT_EQ(a.files.intactFiles, b.files.intactFiles);
    EXPECT_EQ(a.files.intactBytes, b.files.intactBytes);
    ExpectSameUnreadable(a.unreadable, b.unreadable);
    EXPECT_EQ(a.tree->treeFolderList.size(), b.tree->treeFolderList.size());
    for (int pass = 0; pass < 2; ++pass) {
      const CatalogueNode* y = pass == 0 ? b.catalogue.folderList.First() : b.catalogue.fileList.First();
      for (const CatalogueNode* x = pass == 0 ? a.catalogue.folderList.First()
                                              : a.catalogue.fileList.First();
           x && y; x = CatalogueList<CatalogueNode>::Next(x), y = CatalogueList<CatalogueNode>::Next(y)) {
        EXPECT_EQ(a.paths->EntryPath(x), b.paths->EntryPath(y));
        const FileState sa = a.StateOf(*x), sb = b.StateOf(*y);
        EXPECT_EQ(sa.condition, sb.condition);
        EXPECT_EQ(sa.overwrittenBytes, sb.overwrittenBytes);
      }
    }
    const RecoverySession& ra = a.Reader();
    const RecoverySession& rb = b.Reader();
    ExpectSameParameters(ra.partParams, rb.partParams);
    ExpectSameParameters(ra.scanParams, rb.scanParams);
    EXPECT_EQ(ra.scanParams.fsName, rb.scanParams.fsName);
    EXPECT_EQ(ra.scanFsName, rb.scanFsName);
    EXPECT_EQ(ra.mftExtents.mftRunStart, rb.mftExtents.mftRunStart);
    EXPECT_EQ(ra.mftExtents.mftRunLength, rb.mftExtents.mftRunLength);
    EXPECT_EQ(ra.mftExtents.mftRunCount, rb.mftExtents.mftRunCount);
    EXPECT_EQ(run.source.bootSha256, s.run.source.bootSha256);
    EXPECT_EQ(run.source.path, s.image);
    EXPECT_EQ(run.partitionNumber, c.partition);
    EXPECT_TRUE(run.finished);
    EXPECT_FALSE(run.checkpoint);
  }
}

// A run still going: its session state and checkpoint, saved and put back into a fresh
// session, are what they were.
TEST(ResultsFile, CheckpointRoundTripIntoAFreshSession) {
  Scanned s = Scan("ntfs_condition", 1);
  ASSERT_TRUE(s.result);
  // A session as a sweep leaves it mid-way: parameters and extents of the run, a catalogue.
  RecoverySession live;
  RestoreReaderState(*s.result, s.image, live);
  live.selectedSectorSize = 512;
  live.recoveryMode.store(2);
  const Catalogue& found = s.result->catalogue;
  for (auto* n = found.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    live.catalogue.AppendFolder(n->name, n->sector, n->id, n->parentId, n->date, n->time, n->size,
                                n->attributes, n->spareText, n->type, n->deleted, n->sequence);
  for (auto* n = found.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    live.catalogue.AppendFile(n->name, n->sector, n->id, n->parentId, n->date, n->time, n->size,
                              n->attributes, n->spareText, n->type, n->deleted, n->sequence,
                              n->stream);
  // A name no UTF-8 text can hold: an unpaired surrogate read from a disk.
  const std::u16string lone = std::u16string(u"bad") + char16_t(0xD800) + u".txt";
  live.catalogue.AppendFile(lone, u"77", u"9", u"5", u"", u"", u"3", u"32", u"", u"FILE", u"1", 2);
  live.mftExtents.gaps.push_back({64, 16, true, 123456});
  live.unreadable.Add(40, 8, 9000, UnreadableCause::ReadError);
  live.unreadable.Add(100, 2, 0, UnreadableCause::Unmapped);
  SweepCheckpoint checkpoint;
  checkpoint.sweep = "ntfs";
  checkpoint.position = 20480;
  checkpoint.end = 40960;
  checkpoint.state = {1, 0, 0, 0, 0xFF, 0x00, 0x7F};
  SavedRun run = s.run;
  run.mode = "extensive";
  const fs::path file = test::TempDir() / "checkpoint.results";
  std::string error;
  ASSERT_TRUE(SaveCheckpoint(file, live, run, checkpoint, &error)) << error;
  // A second checkpoint replaces the first whole.
  checkpoint.position = 30720;
  ASSERT_TRUE(SaveCheckpoint(file, live, run, checkpoint, &error)) << error;
  // Nothing is left beside it.
  std::size_t beside = 0;
  for (const auto& e : fs::directory_iterator(file.parent_path()))
    beside += e.path().filename().string().rfind("checkpoint.results.", 0) == 0;
  EXPECT_EQ(beside, 0u);

  RecoverySession back;
  SavedRun loaded;
  ASSERT_TRUE(LoadForResume(file, back, &loaded, &error)) << error;
  ExpectSameCatalogue(live.catalogue, back.catalogue);
  ExpectSameParameters(live.partParams, back.partParams);
  ExpectSameParameters(live.scanParams, back.scanParams);
  EXPECT_EQ(live.scanParams.fsName, back.scanParams.fsName);
  EXPECT_EQ(live.scanFsName, back.scanFsName);
  EXPECT_EQ(live.selectedFsName, back.selectedFsName);
  EXPECT_EQ(live.selectedPartitionStart, back.selectedPartitionStart);
  EXPECT_EQ(live.selectedPartitionEnd, back.selectedPartitionEnd);
  EXPECT_EQ(back.selectedSectorSize, 512u);
  EXPECT_EQ(back.devicePath, std::vector<std::string>{s.image});
  EXPECT_EQ(back.SelectedFigures().sizeBytes, s.result->partition.sizeBytes);
  EXPECT_EQ(live.mftExtents.mftRunStart, back.mftExtents.mftRunStart);
  EXPECT_EQ(live.mftExtents.mftRunLength, back.mftExtents.mftRunLength);
  EXPECT_EQ(live.mftExtents.mftRunCount, back.mftExtents.mftRunCount);
  ASSERT_EQ(back.mftExtents.gaps.size(), 1u);
  EXPECT_EQ(back.mftExtents.gaps[0].virtualStart, 64u);
  EXPECT_EQ(back.mftExtents.gaps[0].length, 16u);
  EXPECT_TRUE(back.mftExtents.gaps[0].beyondEnd);
  EXPECT_EQ(back.mftExtents.gaps[0].sector, 123456u);
  ExpectSameUnreadable(live.unreadable, back.unreadable);
  EXPECT_EQ(back.recoveryMode.load(), 2);
  ASSERT_TRUE(back.resumeFrom);
  EXPECT_EQ(back.resumeFrom->sweep, "ntfs");
  EXPECT_EQ(back.resumeFrom->position, 30720u);
  EXPECT_EQ(back.resumeFrom->end, 40960u);
  EXPECT_EQ(back.resumeFrom->state, checkpoint.state);
  EXPECT_FALSE(loaded.finished);
  EXPECT_EQ(loaded.mode, "extensive");

  // An unfinished run is no result to list, and a finished one nothing to resume.
  EXPECT_FALSE(LoadResults(file, &loaded, &error));
  EXPECT_NE(error.find("--resume"), std::string::npos) << error;
  const fs::path done = test::TempDir() / "done.results";
  ASSERT_TRUE(SaveResults(done, *s.result, s.run, &error)) << error;
  RecoverySession other;
  EXPECT_FALSE(LoadForResume(done, other, &loaded, &error));
  EXPECT_NE(error.find("nothing to resume"), std::string::npos) << error;
}

// A sink keeps the run's checkpoints in its file.
TEST(ResultsFile, SinkWritesEveryCheckpoint) {
  Scanned s = Scan("demo", 1);
  RecoverySession live;
  RestoreReaderState(*s.result, s.image, live);
  const fs::path file = test::TempDir() / "sink.results";
  ResultsFileSink sink(file, s.run);
  for (std::uint64_t position : {100u, 200u}) {
    SweepCheckpoint c{"fat", position, 1000, {}};
    sink.Save(live, c);
  }
  EXPECT_EQ(sink.Saves(), 2u);
  EXPECT_TRUE(sink.Error().empty());
  RecoverySession back;
  SavedRun run;
  std::string error;
  ASSERT_TRUE(LoadForResume(file, back, &run, &error)) << error;
  EXPECT_EQ(back.resumeFrom->position, 200u);
}

void Sql(const fs::path& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// Every file that is not a whole results file of a schema this build reads is refused, with
// the reason.
TEST(ResultsFile, RefusesWhatItCannotTrust) {
  Scanned s = Scan("demo", 1);
  const fs::path good = test::TempDir() / "good.results";
  std::string error;
  ASSERT_TRUE(SaveResults(good, *s.result, s.run, &error)) << error;
  const std::string bytes = test::ReadFileBytes(good);
  auto write = [](const fs::path& p, const std::string& b) {
    std::ofstream(p, std::ios::binary).write(b.data(), static_cast<std::streamsize>(b.size()));
  };
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    const char* reason;
  } cases[] = {
      {"newer", [&](const fs::path& p) { write(p, bytes); Sql(p, "PRAGMA user_version=2"); },
       "newer Brevant"},
      {"truncated", [&](const fs::path& p) { write(p, bytes.substr(0, bytes.size() / 2)); },
       "damaged results file"},
      {"entry changed",
       [&](const fs::path& p) {
         std::string b = bytes;
         const auto at = b.find("letter.txt");
         ASSERT_NE(at, std::string::npos);
         b[at] = 'L';
         write(p, b);
       },
       "do not match their digest"},
      {"run changed",
       [&](const fs::path& p) { write(p, bytes); Sql(p, "UPDATE run SET partition_start=4096"); },
       "do not match their digest"},
      {"entry removed",
       [&](const fs::path& p) { write(p, bytes); Sql(p, "DELETE FROM entry WHERE entry=3"); },
       "damaged results file"},
      {"other database",
       [&](const fs::path& p) { Sql(p, "CREATE TABLE t(x); INSERT INTO t VALUES(1)"); },
       "not a results file"},
      {"disk image", [&](const fs::path& p) { write(p, test::ReadFileBytes(s.image).substr(0, 1 << 20)); },
       "not a results file"},
      {"empty", [&](const fs::path& p) { write(p, ""); }, "not a results file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path p = test::TempDir() / (std::string(c.name) + ".results");
    fs::remove(p);
    c.make(p);
    SavedRun run;
    error.clear();
    EXPECT_FALSE(LoadResults(p, &run, &error));
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    RecoverySession session;
    EXPECT_FALSE(LoadForResume(p, session, &run, &error));
  }
}

// The source is told by its size, sector size and the hashes of the volume's first bytes.
TEST(ResultsFile, IdentityMismatchNamesTheDifference) {
  SourceIdentity a{"/a.img", 1 << 20, "", "", 512, "aa", "bb"};
  EXPECT_EQ(IdentityMismatch(a, a), "");
  const struct {
    std::function<void(SourceIdentity&)> change;
    const char* reason;
  } cases[] = {
      {[](SourceIdentity& i) { i.sizeBytes += 512; }, "size"},
      {[](SourceIdentity& i) { i.sectorSize = 4096; }, "sector size"},
      {[](SourceIdentity& i) { i.bootSha256 = "cc"; }, "boot sector"},
      {[](SourceIdentity& i) { i.firstMibSha256 = "cc"; }, "first MiB"},
      {[](SourceIdentity& i) { i.serial = "X1"; }, ""},  // the saved one names no serial
  };
  for (const auto& c : cases) {
    SourceIdentity b = a;
    c.change(b);
    const std::string why = IdentityMismatch(a, b);
    if (*c.reason == 0)
      EXPECT_EQ(why, "");
    else
      EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
  SourceIdentity drive = a;
  drive.serial = "S1";
  SourceIdentity other = drive;
  other.serial = "S2";
  EXPECT_NE(IdentityMismatch(drive, other).find("S2"), std::string::npos);
}

// Only a results file is replaced by a new one.
TEST(ResultsFile, CheckResultsPathKeepsOtherFiles) {
  const fs::path dir = test::TempDir() / "paths";
  fs::create_directories(dir);
  std::ofstream(dir / "notes.txt") << "mine";
  std::string error;
  EXPECT_FALSE(CheckResultsPath(dir / "notes.txt", "", &error));
  EXPECT_NE(error.find("not a results file"), std::string::npos) << error;
  EXPECT_FALSE(CheckResultsPath(dir, "", &error));
  EXPECT_FALSE(CheckResultsPath(dir / "missing" / "r.results", "", &error));
  EXPECT_TRUE(CheckResultsPath(dir / "new.results", "", &error)) << error;
  Scanned s = Scan("demo", 2);
  ASSERT_TRUE(SaveResults(dir / "old.results", *s.result, s.run, &error)) << error;
  EXPECT_TRUE(CheckResultsPath(dir / "old.results", "", &error)) << error;
}

// The command line goes on with a checkpoint only on the source it was taken of.
TEST(ResultsFile, ResumeRefusesAnotherSource) {
  Scanned s = Scan("demo", 3);
  RecoverySession live;
  RestoreReaderState(*s.result, s.image, live);
  const fs::path file = test::TempDir() / "resume.results";
  std::string error;
  ASSERT_TRUE(SaveCheckpoint(file, live, s.run, {"ntfs", 100, 200, {}}, &error)) << error;
  const std::string other = test::FixtureImage("whole_ntfs").string();
  // The same image changed in its volume's boot sector.
  const fs::path changed = test::TempDir() / "changed.img";
  fs::copy_file(s.image, changed, fs::copy_options::overwrite_existing);
  {
    std::fstream f(changed, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(s.result->partitionStart * 512 + 3));
    f.put('X');
  }
  const struct {
    std::string source;
    const char* reason;
  } cases[] = {{other, "not the source"}, {changed.string(), "boot sector differs"}};
  for (const auto& c : cases) {
    const fs::path err = test::TempDir() / "resume.err";
    const std::string cmd = std::string(BREVANT_BINARY) + " scan -q --resume '" + file.string() +
                            "' '" + c.source + "' > /dev/null 2> '" + err.string() + "'";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_NE(test::ReadFileBytes(err).find(c.reason), std::string::npos)
        << test::ReadFileBytes(err);
  }
  // Nothing was run: the checkpoint is as it was.
  RecoverySession back;
  SavedRun run;
  ASSERT_TRUE(LoadForResume(file, back, &run, &error)) << error;
  EXPECT_EQ(back.resumeFrom->position, 100u);
}

}  // namespace
}  // namespace brevant

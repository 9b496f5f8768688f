#include "core/catalogue.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/recovery_session.h"
#include "core/run_result.h"
#include "core/text.h"

namespace brevant {
namespace {

void AppendNumbered(Catalogue& c, bool folder, int i) {
  std::u16string id = ToText(static_cast<unsigned>(i));
  std::u16string name = u"entry" + id;
  if (folder)
    c.AppendFolder(name, u"100", id, u"0", u"20000", u"0", u"0", u"16", u"0", u"FOLDER", u"NULL", i);
  else
    c.AppendFile(name, u"100", id, u"2", u"20000", u"0", u"123", u"32", u"0", u"FILE", u"1", i);
}

TEST(Catalogue, FirstAppendMakesAOneNodeList) {
  Catalogue c;
  EXPECT_EQ(c.folderList.First(), nullptr);
  AppendNumbered(c, true, 7);
  const CatalogueNode* n = c.folderList.First();
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(n->next.load(), nullptr);
  EXPECT_EQ(std::u16string_view(n->name), u"entry7");
  EXPECT_EQ(n->sequence, 7);
  EXPECT_TRUE(n->IsFolder());
  EXPECT_EQ(c.fileList.First(), nullptr);
}

TEST(Catalogue, KeepsDiscoveryOrderAndCopiesTexts) {
  Catalogue c;
  std::u16string name = u"Отчёт 2024.txt";
  c.AppendFile(name, u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"0", u"FILE", u"NULL", 1);
  name[0] = u'X';  // the caller keeps ownership; the catalogue holds its own copy
  for (int i = 2; i <= 5; ++i) AppendNumbered(c, false, i);
  std::vector<std::u16string> names;
  for (auto* n = c.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) names.push_back(n->name);
  ASSERT_EQ(names.size(), 5u);
  EXPECT_EQ(names[0], u"Отчёт 2024.txt");
  EXPECT_EQ(names[4], u"entry5");
  EXPECT_EQ(c.fileList.count.load(), 5u);
  EXPECT_TRUE(c.fileList.First()->next.load()->IsDeleted());
}

TEST(Catalogue, ListedFileRowsAndClear) {
  Catalogue c;
  AppendNumbered(c, true, 1);
  c.AppendListedFile(u"a.txt", u"10", u"20", u"30", u"40");
  c.AppendListedFile(u"b.txt", u"11", u"21", u"31", u"41");
  ASSERT_EQ(c.listedFileRows.count.load(), 2u);
  EXPECT_EQ(std::u16string_view(c.listedFileRows.First()->next.load()->size), u"41");
  c.ClearListedFiles();
  EXPECT_EQ(c.listedFileRows.First(), nullptr);
  EXPECT_NE(c.folderList.First(), nullptr);
  c.Clear();
  EXPECT_EQ(c.folderList.First(), nullptr);
  EXPECT_EQ(c.BytesUsed(), 0u);
  AppendNumbered(c, true, 2);  // usable again after a clear
  EXPECT_EQ(c.folderList.First()->sequence, 2);
}

TEST(Catalogue, ReaderOnAnotherThreadNeverSeesAHalfBuiltNode) {
  Catalogue c;
  constexpr int kCount = 200000;
  std::thread writer([&] {
    for (int i = 0; i < kCount; ++i) AppendNumbered(c, false, i);
  });
  // Walk while the writer appends: every node reached must be complete.
  std::size_t seen = 0;
  while (seen < static_cast<std::size_t>(kCount)) {
    seen = 0;
    for (auto* n = c.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
      ASSERT_NE(n->size, nullptr);
      ASSERT_EQ(std::u16string_view(n->size), u"123");
      ASSERT_EQ(TextToInt(n->id), static_cast<std::int64_t>(seen));
      ++seen;
    }
  }
  writer.join();
  EXPECT_EQ(seen, static_cast<std::size_t>(kCount));
}

TEST(RecoverySession, InitialValuesAndGrowingTables) {
  RecoverySession s;
  EXPECT_EQ(s.recoveryMode.load(), -1);
  EXPECT_EQ(s.stopRequested.load(), 0);
  EXPECT_EQ(s.scanDone.load(), 0);
  EXPECT_EQ(s.recoverConfirmed.load(), 0);
  EXPECT_TRUE(s.selectedFsName.empty());
  EXPECT_EQ(s.partParams.mftStart, 0u);
  EXPECT_EQ(s.catalogue.folderList.First(), nullptr);
  s.EnsureDisk(40);  // no fixed limit of ten disks
  EXPECT_EQ(s.devicePath.size(), 41u);
  EXPECT_EQ(s.driveRecords.size(), 41u);
  s.driveRecords[40].partitions.resize(300);  // nor of 26 or 50 partitions
  EXPECT_EQ(s.driveRecords[40].partitions.size(), 300u);
}

TEST(RecoverySession, HonourStopFollowsTheProtocol) {
  RecoverySession s;
  RecordingView view;
  EXPECT_FALSE(HonourStop(s, view));
  EXPECT_TRUE(view.Calls().empty());
  s.stopRequested = 1;
  s.recoveryThread = 42;
  EXPECT_TRUE(HonourStop(s, view));
  EXPECT_EQ(s.stopRequested.load(), 0);
  EXPECT_EQ(s.recoveryThread.load(), 0u);
  ASSERT_EQ(view.StatusTexts().size(), 1u);
  EXPECT_EQ(view.StatusTexts()[0], u"Process Aborted...");
}

TEST(ProgressReporter, ReportsOnlyWhenThePercentageChanges) {
  RecordingView view;
  ProgressReporter p(view);
  for (unsigned long long done = 0; done <= 1000; ++done) p.Report(done, 1000);
  p.Report(2000, 1000);  // beyond the end is capped, and 100 was already shown
  std::vector<int> expected;
  for (int i = 0; i <= 100; ++i) expected.push_back(i);
  EXPECT_EQ(view.ProgressValues(), expected);
  EXPECT_EQ(view.StatusTexts()[37], u"37 % Completed");
}

}  // namespace
}  // namespace brevant

namespace brevant {
namespace {

TEST(Catalogue, TakeFromMovesEveryListWithoutMovingANode) {
  Catalogue work;
  const CatalogueNode* folder = work.AppendFolder(u"Docs", u"9", u"7", u"0", u"0", u"0", u"0",
                                                  u"16", u"0", u"FOLDER", u"NULL", 1);
  const CatalogueNode* file = work.AppendFile(u"a.txt", u"9", u"8", u"7", u"0", u"0", u"12",
                                              u"32", u"0", u"FILE", u"1", 2);
  Catalogue result;
  result.AppendFile(u"stale", u"1", u"1", u"1", u"0", u"0", u"1", u"32", u"0", u"FILE", u"NULL", 1);
  result.TakeFrom(work);
  EXPECT_EQ(result.folderList.First(), folder);
  EXPECT_EQ(result.fileList.First(), file);
  EXPECT_EQ(result.fileList.count.load(), 1u);
  EXPECT_EQ(std::u16string_view(file->name), u"a.txt");
  EXPECT_GT(result.BytesUsed(), 0u);
  // The work area starts over empty, and what it appends next is no part of the result.
  EXPECT_EQ(work.folderList.First(), nullptr);
  EXPECT_EQ(work.fileList.First(), nullptr);
  EXPECT_EQ(work.BytesUsed(), 0u);
  work.AppendFile(u"next", u"1", u"1", u"1", u"0", u"0", u"1", u"32", u"0", u"FILE", u"NULL", 1);
  EXPECT_EQ(result.fileList.count.load(), 1u);
  EXPECT_EQ(CatalogueList<CatalogueNode>::Next(file), nullptr);
}

TEST(Catalogue, RowsMadeFromRecordsShareTheirTexts) {
  Catalogue c;
  const CatalogueNode* file = c.AppendFile(u"a.txt", u"9", u"8", u"7", u"0", u"0", u"12", u"32",
                                           u"0", u"FILE", u"NULL", 2);
  const std::size_t used = c.BytesUsed();
  const ListedFileRow* row = c.AppendListedFile(*file);
  EXPECT_EQ(row->node, file);
  EXPECT_EQ(row->name, file->name);
  EXPECT_EQ(row->size, file->size);
  EXPECT_EQ(c.BytesUsed(), used);  // nothing copied into the catalogue's storage
  EXPECT_EQ(c.listedFileRows.First(), row);
  c.ClearListedFiles();
  EXPECT_EQ(c.listedFileRows.First(), nullptr);
}

TEST(RunResult, FileFiguresCountLiveAndDeletedApart) {
  Catalogue c;
  c.AppendFolder(u"Docs", u"9", u"7", u"0", u"0", u"0", u"4096", u"16", u"0", u"FOLDER", u"1", 1);
  c.AppendFile(u"a", u"9", u"8", u"7", u"0", u"0", u"100", u"32", u"0", u"FILE", u"NULL", 1);
  c.AppendFile(u"b", u"9", u"9", u"7", u"0", u"0", u"5000000000", u"32", u"0", u"FILE", u"NULL", 1);
  c.AppendFile(u"c", u"9", u"10", u"7", u"0", u"0", u"30", u"32", u"0", u"FILE", u"1", 1);
  c.AppendFile(u"d", u"9", u"11", u"7", u"0", u"0", u"-5", u"32", u"0", u"FILE", u"1", 1);
  const FileFigures f = CountFiles(c);
  EXPECT_EQ(f.liveFiles, 2u);
  EXPECT_EQ(f.liveBytes, 5000000100u);
  EXPECT_EQ(f.deletedFiles, 2u);
  EXPECT_EQ(f.deletedBytes, 30u);  // a size that is no byte count adds nothing
}

}  // namespace
}  // namespace brevant

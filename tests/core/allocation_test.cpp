#include "core/allocation.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/catalogue.h"
#include "core/run_result.h"

namespace brevant {
namespace {

TEST(ClusterMap, MarksAndCountsAcrossWordsAndTreatsClustersBeyondItAsInUse) {
  ClusterMap map(200);
  map.Mark(60, 10);    // crosses the first word's end
  map.Mark(195, 100);  // runs past the end: only 195..199 kept
  EXPECT_FALSE(map.InUse(59));
  EXPECT_TRUE(map.InUse(60));
  EXPECT_TRUE(map.InUse(69));
  EXPECT_FALSE(map.InUse(70));
  EXPECT_TRUE(map.InUse(199));
  EXPECT_TRUE(map.InUse(200));  // beyond the volume
  EXPECT_EQ(map.CountInUse(0, 200), 15u);
  EXPECT_EQ(map.CountInUse(65, 10), 5u);
  EXPECT_EQ(map.CountInUse(198, 10), 10u);  // 198, 199 and eight beyond
  EXPECT_EQ(map.CountInUse(1000, 3), 3u);
  // A count near the top of the range neither wraps nor loops for long.
  EXPECT_EQ(map.CountInUse(0, UINT64_MAX), UINT64_MAX - 200 + 15);
}

TEST(ClusterMap, TakesBitmapBytesLowBitFirstAndMergesAnother) {
  ClusterMap map(20);
  const std::uint8_t bytes[] = {0x81, 0x00, 0xFF};
  map.MarkBytes(0, bytes, 3);  // clusters 0, 7 and 16..19 (20..23 are beyond the map)
  EXPECT_EQ(map.CountInUse(0, 20), 6u);
  EXPECT_TRUE(map.InUse(0));
  EXPECT_FALSE(map.InUse(1));
  EXPECT_TRUE(map.InUse(7));
  EXPECT_TRUE(map.InUse(16));
  ClusterMap live(20);
  live.Mark(3, 2);
  map.Merge(live);
  EXPECT_EQ(map.CountInUse(0, 20), 8u);
}

// Clusters of 100 bytes; clusters 10..19 and 40 in use.
TEST(JudgeRuns, ATableOfPlacements) {
  ClusterMap map(100);
  map.Mark(10, 10);
  map.Mark(40, 1);
  struct Case {
    const char* what;
    std::vector<ClusterRun> runs;
    std::uint64_t size;
    FileCondition condition;
    std::uint64_t overwritten;
  };
  const Case cases[] = {
      {"all free", {{0, 50, 5}}, 450, FileCondition::Intact, 0},
      {"empty file", {}, 0, FileCondition::Intact, 0},
      {"first cluster in use, the rest free", {{0, 19, 4}}, 400, FileCondition::Overwritten, 100},
      {"all in use", {{0, 10, 3}}, 300, FileCondition::Overwritten, 300},
      {"all in use, a part of the last cluster", {{0, 10, 3}}, 250, FileCondition::Overwritten,
       250},
      {"a middle cluster in use", {{0, 38, 5}}, 500, FileCondition::PartlyOverwritten, 100},
      {"only the last cluster in use, 30 bytes of it", {{0, 37, 4}}, 330,
       FileCondition::PartlyOverwritten, 30},
      {"in use only past the file's end", {{0, 37, 5}}, 300, FileCondition::Intact, 0},
      {"second run in use", {{0, 50, 2}, {2, 11, 2}}, 400, FileCondition::PartlyOverwritten, 200},
      // The first cluster is the first one with data: a sparse start needs no cluster.
      {"sparse start, its first data cluster in use", {{3, 40, 1}, {4, 50, 1}}, 500,
       FileCondition::Overwritten, 100},
      {"all sparse", {}, 500, FileCondition::Intact, 0},
      {"a run beyond the volume", {{0, 50, 2}, {2, 150, 2}}, 400,
       FileCondition::PartlyOverwritten, 200},
  };
  for (const Case& c : cases) {
    const FileState s = JudgeRuns(map, c.runs, c.size, 100);
    EXPECT_EQ(s.condition, c.condition) << c.what;
    EXPECT_EQ(s.overwrittenBytes, c.overwritten) << c.what;
  }
}

TEST(JudgeRuns, AHostileRunLengthIsBoundedByTheFilesSize) {
  ClusterMap map(1000);
  map.Mark(5, 1);
  const std::vector<ClusterRun> runs{{0, 0, UINT64_MAX}};
  const FileState s = JudgeRuns(map, runs, 1000, 100);  // clusters 0..9 hold it
  EXPECT_EQ(s.condition, FileCondition::PartlyOverwritten);
  EXPECT_EQ(s.overwrittenBytes, 100u);
}

TEST(DataPlacements, KeepsRunsByFileOrderAndSaysUnknownForTheRest) {
  DataPlacements p;
  const std::vector<ClusterRun> runs{{0, 7, 2}, {2, 30, 1}};
  p.SetRuns(4, runs);
  p.SetInRecord(1);
  EXPECT_EQ(p.KindOf(0), DataPlacements::Kind::Unknown);
  EXPECT_EQ(p.KindOf(1), DataPlacements::Kind::InRecord);
  EXPECT_EQ(p.KindOf(4), DataPlacements::Kind::Runs);
  EXPECT_EQ(p.KindOf(99), DataPlacements::Kind::Unknown);
  ASSERT_EQ(p.RunsOf(4).size(), 2u);
  EXPECT_EQ(p.RunsOf(4)[1].lcn, 30u);
  EXPECT_TRUE(p.RunsOf(1).empty());
}

TEST(RunResult, StateOfReadsWhatWasSetByTheFilesOrder) {
  RunResult r;
  Catalogue& c = r.catalogue;
  const CatalogueNode* live =
      c.AppendFile(u"a", u"0", u"2", u"0", u"0", u"0", u"10", u"32", u"0", u"FILE", u"NULL", 1);
  const CatalogueNode* gone =
      c.AppendFile(u"b", u"0", u"3", u"0", u"0", u"0", u"10", u"32", u"0", u"FILE", u"1", 1);
  const CatalogueNode* unjudged =
      c.AppendFile(u"c", u"0", u"4", u"0", u"0", u"0", u"10", u"32", u"0", u"FILE", u"1", 1);
  const CatalogueNode* folder =
      c.AppendFolder(u"d", u"0", u"5", u"0", u"0", u"0", u"0", u"16", u"0", u"FOLDER", u"1", 1);
  EXPECT_EQ(gone->order, 1u);
  r.SetState(*gone, {FileCondition::PartlyOverwritten, 12345678901ULL});
  EXPECT_EQ(r.StateOf(*live).condition, FileCondition::Live);
  EXPECT_EQ(r.StateOf(*gone).condition, FileCondition::PartlyOverwritten);
  EXPECT_EQ(r.StateOf(*gone).overwrittenBytes, 12345678901ULL);
  EXPECT_EQ(r.StateOf(*unjudged).condition, FileCondition::Unknown);
  // A folder shares its number with a file; it has no data to judge.
  EXPECT_EQ(folder->order, 0u);
  EXPECT_EQ(r.StateOf(*folder).condition, FileCondition::Unknown);
}

}  // namespace
}  // namespace brevant

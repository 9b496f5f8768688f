// A sweep's state as bytes: the reader never reads past the blob nor trusts a count, and the
// condition facts of a run come back as they were, files named by their catalogue order.
#include "core/sweep_checkpoint.h"

#include <gtest/gtest.h>

#include "core/allocation.h"
#include "core/catalogue.h"

namespace brevant {
namespace {

TEST(StateReader, ReadsBackWhatWasWrittenAndRefusesWhatIsNotThere) {
  StateWriter out;
  out.U8(7);
  out.U16(0xBEEF);
  out.U32(0xDEADBEEF);
  out.U64(0x0123456789ABCDEFULL);
  out.I64(-5);
  out.Text(u"Straße");
  out.Text8("FAT32");
  const std::vector<std::uint8_t> bytes = out.Take();
  {
    StateReader in(bytes);
    EXPECT_EQ(in.U8(), 7);
    EXPECT_EQ(in.U16(), 0xBEEF);
    EXPECT_EQ(in.U32(), 0xDEADBEEFu);
    EXPECT_EQ(in.U64(), 0x0123456789ABCDEFULL);
    EXPECT_EQ(in.I64(), -5);
    EXPECT_EQ(in.Text(), u"Straße");
    EXPECT_EQ(in.Text8(), "FAT32");
    EXPECT_TRUE(in.Ok());
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(in.U8(), 0) << "past the end reads nothing";
    EXPECT_FALSE(in.Ok());
  }
  // Cut anywhere, the reader fails, and stays failed.
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::vector<std::uint8_t> shorter(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    StateReader in(shorter);
    in.U8(), in.U16(), in.U32(), in.U64(), in.I64();
    in.Text();
    const std::string last = in.Text8();
    EXPECT_FALSE(in.Ok()) << cut;
    EXPECT_TRUE(last.empty()) << cut;
  }
  // A count no blob of this size can hold is refused before anything is made for it.
  struct Row {
    std::uint64_t count;
    std::size_t minBytes;
    bool ok;
  };
  for (const Row& r : {Row{2, 8, true}, Row{3, 8, false}, Row{16, 1, true}, Row{17, 1, false},
                       Row{~std::uint64_t{0}, 1, false}, Row{~std::uint64_t{0}, 0, false}}) {
    StateWriter w;
    w.U64(r.count);
    for (int i = 0; i < 16; ++i) w.U8(0);
    const std::vector<std::uint8_t> blob = w.Take();
    StateReader in(blob);
    EXPECT_EQ(in.Count(r.minBytes), r.ok ? r.count : 0) << r.count << "/" << r.minBytes;
    EXPECT_EQ(in.Ok(), r.ok) << r.count << "/" << r.minBytes;
  }
}

TEST(ConditionFactsState, ComeBackWithTheirFilesAndRefuseFilesTheCatalogueLacks) {
  Catalogue catalogue;
  std::vector<const CatalogueNode*> files;
  for (int i = 0; i < 4; ++i)
    files.push_back(catalogue.AppendFile(u"f", u"0", u"1", u"5", u"0", u"0", u"10", u"0", u"0",
                                         u"FILE", i % 2 ? u"1" : u"NULL", i));
  ConditionFacts facts;
  facts.liveClaims.Resize(130);
  facts.liveClaims.Mark(3, 70);
  facts.mapRuns = {{0, 40, 2}};
  facts.mapBytes = 17;
  const ClusterRun runs[] = {{0, 100, 3}, {3, 7, 1}};
  facts.placements.SetRuns(1, runs);
  facts.placements.SetInRecord(3);
  facts.deletedFiles = {files[1], files[3]};
  StateWriter out;
  EncodeConditionFacts(out, facts);
  const std::vector<std::uint8_t> bytes = out.Take();

  ConditionFacts back;
  StateReader in(bytes);
  ASSERT_TRUE(DecodeConditionFacts(in, catalogue, back));
  EXPECT_TRUE(in.AtEnd());
  EXPECT_EQ(back.liveClaims.Clusters(), 130u);
  EXPECT_EQ(back.liveClaims.CountInUse(0, 130), 70u);
  EXPECT_TRUE(back.liveClaims.InUse(72));
  EXPECT_FALSE(back.liveClaims.InUse(73));
  ASSERT_EQ(back.mapRuns.size(), 1u);
  EXPECT_EQ(back.mapRuns[0].lcn, 40u);
  EXPECT_EQ(back.mapBytes, 17u);
  EXPECT_EQ(back.placements.KindOf(0), DataPlacements::Kind::Unknown);
  ASSERT_EQ(back.placements.KindOf(1), DataPlacements::Kind::Runs);
  ASSERT_EQ(back.placements.RunsOf(1).size(), 2u);
  EXPECT_EQ(back.placements.RunsOf(1)[1].lcn, 7u);
  EXPECT_EQ(back.placements.KindOf(3), DataPlacements::Kind::InRecord);
  EXPECT_EQ(back.deletedFiles, (std::vector<const CatalogueNode*>{files[1], files[3]}));

  // A catalogue with fewer files than the facts name: refused, not read out of bounds.
  Catalogue fewer;
  fewer.AppendFile(u"f", u"0", u"1", u"5", u"0", u"0", u"10", u"0", u"0", u"FILE", u"1", 0);
  StateReader again(bytes);
  EXPECT_FALSE(DecodeConditionFacts(again, fewer, back));
  // Cut anywhere: refused.
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::vector<std::uint8_t> shorter(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    StateReader s(shorter);
    EXPECT_FALSE(DecodeConditionFacts(s, catalogue, back)) << cut;
  }
}

}  // namespace
}  // namespace brevant

// The MFT's extent table: built from record 0 or its mirror copy, with extension records, and
// the mapping of record numbers to sectors.
#include "ntfs/extents.h"

#include <gtest/gtest.h>

#include "ntfs/ntfs_engine.h"
#include "ntfs_builders.h"

namespace brevant::ntfs {
namespace {

using test::ntfs::ListEntry;
using test::ntfs::RecordBuilder;
using test::ntfs::RunSpec;
using test::ntfs::VolumeImage;

constexpr std::uint64_t kStart = 2048;
constexpr std::uint64_t kSectors = 8000;
constexpr std::uint64_t kSpc = 8;
constexpr std::uint64_t kMftLcn = 100;
constexpr std::uint64_t kMirrLcn = 50;

MftExtentTable Table(std::vector<std::pair<std::uint64_t, std::uint64_t>> extents) {
  MftExtentTable t;
  for (auto [start, length] : extents) {
    t.mftRunStart.push_back(start);
    t.mftRunLength.push_back(length);
  }
  t.mftRunCount = extents.size();
  return t;
}

TEST(MapRecordToSector, WalksTheExtentsInOrder) {
  const MftExtentTable t = Table({{5000, 100}, {9000, 50}, {0, 20}, {12000, 10}});
  struct Case {
    std::uint64_t record;
    std::size_t extents;
    std::optional<std::uint64_t> sector;
  };
  const Case cases[] = {
      {0, 4, 5000},        {49, 4, 5098},  {50, 4, 9000},
      {74, 4, 9048},       {75, 4, {}},  // inside the sparse extent: nothing on disk
      {85, 4, 12000},      {89, 4, 12008}, {90, 4, {}},  // past the last extent
      {50, 1, {}},                                       // only the first extent considered
      {UINT64_MAX, 4, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MapRecordToSector(t, c.record, c.extents, 1024), c.sector) << "record " << c.record;
  // 4096-byte records are 8 sectors each.
  EXPECT_EQ(MapRecordToSector(t, 12, 4, 4096), 5096u);
  EXPECT_EQ(MapRecordToSector(t, 13, 4, 4096), 9004u);
}

TEST(RecordNumberAtSector, InvertsTheMapping) {
  const MftExtentTable t = Table({{5000, 100}, {9000, 50}});
  EXPECT_EQ(RecordNumberAtSector(t, 9048, 1024), 74u);
  EXPECT_EQ(RecordNumberAtSector(t, 5000, 1024), 0u);
  EXPECT_FALSE(RecordNumberAtSector(t, 5001, 1024));  // not a record's first sector
  EXPECT_FALSE(RecordNumberAtSector(t, 100, 1024));
}

struct Mft {
  VolumeImage image{kStart, kSectors, kSpc};
  std::uint64_t MftSector() const { return kStart + kMftLcn * kSpc; }
  std::uint64_t MirrSector() const { return kStart + kMirrLcn * kSpc; }
  // Record `n` of the MFT's first extent.
  void Put(std::uint64_t n, const std::string& record) {
    image.PutAtSector(MftSector() + 2 * n, record);
  }
  void PutMirror(const std::string& record) { image.PutAtSector(MirrSector(), record); }
  static std::string Record0(const std::vector<RunSpec>& runs) {
    std::uint64_t clusters = 0;
    for (const RunSpec& r : runs) clusters += r.length;
    return RecordBuilder().FileName(u"$MFT", 5, 5, 3).Data(runs, clusters * 4096).Finish();
  }
  static std::string Root() { return RecordBuilder(1024, 5, 3).FileName(u".", 5, 5, 3).Finish(); }
};

std::vector<std::pair<std::uint64_t, std::uint64_t>> Extents(const MftExtentTable& t) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for (std::size_t i = 0; i < t.mftRunCount; ++i)
    out.emplace_back(t.mftRunStart[i], t.mftRunLength[i]);
  return out;
}

using Extent = std::pair<std::uint64_t, std::uint64_t>;
using ExtentList = std::vector<Extent>;

TEST(BuildMftExtentTable, DecodesTheRunListOfRecord0) {
  struct Case {
    const char* what;
    std::vector<RunSpec> runs;
    ExtentList expected;
  };
  const Case cases[] = {
      {"one extent", {{4, kMftLcn}}, {{kStart + 800, 32}}},
      {"negative delta: one cluster before the first run",
       {{4, kMftLcn}, {2, -1}},
       {{kStart + 800, 32}, {kStart + 792, 16}}},
      {"sparse in the middle keeps the reference",
       {{4, kMftLcn}, {2, std::nullopt}, {4, 50}},
       {{kStart + 800, 32}, {0, 16}, {kStart + 1200, 32}}},
      {"a run outside the partition is not read",
       {{4, kMftLcn}, {4, 100000}},
       {{kStart + 800, 32}, {0, 32}}},
  };
  for (const Case& c : cases) {
    Mft mft;
    mft.Put(0, Mft::Record0(c.runs));
    mft.Put(5, Mft::Root());
    RecoverySession session;
    mft.image.Install(session, mft.MftSector(), mft.MirrSector());
    RecordingView view;
    BuildMftExtentTable(session, view);
    EXPECT_EQ(Extents(session.mftExtents), c.expected) << c.what;
  }
}

TEST(BuildMftExtentTable, FallsBackToTheMirrorWhenRecord0IsUnusable) {
  const std::string good = Mft::Record0({{4, kMftLcn}, {4, 200}});
  const ExtentList expected = {{kStart + 800, 32}, {kStart + 2400, 32}};
  struct Case {
    const char* what;
    std::string record0;  // what lies at mftStart
    bool mftStartKnown;
  };
  const Case cases[] = {
      {"no FILE signature", std::string(1024, '\0'), true},
      {"no $DATA attribute", RecordBuilder().FileName(u"$MFT", 5, 5, 3).Finish(), true},
      {"only a named $DATA",
       RecordBuilder().FileName(u"$MFT", 5, 5, 3).Data({{4, 100}}, 4096, u"x").Finish(), true},
      {"mftStart unknown", good, false},
      {"a run list that does not start where the MFT is", Mft::Record0({{4, 500}, {4, -300}}),
       true},
      {"a first run outside the partition", Mft::Record0({{4, 100000}}), true},
  };
  for (const Case& c : cases) {
    Mft mft;
    mft.Put(0, c.record0);
    mft.PutMirror(good);
    RecoverySession session;
    mft.image.Install(session, c.mftStartKnown ? mft.MftSector() : 0, mft.MirrSector());
    RecordingView view;
    BuildMftExtentTable(session, view);
    EXPECT_EQ(Extents(session.mftExtents), expected) << c.what;
  }
}

TEST(BuildMftExtentTable, ADamagedRootRecordIsNoGate) {
  Mft mft;
  mft.Put(0, Mft::Record0({{4, kMftLcn}}));
  // Record 5 left as zeros.
  RecoverySession session;
  mft.image.Install(session, mft.MftSector());
  RecordingView view;
  BuildMftExtentTable(session, view);
  EXPECT_EQ(Extents(session.mftExtents), (ExtentList{{kStart + 800, 32}}));
}

TEST(BuildMftExtentTable, NothingUsableLeavesTheTableEmpty) {
  Mft mft;
  RecoverySession session;
  mft.image.Install(session, mft.MftSector(), mft.MirrSector());
  RecordingView view;
  BuildMftExtentTable(session, view);
  EXPECT_EQ(session.mftExtents.mftRunCount, 0u);
}

// Record 0 keeps its first $DATA piece; the others live in extension records that the
// attribute list names. Each piece restarts its run list from an absolute cluster.
TEST(BuildMftExtentTable, JoinsThePiecesOfExtensionRecords) {
  Mft mft;
  // Each 4-cluster piece holds 16 records: record 12 lies in the first extent, record 20 in the
  // second, which only the piece in record 12 maps.
  const std::uint64_t ext1 = 12, ext2 = 20;
  mft.Put(0, RecordBuilder()
                 .FileName(u"$MFT", 5, 5, 3)
                 .AttributeList({{0x10, 0, 0, 1, 0},
                                 {0x80, 0, 0, 1, 4},
                                 {0x80, 4, ext1, 1, 0},
                                 {0x80, 8, ext2, 1, 0}})
                 .Data({{4, kMftLcn}}, 12 * 4096)
                 .Finish());
  auto extension = [](std::uint64_t vcn, std::uint64_t lcn) {
    return RecordBuilder(1024, 1, 1, 0x0001000000000000ULL)
        .Raw(RecordBuilder::NonResident(
            0x80, test::ntfs::EncodeRuns({{4, static_cast<std::int64_t>(lcn)}}), 0, vcn, vcn + 3))
        .Finish();
  };
  mft.Put(ext1, extension(4, 300));
  mft.image.PutAtSector(kStart + 300 * kSpc + 2 * (ext2 - 16), extension(8, 600));
  RecoverySession session;
  mft.image.Install(session, mft.MftSector());
  RecordingView view;
  BuildMftExtentTable(session, view);
  EXPECT_EQ(Extents(session.mftExtents),
            (ExtentList{{kStart + 800, 32}, {kStart + 2400, 32}, {kStart + 4800, 32}}));
}

TEST(BuildMftExtentTable, AMissingPieceLeavesASparseGapSoRecordsKeepTheirNumbers) {
  Mft mft;
  mft.Put(
      0,
      RecordBuilder()
          .FileName(u"$MFT", 5, 5, 3)
          .AttributeList(
              {{0x80, 0, 0, 1, 4}, {0x80, 4, 12, 1, 0}, {0x80, 8, 13, 1, 0}, {0x80, 12, 0, 1, 0}})
          .Data({{4, kMftLcn}}, 12 * 4096)
          .Finish());
  // Record 12 is not an extension of record 0 (a reused record): its piece is not taken.
  mft.Put(12,
          RecordBuilder()
              .Raw(RecordBuilder::NonResident(0x80, test::ntfs::EncodeRuns({{4, 300}}), 0, 4, 7))
              .Finish());
  mft.Put(13,
          RecordBuilder(1024, 1, 1, 0x0001000000000000ULL)
              .Raw(RecordBuilder::NonResident(0x80, test::ntfs::EncodeRuns({{4, 600}}), 0, 8, 11))
              .Finish());
  RecoverySession session;
  mft.image.Install(session, mft.MftSector());
  RecordingView view;
  BuildMftExtentTable(session, view);
  EXPECT_EQ(Extents(session.mftExtents),
            (ExtentList{{kStart + 800, 32}, {0, 32}, {kStart + 4800, 32}}));
}

TEST(ReadMftRecord, ARecordCrossingTwoExtentsIsJoined) {
  // 512-byte clusters: a 1024-byte record can begin at the end of one extent.
  VolumeImage image(100, 4000, 1);
  RecoverySession session;
  const std::string record = RecordBuilder().FileName(u"split", 5, 5).Finish();
  image.PutAtSector(100 + 102, record.substr(0, 512));  // extent 1: clusters 100..102
  image.PutAtSector(100 + 500, record.substr(512));     // extent 2: clusters 500..502
  std::string path = test::InstallMemoryDisk(image.Disk());
  image.Configure(session, path, 0);
  const MftExtentTable t = Table({{200, 3}, {600, 3}});
  Volume volume = VolumeOf(session);
  std::vector<std::uint8_t> out;
  FixupResult fixups;
  ASSERT_TRUE(ReadMftRecord(volume, t, 1, out, &fixups));
  EXPECT_TRUE(fixups.consistent);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "FILE");
  std::vector<std::uint8_t> viaSector;
  ASSERT_TRUE(ReadRecordAtSector(volume, t, 202, viaSector));
  EXPECT_EQ(viaSector, out);
}

}  // namespace
}  // namespace brevant::ntfs

// Extraction of a file's unnamed data stream: resident and non-resident data, sparse runs,
// initialized length, compression, data spread over extension records, and the failures a
// damaged volume must report instead of writing garbage.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <random>
#include <set>

#include "core/text.h"
#include "ntfs/lznt1.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs_builders.h"

namespace brevant {
namespace {

using test::ntfs::EncodeRuns;
using test::ntfs::ListEntry;
using test::ntfs::RecordBuilder;
using test::ntfs::RunSpec;
using test::ntfs::StringSink;
using test::ntfs::VolumeImage;

constexpr std::uint64_t kStart = 1000;
constexpr std::uint64_t kSectors = 16000;
constexpr std::uint64_t kSpc = 8;
constexpr std::uint64_t kCluster = kSpc * 512;
constexpr std::int64_t kModified = 133500000000000000LL;  // 2024-01-20 as FILETIME
constexpr std::int64_t kCreated = 132000000000000000LL;

// Keeps only what lies in the chosen byte ranges, for files too large to hold.
class WindowSink : public ByteSink {
 public:
  explicit WindowSink(std::vector<std::pair<std::uint64_t, std::uint64_t>> windows)
      : windows_(std::move(windows)) {}
  bool Write(const void* data, std::size_t length) override {
    const char* p = static_cast<const char*>(data);
    for (std::size_t w = 0; w < windows_.size(); ++w) {
      auto [from, size] = windows_[w];
      for (std::uint64_t i = std::max(from, total); i < std::min(from + size, total + length); ++i)
        captured[w].push_back(p[i - total]);
    }
    total += length;
    return true;
  }
  std::uint64_t total = 0;
  std::map<std::size_t, std::string> captured;

 private:
  std::vector<std::pair<std::uint64_t, std::uint64_t>> windows_;
};

std::string Pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 + i / 251);
  return s;
}

// A volume whose MFT (32 records) lies at cluster 100 and whose data clusters hold patterns.
struct ExtractVolume {
  VolumeImage image{kStart, kSectors, kSpc};
  std::uint64_t RecordSector(std::uint64_t n) const { return kStart + 100 * kSpc + 2 * n; }
  void Put(std::uint64_t n, const std::string& r) { image.PutAtSector(RecordSector(n), r); }
  std::string Cluster(std::uint64_t lcn, std::size_t count = 1) const {
    return image.Disk().substr(image.ClusterSector(lcn) * 512, count * kCluster);
  }
  ExtractVolume() {
    Put(0, RecordBuilder().FileName(u"$MFT", 5, 5, 3).Data({{8, 100}}, 32 * 1024).Finish());
    Put(5, RecordBuilder(1024, 5, 3).FileName(u".", 5, 5, 3).Finish());
    for (std::uint64_t lcn = 200; lcn < 260; ++lcn)
      image.PutCluster(lcn, Pattern(kCluster, static_cast<char>(lcn)));
  }
  std::string path;
  RecoverySession session;
  void Install() {
    path = image.Install(session, RecordSector(0));
    RecordingView view;
    BuildMftExtentTable(session, view);
  }
  ExtractResult Extract(std::uint64_t record, std::uint64_t size, std::string* out) {
    StringSink sink;
    ExtractResult r = ExtractNtfsFileTo(session, sink, size, RecordSector(record));
    if (out) *out = sink.bytes;
    return r;
  }
};

RecordBuilder File(const char16_t* name) {
  RecordBuilder b;
  b.StandardInformation(kCreated, kModified).FileName(name, 5, 5, 1, kCreated);
  return b;
}

TEST(ExtractNtfsFile, WritesExactlyTheSizeFromTheRunsInOrder) {
  ExtractVolume v;
  const std::string value = Pattern(100, 'r');
  v.Put(16,
        File(u"resident.txt").ResidentData(value, u"", 0x40).Finish());  // value at 0x40, not 0x18
  v.Put(17, File(u"one run.bin").Data({{1, 200}}, 1000).Finish());
  v.Put(18, File(u"two runs.bin").Data({{2, 210}, {1, -5}}, 2 * kCluster + 10).Finish());
  v.Put(19, File(u"exact.bin").Data({{2, 220}}, 2 * kCluster).Finish());
  v.Put(20,
        File(u"with stream.txt").Data({{1, 230}}, 77, u"secret").Data({{1, 231}}, 500).Finish());
  v.Put(21, File(u"empty.txt").ResidentData("").Finish());
  v.Install();
  struct Case {
    std::uint64_t record;
    std::uint64_t size;
    std::string expected;
  };
  const Case cases[] = {
      {16, 100, value},
      {17, 1000, v.Cluster(200).substr(0, 1000)},
      {18, 2 * kCluster + 10, v.Cluster(210, 2) + v.Cluster(205).substr(0, 10)},
      {19, 2 * kCluster, v.Cluster(220, 2)},
      {20, 500, v.Cluster(231).substr(0, 500)},  // the unnamed stream, not the named one
      {21, 0, ""},
  };
  for (const Case& c : cases) {
    std::string got;
    ExtractResult r = v.Extract(c.record, c.size, &got);
    EXPECT_TRUE(r.ok) << c.record << ": " << r.error;
    EXPECT_EQ(r.bytesWritten, c.size) << c.record;
    EXPECT_EQ(got.size(), c.size) << c.record;
    EXPECT_TRUE(got == c.expected) << c.record;
    ASSERT_TRUE(r.modifiedTime) << c.record;
    EXPECT_EQ(*r.modifiedTime, FileTimeToUnix(kModified)) << c.record;
  }
}

TEST(ExtractNtfsFile, SparseRunsAndDataPastTheInitializedLengthReadAsZeros) {
  ExtractVolume v;
  v.Put(
      16,
      File(u"sparse.bin").Data({{1, 200}, {3, std::nullopt}, {1, 10}}, 5 * kCluster - 3).Finish());
  v.Put(17, RecordBuilder()
                .FileName(u"preallocated.bin", 5, 5, 1, kCreated)
                .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, 240}}), 2 * kCluster, 0, 1,
                                                u"", 0, 0, 4, kCluster + 100))
                .Finish());
  v.Install();
  std::string got;
  ExtractResult r = v.Extract(16, 5 * kCluster - 3, &got);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(got == v.Cluster(200) + std::string(3 * kCluster, '\0') +
                         v.Cluster(210).substr(0, kCluster - 3));
  r = v.Extract(17, 2 * kCluster, &got);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(got ==
              v.Cluster(240) + v.Cluster(241).substr(0, 100) + std::string(kCluster - 100, '\0'));
  // Without $STANDARD_INFORMATION the time is the name's creation time.
  ASSERT_TRUE(r.modifiedTime);
  EXPECT_EQ(*r.modifiedTime, FileTimeToUnix(kCreated));
}

TEST(ExtractNtfsFile, AFileOfMoreThan4GiBKeepsItsSize) {
  ExtractVolume v;
  const std::uint64_t size = 5ULL << 30;
  const std::uint64_t clusters = size / kCluster;
  v.Put(16,
        File(u"huge.bin").Data({{1, 200}, {clusters - 2, std::nullopt}, {1, 50}}, size).Finish());
  v.Install();
  WindowSink sink({{0, 16}, {size - kCluster, 16}, {size / 2, 16}});
  ExtractResult r = ExtractNtfsFileTo(v.session, sink, size, v.RecordSector(16));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytesWritten, size);
  EXPECT_EQ(sink.total, size);
  EXPECT_EQ(sink.captured[0], v.Cluster(200).substr(0, 16));
  EXPECT_EQ(sink.captured[1], v.Cluster(250).substr(0, 16));
  EXPECT_EQ(sink.captured[2], std::string(16, '\0'));
}

TEST(ExtractNtfsFile, DamageIsReportedNotWrittenAsData) {
  ExtractVolume v;
  v.Put(16, File(u"outside.bin").Data({{1, 200}, {4, 5000}}, 5 * kCluster).Finish());
  v.Put(17, File(u"short.bin").Data({{1, 200}}, 3 * kCluster).Finish());
  v.Put(18,
        File(u"secret.bin")
            .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{1, 200}}), 100, 0, 0, u"", 0x4000))
            .Finish());
  v.Put(19, File(u"folder").Finish());
  v.Put(20, File(u"unknown compression.bin")
                .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{16, 200}}), 100, 0, 15, u"",
                                                0x0002, 4))
                .Finish());
  v.Put(21, File(u"resident too short.txt").ResidentData("abc").Finish());
  v.Install();
  struct Case {
    std::uint64_t sector;
    std::uint64_t size;
    const char* error;
  };
  const Case cases[] = {
      {v.RecordSector(16), 5 * kCluster, "outside the partition"},
      {v.RecordSector(17), 3 * kCluster, "runs end"},
      {v.RecordSector(18), 100, "encrypted"},
      {v.RecordSector(19), 10, "no unnamed data stream"},
      {v.RecordSector(20), 100, "unknown compression"},
      {v.RecordSector(21), 10, "holds 3 bytes"},
      {kStart + 5000, 10, "no MFT record"},
      {kStart + 20000, 10, "cannot be read"},
  };
  for (const Case& c : cases) {
    StringSink sink;
    ExtractResult r = ExtractNtfsFileTo(v.session, sink, c.size, c.sector);
    EXPECT_FALSE(r.ok) << c.error;
    EXPECT_NE(r.error.find(c.error), std::string::npos)
        << "wanted \"" << c.error << "\", got: " << r.error;
    EXPECT_LE(sink.bytes.size(), c.size);
  }
  // Encrypted and unknown data write nothing at all.
  StringSink sink;
  ExtractNtfsFileTo(v.session, sink, 100, v.RecordSector(18));
  EXPECT_TRUE(sink.bytes.empty());
}

TEST(ExtractNtfsFile, AnUnreadableSectorIsAFailure) {
  ExtractVolume v;
  v.Put(16, File(u"file.bin").Data({{3, 200}}, 3 * kCluster).Finish());
  v.Install();
  auto memory = std::make_shared<platform::MemoryDevice>(v.image.Disk());
  const std::string path = "mem://ntfs-extract-faulty";
  platform::DeviceTable::Instance().Install(
      path, std::make_shared<platform::FaultyDevice>(
                memory, std::set<std::uint64_t>{v.image.ClusterSector(201) + 3}));
  v.session.devicePath[0] = path;
  StringSink sink;
  ExtractResult r = ExtractNtfsFileTo(v.session, sink, 3 * kCluster, v.RecordSector(16));
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("cannot be read"), std::string::npos) << r.error;
}

// ---------------------------------------------------------------- data in extension records

TEST(ExtractNtfsFile, JoinsDataPiecesHeldInExtensionRecords) {
  ExtractVolume v;
  const std::uint64_t size = 4 * kCluster - 50;
  v.Put(
      16,
      File(u"spread.bin")
          .AttributeList(
              {{0x10, 0, 16, 1, 0}, {0x30, 0, 16, 1, 3}, {0x80, 0, 17, 1, 0}, {0x80, 2, 18, 1, 0}})
          .Finish());
  auto piece = [](std::uint64_t vcn, std::int64_t lcn, std::uint64_t realSize) {
    return RecordBuilder(1024, 1, 1, 16 | 1ULL << 48)
        .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, lcn}}), realSize, vcn, vcn + 1))
        .Finish();
  };
  v.Put(17, piece(0, 220, size));
  v.Put(18, piece(2, 230, 0));
  v.Install();
  std::string got;
  ExtractResult r = v.Extract(16, size, &got);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(got == (v.Cluster(220, 2) + v.Cluster(230, 2)).substr(0, size));

  // The catalogue takes the size from the first piece.
  RecordingView view;
  BuildNtfsCatalogue(v.session, view);
  bool found = false;
  for (auto* n = v.session.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    if (std::u16string_view(n->name) == u"spread.bin") {
      found = true;
      EXPECT_EQ(std::u16string_view(n->size), u"16334");
    }
  EXPECT_TRUE(found);
}

TEST(ExtractNtfsFile, HostileAttributeListsEndInAReportedFailure) {
  struct Case {
    const char* what;
    std::vector<ListEntry> list;
    std::string error;
  };
  const Case cases[] = {
      {"piece in a record that is not an extension of this file",
       {{0x80, 0, 17, 1, 0}, {0x80, 2, 19, 1, 0}},
       "MFT record 19"},
      {"piece in an unused slot", {{0x80, 0, 17, 1, 0}, {0x80, 2, 14, 1, 0}}, "MFT record 14"},
      {"a list naming only the file itself", {{0x80, 0, 16, 1, 0}}, "no unnamed data stream"},
      {"a gap between the pieces", {{0x80, 0, 17, 1, 0}, {0x80, 3, 18, 1, 0}}, "MFT record 18"},
      {"the first piece missing", {{0x80, 2, 18, 1, 0}}, "first part"},
  };
  for (const Case& c : cases) {
    ExtractVolume v;
    v.Put(16, File(u"spread.bin").AttributeList(c.list).Finish());
    auto piece = [](std::uint64_t base, std::uint64_t vcn, std::int64_t lcn) {
      return RecordBuilder(1024, 1, 1, base | 1ULL << 48)
          .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, lcn}}), 4 * kCluster, vcn, vcn + 1))
          .Finish();
    };
    v.Put(17, piece(16, 0, 220));
    v.Put(18, piece(16, 2, 230));
    v.Put(19, piece(3, 2, 230));  // belongs to record 3
    v.Install();
    std::string got;
    ExtractResult r = v.Extract(16, 4 * kCluster, &got);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_NE(r.error.find(c.error), std::string::npos) << c.what << ": " << r.error;
  }
}

// ---------------------------------------------------------------- compression

// One LZNT1 chunk: "abc" and a back-reference that repeats it to fill 4096 bytes.
std::string AbcChunk() {
  std::string chunk = {0x08, 'a', 'b', 'c'};
  chunk += static_cast<char>(0xFA);  // offset 3, length 4093: (2 << 12) | 4090
  chunk += static_cast<char>(0x2F);
  std::string out(2, '\0');
  test::Put16(out, 0, static_cast<std::uint16_t>(0xB000 | (chunk.size() - 1)));
  return out + chunk;
}

std::string Abc(std::size_t n) {
  std::string s;
  while (s.size() < n) s += "abc";
  return s.substr(0, n);
}

TEST(Lznt1, DecodesLiteralsBackReferencesAndStoredChunks) {
  struct Case {
    const char* what;
    std::string in;
    std::size_t outSize;
    bool ok;
    std::string expected;
  };
  std::string stored(2, '\0');
  test::Put16(stored, 0, 0x3000 | 4095);
  stored += Pattern(4096, 's');
  // A back-reference as the chunk's first token: there is nothing before it to copy.
  std::string badOffset = {0x02, static_cast<char>(0xB0), 0x01, 0x00, 0x10};
  std::string truncated = AbcChunk().substr(0, 5);
  std::string literals(2, '\0');
  test::Put16(literals, 0, 0xB000 | 8);
  literals += std::string{0x00, 'h', 'e', 'l', 'l', 'o', ' ', 'n', 't'};
  const Case cases[] = {
      {"literals", literals, 4096, true, "hello nt" + std::string(4088, '\0')},
      {"back-reference", AbcChunk(), 4096, true, Abc(4096)},
      {"two chunks, the second stored", AbcChunk() + stored, 8192, true,
       Abc(4096) + Pattern(4096, 's')},
      {"an end marker stops early", AbcChunk() + std::string(2, '\0') + AbcChunk(), 8192, true,
       Abc(4096) + std::string(4096, '\0')},
      {"back-reference before the chunk start", badOffset, 4096, false, ""},
      {"chunk longer than the input", truncated, 4096, false, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> out(c.outSize, 0);
    std::vector<std::uint8_t> in(c.in.begin(), c.in.end());
    EXPECT_EQ(ntfs::Lznt1Decompress(in, out), c.ok) << c.what;
    if (c.ok) {
      EXPECT_TRUE(std::string(out.begin(), out.end()) == c.expected) << c.what;
    }
  }
}

TEST(ExtractNtfsFile, CompressedUnitsAreDecompressedStoredOrZero) {
  ExtractVolume v;
  v.image.PutCluster(300, AbcChunk());
  // Unit 1: one cluster of LZNT1, 15 sparse. Unit 2: 16 clusters stored as is. Unit 3: sparse.
  const std::uint64_t size = 16 * kCluster * 2 + 5000;
  v.Put(16,
        File(u"compressed.txt")
            .Raw(RecordBuilder::NonResident(
                0x80, EncodeRuns({{1, 300}, {15, std::nullopt}, {16, -100}, {16, std::nullopt}}),
                size, 0, 47, u"", 0x0001, 4))
            .Finish());
  v.Install();
  std::string got;
  ExtractResult r = v.Extract(16, size, &got);
  ASSERT_TRUE(r.ok) << r.error;
  std::string expected =
      Abc(4096) + std::string(15 * kCluster, '\0') + v.Cluster(200, 16) + std::string(5000, '\0');
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST(ExtractNtfsFile, ACompressedCopyHonoursTheStopOfWhoeverWritesIt) {
  // The window's Save writes with its own stop flag, not the planning session's: a stop
  // pressed while the first unit is written ends the copy there.
  ExtractVolume v;
  v.image.PutCluster(300, AbcChunk());
  const std::uint64_t size = 16 * kCluster * 3;
  v.Put(16, File(u"compressed.txt")
                .Raw(RecordBuilder::NonResident(
                    0x80, EncodeRuns({{1, 300}, {15, std::nullopt}, {16, -100}, {16, std::nullopt}}),
                    size, 0, 47, u"", 0x0001, 4))
                .Finish());
  v.Install();
  std::string error;
  auto plan = PlanNtfsFile(v.session, size, v.RecordSector(16), nullptr, &error);
  ASSERT_TRUE(plan) << error;
  ASSERT_TRUE(plan->produce);
  std::atomic<std::int32_t> stop{0};
  struct Sink : ByteSink {
    std::atomic<std::int32_t>* pressOnWrite = nullptr;
    std::uint64_t bytes = 0;
    bool Write(const void*, std::size_t l) override {
      bytes += l;
      if (pressOnWrite) pressOnWrite->store(1);
      return true;
    }
  } stopped, copied;
  stopped.pressOnWrite = &stop;
  ExtractResult r = WritePlan(*plan, stopped, &stop);
  EXPECT_TRUE(r.stopped);
  EXPECT_FALSE(r.ok);
  EXPECT_LT(stopped.bytes, size);
  EXPECT_EQ(v.session.stopRequested.load(), 0);
  stop = 0;
  r = WritePlan(*plan, copied, &stop);
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(copied.bytes, size);
}

// ---------------------------------------------------------------- into a folder

TEST(ExtractNtfsFile, WritesANewSanitisedFileWithItsTimeAndNeverOverwrites) {
  ExtractVolume v;
  v.Put(16, File(u"a/b.txt").ResidentData("content").Finish());
  v.Put(17, File(u"short.bin").Data({{1, 200}}, 3 * kCluster).Finish());
  v.Install();
  auto folder = test::TempDir() / "ntfs-extract";
  std::filesystem::create_directories(folder);
  ExtractResult first = ExtractNtfsFile(v.session, folder, u"a/b.txt", 7, v.RecordSector(16));
  ASSERT_TRUE(first.ok) << first.error;
  EXPECT_EQ(first.path.filename(), "a_b.txt");
  ExtractResult second = ExtractNtfsFile(v.session, folder, u"a/b.txt", 7, v.RecordSector(16));
  ASSERT_TRUE(second.ok) << second.error;
  EXPECT_EQ(second.path.filename(), "a_b (1).txt");
  std::ifstream in(first.path, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "content");
  struct stat st {};
  ASSERT_EQ(::stat(first.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, FileTimeToUnix(kModified));
  // A copy whose runs end early keeps what could be read, and says it failed.
  ExtractResult failed =
      ExtractNtfsFile(v.session, folder, u"short.bin", 3 * kCluster, v.RecordSector(17));
  EXPECT_FALSE(failed.ok);
  EXPECT_FALSE(failed.error.empty());
  ASSERT_TRUE(std::filesystem::exists(folder / "short.bin"));
  EXPECT_EQ(std::filesystem::file_size(folder / "short.bin"), failed.bytesWritten);
  EXPECT_GT(failed.bytesWritten, 0u);
  EXPECT_LT(failed.bytesWritten, 3u * kCluster);
}

// ---------------------------------------------------------------- damaged volumes

// Refuses to take more than a bound, as a full output disk would.
class BoundedSink : public ByteSink {
 public:
  bool Write(const void*, std::size_t length) override {
    if (total + length > kLimit) return false;
    total += length;
    return true;
  }
  static constexpr std::uint64_t kLimit = 8u << 20;
  std::uint64_t total = 0;
};

TEST(HostileVolume, RandomDamageToTheMftGivesAClearResultEveryTime) {
  ExtractVolume v;
  v.Put(16, File(u"resident.txt").ResidentData("resident data").Finish());
  v.Put(17,
        File(u"runs.bin").Data({{2, 210}, {1, std::nullopt}, {1, -5}}, 4 * kCluster - 9).Finish());
  v.Put(18, RecordBuilder(1024, 1, 3).FileName(u"Folder", 5, 5, 1).Finish());
  v.Put(19, File(u"spread.bin").AttributeList({{0x80, 0, 20, 1, 0}, {0x80, 2, 21, 1, 0}}).Finish());
  v.Put(20, RecordBuilder(1024, 1, 1, 19 | 1ULL << 48)
                .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, 220}}), 4 * kCluster, 0, 1))
                .Finish());
  v.Put(21, RecordBuilder(1024, 1, 1, 19 | 1ULL << 48)
                .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, 230}}), 0, 2, 3))
                .Finish());
  v.image.PutCluster(300, AbcChunk());
  v.Put(22, File(u"packed.txt")
                .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{1, 300}, {15, std::nullopt}}),
                                                9000, 0, 15, u"", 0x0001, 4))
                .Finish());
  const std::string pristine = v.image.Disk();
  const std::uint64_t mftBegin = v.RecordSector(0) * 512, mftBytes = 32 * 1024;
  const std::string path = "mem://ntfs-hostile";
  std::mt19937 rng(20240611);
  for (int round = 0; round < 200; ++round) {
    std::string disk = pristine;
    const int flips = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < flips; ++i) {
      // Mostly within the records' first bytes, where headers, lengths and offsets live.
      const std::uint64_t record = rng() % 32;
      const std::uint64_t offset = rng() % 4 == 0 ? rng() % 1024 : rng() % 0x180;
      disk[mftBegin + std::min(record * 1024 + offset, mftBytes - 1)] = static_cast<char>(rng());
    }
    platform::DeviceTable::Instance().Install(
        path, std::make_shared<platform::MemoryDevice>(std::move(disk)));
    RecoverySession session;
    v.image.Configure(session, path, v.RecordSector(0));
    RecordingView view;
    BuildMftExtentTable(session, view);
    BuildNtfsCatalogue(session, view);
    ui::ResultTree tree;
    EXPECT_EQ(BuildNtfsResultTree(session, view, tree), 1);
    for (auto* n = session.catalogue.fileList.First(); n;
         n = CatalogueList<CatalogueNode>::Next(n)) {
      const std::uint64_t size = static_cast<std::uint64_t>(TextToInt(n->size));
      BoundedSink sink;
      ExtractResult r =
          ExtractNtfsFileTo(session, sink, size, static_cast<std::uint64_t>(TextToInt(n->sector)));
      if (r.ok) {
        EXPECT_EQ(r.bytesWritten, size) << "round " << round;
        EXPECT_EQ(sink.total, size) << "round " << round;
      } else {
        EXPECT_FALSE(r.error.empty()) << "round " << round;
        EXPECT_LE(sink.total, size) << "round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace brevant

// The record-level structures: fix-ups, attribute headers, run lists, attribute lists, names.
#include "ntfs/mft_record.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <tuple>
#include <vector>

#include "core/text.h"
#include "ntfs/record_info.h"
#include "ntfs_builders.h"

namespace brevant::ntfs {
namespace {

using test::ntfs::EncodeRuns;
using test::ntfs::RecordBuilder;
using test::ntfs::RunSpec;

std::vector<std::uint8_t> ToBytes(const std::string& s) { return {s.begin(), s.end()}; }

// ---------------------------------------------------------------- fix-ups

TEST(ApplyFixups, RestoresEveryStrideOfA1024ByteRecordIncludingTheLastTwoBytes) {
  // Put known data at both sector ends before protecting them.
  RecordBuilder b(1024);
  b.FileName(u"a", 5, 5);
  std::string record = b.Finish(0xBEEF);
  // The builder moved the original bytes (zeros here) into the array; give them values.
  test::Put16(record, 0x32, 0x1234);
  test::Put16(record, 0x34, 0x5678);
  auto bytes = ToBytes(record);
  FixupResult r = ApplyFixups(bytes);
  EXPECT_EQ(r.applied, 2u);
  EXPECT_TRUE(r.consistent);
  EXPECT_EQ(Le16(&bytes[510]), 0x1234);
  EXPECT_EQ(Le16(&bytes[1022]), 0x5678);
}

TEST(ApplyFixups, ATornRecordIsRestoredButReportedInconsistent) {
  std::string record = RecordBuilder(1024).Finish(0x0042);
  test::Put16(record, 1022, 0x0043);  // the second sector was written by another update
  auto bytes = ToBytes(record);
  FixupResult r = ApplyFixups(bytes);
  EXPECT_EQ(r.applied, 2u);
  EXPECT_FALSE(r.consistent);
  EXPECT_EQ(Le16(&bytes[1022]), 0);  // still restored from the array
}

TEST(ApplyFixups, A4096ByteRecordHasEightStrides) {
  std::string record = RecordBuilder(4096).Finish(0x0101);
  for (int i = 1; i <= 8; ++i)
    test::Put16(record, 0x30 + 2 * i, static_cast<std::uint16_t>(0xA000 + i));
  auto bytes = ToBytes(record);
  FixupResult r = ApplyFixups(bytes);
  EXPECT_EQ(r.applied, 8u);
  EXPECT_TRUE(r.consistent);
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(Le16(&bytes[512 * i - 2]), 0xA000 + i) << i;
}

TEST(ApplyFixups, HostileArraysStayInsideTheBuffer) {
  struct Case {
    const char* what;
    std::uint16_t usaOffset, usaCount;
    unsigned applied;
  };
  const Case cases[] = {
      {"array past the end", 1020, 3, 0},
      {"count of zero", 0x30, 0, 0},
      {"count larger than the strides", 0x30, 9, 2},
      {"count of one covers nothing", 0x30, 1, 0},
  };
  for (const Case& c : cases) {
    std::string record = RecordBuilder(1024).Finish();
    test::Put16(record, 4, c.usaOffset);
    test::Put16(record, 6, c.usaCount);
    auto bytes = ToBytes(record);
    FixupResult r = ApplyFixups(bytes);
    EXPECT_EQ(r.applied, c.applied) << c.what;
    EXPECT_FALSE(r.consistent) << c.what;
  }
}

// ---------------------------------------------------------------- run lists

struct RunCase {
  const char* what;
  std::vector<std::uint8_t> bytes;
  std::vector<DataRun> runs;  // vcn, length, sparse, lcn
  bool damaged;
};

void PrintTo(const RunCase& c, std::ostream* os) { *os << c.what; }

class RunListTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunListTest, Decodes) {
  const RunCase& c = GetParam();
  RunListWalk walk(c.bytes);
  std::vector<DataRun> got;
  while (auto r = walk.Next()) got.push_back(*r);
  ASSERT_EQ(got.size(), c.runs.size()) << c.what;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].vcn, c.runs[i].vcn) << c.what << " run " << i;
    EXPECT_EQ(got[i].length, c.runs[i].length) << c.what << " run " << i;
    EXPECT_EQ(got[i].sparse, c.runs[i].sparse) << c.what << " run " << i;
    if (!got[i].sparse) {
      EXPECT_EQ(got[i].lcn, c.runs[i].lcn) << c.what << " run " << i;
    }
  }
  EXPECT_EQ(walk.Damaged(), c.damaged) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunListTest,
    ::testing::Values(
        RunCase{"one run", {0x21, 0x18, 0x34, 0x56, 0x00}, {{0, 0x18, false, 0x5634}}, false},
        RunCase{"negative one-byte delta goes one cluster back",
                {0x11, 0x04, 0x40, 0x11, 0x02, 0xFF, 0x00},
                {{0, 4, false, 0x40}, {4, 2, false, 0x3F}},
                false},
        RunCase{"sparse run keeps the reference for the next delta",
                {0x11, 0x04, 0x40, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00},
                {{0, 4, false, 0x40}, {4, 8, true, 0}, {12, 2, false, 0x50}},
                false},
        RunCase{"four-byte positive delta",
                {0x11, 0x01, 0x10, 0x41, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00},
                {{0, 1, false, 0x10}, {1, 1, false, 0x01000010}},
                false},
        RunCase{"eight-byte length and offset fields",
                {0x88, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x00, 0, 0, 0, 0x01, 0, 0, 0, 0x00},
                {{0, 5, false, 0x0100000000ULL}},
                false},
        RunCase{"six-byte lcn beyond 32 bits",
                {0x61, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00},
                {{0, 2, false, 0x0200000000ULL}},
                false},
        RunCase{"delta below cluster 0 stops the walk",
                {0x11, 0x01, 0x02, 0x11, 0x01, 0xF0, 0x00},
                {{0, 1, false, 2}},
                true},
        RunCase{"run list running off the end",
                {0x11, 0x01, 0x02, 0x31, 0x01, 0x05},
                {{0, 1, false, 2}},
                true},
        RunCase{"no terminator", {0x11, 0x01, 0x02}, {{0, 1, false, 2}}, true},
        RunCase{"length field of nine bytes", {0x09, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0x00}, {}, true},
        RunCase{"zero-width length", {0x10, 0x05, 0x00}, {}, true},
        RunCase{"zero length", {0x11, 0x00, 0x05, 0x00}, {}, true},
        RunCase{"empty list", {0x00}, {}, false}),
    [](const ::testing::TestParamInfo<RunCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return name;
    });

TEST(RunList, EncoderRoundTripsThroughTheWalk) {
  std::vector<RunSpec> runs = {{3, 1000}, {7, -500}, {2, std::nullopt}, {5, 0x7FFFFFFFFFLL}};
  std::string encoded = EncodeRuns(runs);
  std::vector<std::uint8_t> bytes(encoded.begin(), encoded.end());
  RunListWalk walk(bytes);
  std::vector<DataRun> got;
  while (auto r = walk.Next()) got.push_back(*r);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].lcn, 1000u);
  EXPECT_EQ(got[1].lcn, 500u);
  EXPECT_TRUE(got[2].sparse);
  EXPECT_EQ(got[3].lcn, 500u + 0x7FFFFFFFFFULL);
  EXPECT_EQ(got[3].vcn, 12u);
  EXPECT_FALSE(walk.Damaged());
}

// ---------------------------------------------------------------- attributes

std::vector<std::uint32_t> Types(const std::string& record, bool* damaged) {
  auto bytes = ToBytes(record);
  ApplyFixups(bytes);
  auto header = FileRecordHeader::Parse(bytes);
  if (!header) return {};
  std::vector<std::uint32_t> types;
  AttributeWalk walk(bytes, *header);
  while (auto a = walk.Next()) types.push_back(a->type);
  *damaged = walk.Damaged();
  return types;
}

TEST(AttributeWalk, VisitsEveryAttributeUpToTheEndMarker) {
  std::string r =
      RecordBuilder().StandardInformation(1, 2).FileName(u"x", 5, 5).ResidentData("hi").Finish();
  bool damaged = true;
  EXPECT_EQ(Types(r, &damaged), (std::vector<std::uint32_t>{0x10, 0x30, 0x80}));
  EXPECT_FALSE(damaged);
}

TEST(AttributeWalk, HostileHeadersStopTheWalkAtTheDamage) {
  struct Case {
    const char* what;
    std::size_t field;  // offset inside the second attribute
    int width;
    std::uint64_t value;
  };
  const Case cases[] = {
      {"zero length", 4, 4, 0},
      {"length past the record", 4, 4, 0x10000},
      {"length below a header", 4, 4, 8},
      {"non-resident byte of 2", 8, 1, 2},
      {"resident value past the attribute", 0x14, 2, 0x300},
      {"name past the attribute", 9, 1, 200},
  };
  for (const Case& c : cases) {
    RecordBuilder b;
    b.StandardInformation(1, 2);
    const std::size_t second = b.Position();
    b.FileName(u"name", 5, 5).ResidentData("data");
    std::string r = b.Finish();
    if (c.width == 1) r[second + c.field] = static_cast<char>(c.value);
    if (c.width == 2) test::Put16(r, second + c.field, static_cast<std::uint16_t>(c.value));
    if (c.width == 4) test::Put32(r, second + c.field, static_cast<std::uint32_t>(c.value));
    bool damaged = false;
    EXPECT_EQ(Types(r, &damaged), (std::vector<std::uint32_t>{0x10})) << c.what;
    EXPECT_TRUE(damaged) << c.what;
  }
}

TEST(FileRecordHeader, RejectsWhatIsNoRecord) {
  std::string good = RecordBuilder().Finish();
  EXPECT_TRUE(FileRecordHeader::Parse(ToBytes(good)));
  std::string wrongTag = good;
  wrongTag[0] = 'B';
  EXPECT_FALSE(FileRecordHeader::Parse(ToBytes(wrongTag)));
  std::string firstPastEnd = good;
  test::Put16(firstPastEnd, 0x14, 1020);
  EXPECT_FALSE(FileRecordHeader::Parse(ToBytes(firstPastEnd)));
  EXPECT_FALSE(FileRecordHeader::Parse(ToBytes(good.substr(0, 16))));
}

TEST(AttributeWalk, BytesInUseBoundTheWalk) {
  RecordBuilder b;
  b.StandardInformation(1, 2);
  const std::size_t cut = b.Position();
  std::string r = b.FileName(u"x", 5, 5).Finish();
  test::Put32(r, 0x18, static_cast<std::uint32_t>(cut + 8));  // claims the record ends early
  bool damaged = false;
  auto types = Types(r, &damaged);
  EXPECT_EQ(types, (std::vector<std::uint32_t>{0x10}));
}

// ---------------------------------------------------------------- names

TEST(FileNameValue, NameLengthPastTheValueIsRejected) {
  std::string v = RecordBuilder::FileNameValue(u"abc", 5, 5, 1, 0);
  v[0x40] = 10;
  EXPECT_FALSE(FileNameValue::Parse(ToBytes(v)));
  v[0x40] = 3;
  auto parsed = FileNameValue::Parse(ToBytes(v));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->name, u"abc");
  EXPECT_EQ(parsed->parent.record, 5u);
  EXPECT_EQ(parsed->parent.sequence, 5);
}

struct NameCase {
  const char* what;
  // In record order: name, name space, parent record.
  std::vector<std::tuple<std::u16string, std::uint8_t, std::uint64_t>> names;
  std::u16string primary;                 // the best name space, the first of equals
  std::multiset<std::u16string> entries;  // every name that is an entry of its folder
};

// Every name is an entry of its folder, hard links in one folder too; a DOS name beside a
// Win32 (or Win32-and-DOS) name of the same folder is its short form and no entry.
TEST(DescribeRecord, PrefersWin32ThenWin32AndDosThenDosThenPosix) {
  const NameCase cases[] = {
      {"Win32 and DOS pair",
       {{u"LONGFI~1.TXT", 2, 5}, {u"Long File Name.txt", 1, 5}},
       u"Long File Name.txt",
       {u"Long File Name.txt"}},
      {"one Win32-and-DOS name", {{u"UPPER.TXT", 3, 5}}, u"UPPER.TXT", {u"UPPER.TXT"}},
      {"Win32-and-DOS before DOS",
       {{u"SHORT.TXT", 2, 5}, {u"UPPER.TXT", 3, 5}},
       u"UPPER.TXT",
       {u"UPPER.TXT"}},
      {"POSIX only", {{u"posix name", 0, 5}}, u"posix name", {u"posix name"}},
      {"DOS only", {{u"ONLY.TXT", 2, 5}}, u"ONLY.TXT", {u"ONLY.TXT"}},
      {"POSIX and DOS are two names",
       {{u"posix name", 0, 5}, {u"POSIXN~1", 2, 5}},
       u"POSIXN~1",
       {u"posix name", u"POSIXN~1"}},
      {"two POSIX hard links in one folder",
       {{u"first", 0, 5}, {u"second", 0, 5}},
       u"first",
       {u"first", u"second"}},
      {"Win32 after POSIX in one folder",
       {{u"posix", 0, 5}, {u"win32", 1, 5}},
       u"win32",
       {u"posix", u"win32"}},
      {"two long names with their DOS names in one folder",
       {{u"Long Name A.txt", 1, 5},
        {u"LONGNA~1.TXT", 2, 5},
        {u"Long Name B.txt", 1, 5},
        {u"LONGNA~2.TXT", 2, 5}},
       u"Long Name A.txt",
       {u"Long Name A.txt", u"Long Name B.txt"}},
      {"a DOS name in another folder than the Win32 name",
       {{u"Long Name.txt", 1, 5}, {u"LONGNA~1.TXT", 2, 16}},
       u"Long Name.txt",
       {u"Long Name.txt", u"LONGNA~1.TXT"}},
      {"three names, two in one folder",
       {{u"original.txt", 0, 40}, {u"second.txt", 0, 40}, {u"third.txt", 0, 41}},
       u"original.txt",
       {u"original.txt", u"second.txt", u"third.txt"}},
      {"the same name twice in one folder is one entry",
       {{u"same.txt", 0, 5}, {u"same.txt", 1, 5}},
       u"same.txt",
       {u"same.txt"}},
      {"the same name in two folders is two entries",
       {{u"same.txt", 0, 5}, {u"same.txt", 0, 16}},
       u"same.txt",
       {u"same.txt", u"same.txt"}},
  };
  for (const NameCase& c : cases) {
    RecordBuilder b;
    for (const auto& [name, ns, parent] : c.names)
      b.FileName(name, parent, parent == 5 ? 5 : 1, ns);
    auto bytes = ToBytes(b.Finish());
    ApplyFixups(bytes);
    auto header = FileRecordHeader::Parse(bytes);
    ASSERT_TRUE(header);
    RecordInfo info;
    DescribeRecord(bytes, *header, {}, info);
    ASSERT_TRUE(info.hasName) << c.what;
    EXPECT_EQ(info.Name().name, c.primary) << c.what;
    std::multiset<std::u16string> entries;
    for (std::size_t i = 0; i < info.linkCount; ++i) entries.insert(info.links[i].name);
    EXPECT_EQ(entries, c.entries) << c.what;
  }
  // The storage is reused from record to record: a record with fewer names shows only its own.
  RecordInfo info;
  for (std::size_t names : {3u, 1u}) {
    RecordBuilder b;
    for (std::size_t i = 0; i < names; ++i) b.FileName(u"n" + ToText(i), 5, 5, 0);
    auto bytes = ToBytes(b.Finish());
    ApplyFixups(bytes);
    auto header = FileRecordHeader::Parse(bytes);
    DescribeRecord(bytes, *header, {}, info);
    EXPECT_EQ(info.linkCount, names);
  }
}

TEST(DescribeRecord, SizeIsTheUnnamedStreamsFull64BitSize) {
  const std::uint64_t fiveGiB = 5ULL << 30;
  RecordBuilder b;
  b.FileName(u"big.bin", 5, 5);
  b.Data({{16, 100}}, 12, u"Zone.Identifier");  // an alternate stream first
  b.Data({{(fiveGiB + 4095) / 4096, 200}}, fiveGiB);
  auto bytes = ToBytes(b.Finish());
  ApplyFixups(bytes);
  auto header = FileRecordHeader::Parse(bytes);
  RecordInfo info;
  DescribeRecord(bytes, *header, {}, info);
  ASSERT_TRUE(info.hasData);
  EXPECT_EQ(info.dataSize, fiveGiB);
}

// ---------------------------------------------------------------- attribute lists

TEST(AttributeListWalk, StopsAtAnEntryThatDoesNotFit) {
  std::string list(3 * 0x20, '\0');
  for (int i = 0; i < 3; ++i) {
    test::Put32(list, i * 0x20, 0x80);
    test::Put16(list, i * 0x20 + 4, 0x20);
    test::Put64(list, i * 0x20 + 0x10, 40 + i);
  }
  std::vector<std::uint8_t> bytes(list.begin(), list.end());
  {
    AttributeListWalk walk(bytes);
    int n = 0;
    while (walk.Next()) ++n;
    EXPECT_EQ(n, 3);
    EXPECT_FALSE(walk.Damaged());
  }
  struct Case {
    const char* what;
    std::uint16_t secondLength;
  };
  for (Case c : {Case{"zero length", 0}, Case{"length past the list", 0x200},
                 Case{"length below an entry", 8}}) {
    auto hostile = bytes;
    hostile[0x20 + 4] = static_cast<std::uint8_t>(c.secondLength & 0xFF);
    hostile[0x20 + 5] = static_cast<std::uint8_t>(c.secondLength >> 8);
    AttributeListWalk walk(hostile);
    int n = 0;
    while (walk.Next()) ++n;
    EXPECT_EQ(n, 1) << c.what;
    EXPECT_TRUE(walk.Damaged()) << c.what;
  }
}

}  // namespace
}  // namespace brevant::ntfs

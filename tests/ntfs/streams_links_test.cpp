// Named streams, every name of a record, and deleted files whose data sits in extension
// records freed with them: what the catalogue lists, what extraction copies, and which links
// of a deleted record are trusted.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/text.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_ids.h"
#include "ntfs/record_info.h"
#include "ntfs_builders.h"

namespace brevant {
namespace {

using ntfs::ExtensionLink;
using test::ntfs::EncodeRuns;
using test::ntfs::ListEntry;
using test::ntfs::RecordBuilder;
using test::ntfs::StringSink;
using test::ntfs::VolumeImage;

constexpr std::uint64_t kStart = 1000;
constexpr std::uint64_t kSpc = 8;
constexpr std::uint64_t kCluster = kSpc * 512;

std::string Pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 5 + i / 253);
  return s;
}

// A volume whose MFT (32 records) lies at cluster 100 and whose clusters 200..259 hold patterns.
struct Volume {
  VolumeImage image{kStart, 16000, kSpc};
  RecoverySession session;
  std::uint64_t RecordSector(std::uint64_t n) const { return kStart + 100 * kSpc + 2 * n; }
  void Put(std::uint64_t n, const std::string& r) { image.PutAtSector(RecordSector(n), r); }
  std::string Clusters(std::uint64_t lcn, std::size_t count) const {
    return image.Disk().substr(image.ClusterSector(lcn) * 512, count * kCluster);
  }
  Volume() {
    Put(0, RecordBuilder().FileName(u"$MFT", 5, 5, 3).Data({{8, 100}}, 32 * 1024).Finish());
    Put(5, RecordBuilder(1024, 5, 3).FileName(u".", 5, 5, 3).Finish());
    for (std::uint64_t lcn = 200; lcn < 260; ++lcn)
      image.PutCluster(lcn, Pattern(kCluster, static_cast<char>(lcn)));
  }
  void Install() {
    image.Install(session, RecordSector(0));
    RecordingView view;
    BuildMftExtentTable(session, view);
  }
  ExtractResult Extract(std::uint64_t record, std::uint64_t size, std::string* out,
                        std::u16string_view stream = {}) {
    StringSink sink;
    ExtractResult r = ExtractNtfsFileTo(session, sink, size, RecordSector(record), stream);
    *out = sink.bytes;
    return r;
  }
  std::vector<const CatalogueNode*> Catalogue() {
    RecordingView view;
    BuildNtfsCatalogue(session, view);
    std::vector<const CatalogueNode*> out;
    for (auto* n = session.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      out.push_back(n);
    return out;
  }
};

const CatalogueNode* Find(const std::vector<const CatalogueNode*>& files, std::u16string_view name,
                          std::u16string_view parent = {}) {
  for (const CatalogueNode* n : files)
    if (n->name == name && (parent.empty() || n->parentId == parent)) return n;
  return nullptr;
}

// ---------------------------------------------------------------- named streams

TEST(NamedStreams, EachIsAFileBesideItsOwnerAndCopiesItsOwnBytes) {
  Volume v;
  const std::string zone = "[ZoneTransfer]\r\nZoneId=3\r\n";
  const std::uint64_t thumbSize = 2 * kCluster - 100;
  const std::uint64_t farSize = kCluster + 7;
  v.Put(16, RecordBuilder(1024, 1, 3).FileName(u"Docs", 5, 5, 1).Finish());
  // Live file: unnamed data, a resident stream, a non-resident one, and one whose attribute
  // lives in an extension record.
  v.Put(17,
        RecordBuilder()
            .FileName(u"report.txt", 16, 1, 1)
            .AttributeList({{0x30, 0, 17, 1, 3}, {0x80, 0, 17, 1, 4}, {0x80, 0, 18, 1, 9, u"far"}})
            .ResidentData("main data")
            .ResidentData(zone, u"Zone.Identifier")
            .Data({{2, 210}}, thumbSize, u"thumb")
            .Finish());
  v.Put(18, RecordBuilder(1024, 1, 1, 17 | 1ULL << 48)
                .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{1, 230}}), farSize, 0, 0, u"far",
                                                0, 0, 9))
                .Finish());
  // A deleted file with a stream, and a folder with one.
  v.Put(19, RecordBuilder(1024, 2, 0)
                .FileName(u"gone.txt", 16, 1, 1)
                .ResidentData("gone")
                .ResidentData("gone notes", u"notes")
                .Finish());
  v.Put(20, RecordBuilder(1024, 1, 3)
                .FileName(u"Album", 16, 1, 1)
                .ResidentData("folder meta", u"meta")
                .Finish());
  // The bad-cluster map spans the volume and is no file's data; a "$Bad" stream elsewhere is.
  v.Put(8, RecordBuilder()
               .FileName(u"$BadClus", 5, 5, 3)
               .ResidentData("")
               .Data({{1999, std::nullopt}}, 1999 * kCluster, u"$Bad")
               .Finish());
  v.Put(21, RecordBuilder().FileName(u"odd.txt", 16, 1, 1).ResidentData("x", u"$Bad").Finish());
  v.Install();

  const auto files = v.Catalogue();
  struct Want {
    std::u16string name, stream, size, deleted;
  };
  const Want wants[] = {
      {u"report.txt", u"", u"9", u"NULL"},
      {u"report.txt:Zone.Identifier", u"Zone.Identifier", ToText(zone.size()), u"NULL"},
      {u"report.txt:thumb", u"thumb", ToText(thumbSize), u"NULL"},
      {u"report.txt:far", u"far", ToText(farSize), u"NULL"},
      {u"gone.txt:notes", u"notes", u"10", u"1"},
      // A folder's stream is a file beside the folder, in the folder's parent.
      {u"Album:meta", u"meta", u"11", u"NULL"},
  };
  for (const Want& w : wants) {
    const CatalogueNode* n = Find(files, w.name);
    ASSERT_TRUE(n) << ToUtf8(w.name);
    EXPECT_EQ(std::u16string_view(n->stream), w.stream) << ToUtf8(w.name);
    EXPECT_EQ(std::u16string_view(n->size), w.size) << ToUtf8(w.name);
    EXPECT_EQ(std::u16string_view(n->deleted), w.deleted) << ToUtf8(w.name);
    EXPECT_EQ(std::u16string_view(n->parentId), u"16") << ToUtf8(w.name);
    EXPECT_EQ(std::u16string_view(n->type), u"FILE") << ToUtf8(w.name);
  }
  EXPECT_TRUE(Find(files, u"$BadClus"));
  EXPECT_FALSE(Find(files, u"$BadClus:$Bad"));
  EXPECT_TRUE(Find(files, u"odd.txt:$Bad"));
  EXPECT_EQ(std::u16string_view(Find(files, u"report.txt:far")->sector),
            std::u16string_view(Find(files, u"report.txt")->sector));

  // Each copies its own bytes; the unnamed stream stays the file itself.
  struct Copy {
    std::uint64_t record;
    std::u16string stream;
    std::string bytes;
  };
  const Copy copies[] = {
      {17, u"", "main data"},
      {17, u"Zone.Identifier", zone},
      {17, u"thumb", v.Clusters(210, 2).substr(0, thumbSize)},
      {17, u"far", v.Clusters(230, 1) + std::string(7, '\0')},
      {19, u"notes", "gone notes"},
      {20, u"meta", "folder meta"},
  };
  for (const Copy& c : copies) {
    std::string got;
    ExtractResult r = v.Extract(c.record, c.bytes.size(), &got, c.stream);
    if (c.stream == u"far") {
      // The stream maps one cluster for a size past it: what the runs hold is kept, the rest
      // is reported missing.
      EXPECT_TRUE(got.starts_with(v.Clusters(230, 1))) << ToUtf8(c.stream);
      continue;
    }
    ASSERT_TRUE(r.ok) << ToUtf8(c.stream) << ": " << r.error;
    EXPECT_TRUE(got == c.bytes) << ToUtf8(c.stream);
  }
  std::string got;
  EXPECT_FALSE(v.Extract(17, 5, &got, u"no such stream").ok);
}

// ---------------------------------------------------------------- every name

TEST(HardLinks, EveryNameIsAnEntryAndEachCarriesTheStreams) {
  Volume v;
  v.Put(16, RecordBuilder(1024, 1, 3).FileName(u"Links", 5, 5, 1).Finish());
  v.Put(17, RecordBuilder(1024, 1, 3).FileName(u"Other", 5, 5, 1).Finish());
  v.Put(18, RecordBuilder()
                .FileName(u"original.txt", 16, 1, 0)
                .FileName(u"second name.txt", 16, 1, 0)
                .FileName(u"third name.txt", 17, 1, 0)
                .FileName(u"LONGNA~1.TXT", 16, 1, 2)
                .FileName(u"Long Name.txt", 16, 1, 1)
                .ResidentData("linked")
                .ResidentData("blue", u"tag")
                .Finish());
  v.Install();
  const auto files = v.Catalogue();
  std::multimap<std::u16string, std::u16string> where;  // name -> parent
  for (const CatalogueNode* n : files)
    if (std::u16string_view(n->id) == u"18") where.emplace(n->name, n->parentId);
  const std::multimap<std::u16string, std::u16string> want = {
      {u"original.txt", u"16"},    {u"original.txt:tag", u"16"},
      {u"second name.txt", u"16"}, {u"second name.txt:tag", u"16"},
      {u"third name.txt", u"17"},  {u"third name.txt:tag", u"17"},
      {u"Long Name.txt", u"16"},   {u"Long Name.txt:tag", u"16"},
  };
  EXPECT_EQ(where, want);
}

// ---------------------------------------------------------------- freed extension records

struct Header {
  std::uint16_t sequence;
  bool inUse;
  std::uint64_t base;  // record number of the base; 0 for a base record
  std::uint16_t baseSequence;
};

ntfs::FileRecordHeader MakeHeader(const Header& h) {
  ntfs::FileRecordHeader out;
  out.sequence = h.sequence;
  out.flags = h.inUse ? ntfs::kRecordInUse : 0;
  out.baseRecord = {h.base, h.baseSequence};
  return out;
}

TEST(CheckExtension, ADeletedRecordTrustsOnlyLinksWhereEveryNumberAgrees) {
  struct Case {
    const char* what;
    Header base;
    std::optional<std::uint64_t> baseRecord;
    std::uint16_t entrySequence;
    Header extension;
    ExtensionLink want;
  };
  // Base record 40 was at sequence 7 and is now 8 (freed); its extension at sequence 3, now 4.
  const Case cases[] = {
      {"live base, live extension",
       {7, true, 0, 0},
       40,
       3,
       {3, true, 40, 7},
       ExtensionLink::Belongs},
      {"live base, another base's extension",
       {7, true, 0, 0},
       40,
       3,
       {3, true, 41, 7},
       ExtensionLink::Foreign},
      {"live base, extension reused since",
       {7, true, 0, 0},
       40,
       3,
       {5, true, 40, 7},
       ExtensionLink::Foreign},
      {"freed together, both raised",
       {8, false, 0, 0},
       40,
       3,
       {4, false, 40, 7},
       ExtensionLink::Freed},
      {"freed, sequence numbers not raised",
       {7, false, 0, 0},
       40,
       3,
       {3, false, 40, 7},
       ExtensionLink::Freed},
      {"deleted base, extension still in use and naming it",
       {8, false, 0, 0},
       40,
       3,
       {3, true, 40, 7},
       ExtensionLink::Belongs},
      {"sequence wraps past 0xFFFF to 1",
       {1, false, 0, 0},
       40,
       0xFFFF,
       {1, false, 40, 0xFFFF},
       ExtensionLink::Freed},
      {"extension in use again under a raised number",
       {8, false, 0, 0},
       40,
       3,
       {4, true, 40, 7},
       ExtensionLink::Foreign},
      {"extension reused and freed again",
       {8, false, 0, 0},
       40,
       3,
       {5, false, 40, 7},
       ExtensionLink::Foreign},
      {"extension names an older life of the base",
       {8, false, 0, 0},
       40,
       3,
       {4, false, 40, 5},
       ExtensionLink::Foreign},
      {"extension names another base",
       {8, false, 0, 0},
       40,
       3,
       {4, false, 12, 7},
       ExtensionLink::Foreign},
      {"extension claims to be its own base",
       {8, false, 0, 0},
       40,
       3,
       {4, false, 41, 7},
       ExtensionLink::Foreign},
      {"not an extension record",
       {8, false, 0, 0},
       40,
       3,
       {4, false, 0, 0},
       ExtensionLink::Foreign},
      {"list entry without a sequence number",
       {8, false, 0, 0},
       40,
       0,
       {4, false, 40, 7},
       ExtensionLink::Foreign},
      {"base record number unknown",
       {8, false, 0, 0},
       std::nullopt,
       3,
       {4, false, 40, 7},
       ExtensionLink::Foreign},
  };
  for (const Case& c : cases) {
    ntfs::AttributeListEntry entry;
    entry.type = ntfs::kAttrData;
    entry.record = {41, c.entrySequence};
    EXPECT_EQ(
        ntfs::CheckExtension(MakeHeader(c.base), c.baseRecord, entry, MakeHeader(c.extension)),
        c.want)
        << c.what;
  }
}

// A deleted file (record 16, sequence 3 since its deletion) whose base record keeps the
// attribute list and the first data piece, and whose further pieces sit in records 17 and 18,
// freed with it (sequence 1, now 2).
TEST(FreedExtensions, ADeletedFileIsAssembledOnlyWhenItsLinksAndRunsAgree) {
  const std::uint64_t size = 6 * kCluster - 50;
  struct Piece {
    std::uint64_t record = 0;
    std::uint16_t sequence = 2;
    bool inUse = false;
    std::uint64_t base = 16;
    std::uint16_t baseSequence = 2;
    std::uint64_t vcn = 0;
    std::int64_t lcn = 0;
  };
  struct Case {
    const char* what;
    std::vector<ListEntry> list;
    std::vector<Piece> pieces;
    std::uint64_t size;
    bool assembled;          // recovered whole and marked
    const char* error = "";  // else: the reason given
  };
  const std::vector<ListEntry> goodList = {
      {0x30, 0, 16, 2, 3}, {0x80, 0, 16, 2, 4}, {0x80, 2, 17, 1, 0}, {0x80, 4, 18, 1, 0}};
  const Piece second{17, 2, false, 16, 2, 2, 230}, third{18, 2, false, 16, 2, 4, 240};
  auto with = [](Piece p, auto change) {
    change(p);
    return p;
  };
  const Case cases[] = {
      {"freed intact", goodList, {second, third}, size, true},
      {"one extension still in use",
       goodList,
       {second, with(third, [](Piece& p) { p.sequence = 1, p.inUse = true; })},
       size,
       true},
      {"an extension reused by another file",
       goodList,
       {second, with(third, [](Piece& p) { p.inUse = true, p.base = 9, p.baseSequence = 1; })},
       size,
       false,
       "MFT record 18"},
      {"wrong sequence number in the extension",
       goodList,
       {second, with(third, [](Piece& p) { p.sequence = 3; })},
       size,
       false,
       "MFT record 18"},
      {"the extension names another life of the base",
       goodList,
       {second, with(third, [](Piece& p) { p.baseSequence = 5; })},
       size,
       false,
       "MFT record 18"},
      {"an extension that claims itself as base",
       goodList,
       {second, with(third, [](Piece& p) { p.base = 18; })},
       size,
       false,
       "MFT record 18"},
      {"the list points back at the base record",
       {{0x80, 0, 16, 2, 4}, {0x80, 2, 17, 1, 0}, {0x80, 4, 16, 2, 4}},
       {second, third},
       size,
       false,
       "end after"},
      {"a gap in the virtual clusters",
       {{0x80, 0, 16, 2, 4}, {0x80, 2, 17, 1, 0}, {0x80, 5, 18, 1, 0}},
       {second, with(third, [](Piece& p) { p.vcn = 5; })},
       size,
       false,
       "virtual cluster 4"},
      {"a loop: two pieces said to be in one record",
       {{0x80, 0, 16, 2, 4}, {0x80, 2, 17, 1, 0}, {0x80, 4, 17, 1, 0}},
       {second, third},
       size,
       false,
       "MFT record 17"},
      {"runs that end before the size",
       goodList,
       {second, third},
       8 * kCluster,
       false,
       "end after"},
  };
  for (const Case& c : cases) {
    Volume v;
    v.Put(16, RecordBuilder(1024, 3, 0)
                  .FileName(u"fragmented.bin", 5, 5, 1)
                  .AttributeList(c.list)
                  .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, 220}}), c.size, 0, 1, u"",
                                                  0, 0, 4))
                  .Finish());
    for (const Piece& p : c.pieces)
      v.Put(p.record, RecordBuilder(1024, p.sequence, p.inUse ? 1 : 0,
                                    p.base | static_cast<std::uint64_t>(p.baseSequence) << 48)
                          .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, p.lcn}}), 0, p.vcn,
                                                          p.vcn + 1))
                          .Finish());
    v.Install();
    const auto files = v.Catalogue();
    const CatalogueNode* n = Find(files, u"fragmented.bin");
    ASSERT_TRUE(n) << c.what;  // listed in every case, from its base record
    EXPECT_EQ(std::u16string_view(n->deleted), u"1") << c.what;
    EXPECT_EQ(std::u16string_view(n->size), ToText(c.size)) << c.what;
    EXPECT_EQ(std::u16string_view(n->spareText) == ntfs::kFreedRecordsMark, c.assembled) << c.what;
    std::string got;
    ExtractResult r = v.Extract(16, c.size, &got);
    if (c.assembled) {
      ASSERT_TRUE(r.ok) << c.what << ": " << r.error;
      EXPECT_TRUE(got ==
                  (v.Clusters(220, 2) + v.Clusters(230, 2) + v.Clusters(240, 2)).substr(0, c.size))
          << c.what;
    } else {
      EXPECT_FALSE(r.ok) << c.what;
      EXPECT_NE(r.error.find(c.error), std::string::npos) << c.what << ": " << r.error;
    }
  }
}

// What ntfs-3g leaves of a heavily fragmented file it deleted: the base record (16) keeps the
// attribute list and the first data piece; the $FILE_NAME was removed in place from extension
// record 17 (the end marker written over its type and length); the list's stated length was cut
// by one entry without the list being written again, so the entry for the last piece (record
// 18) lies past it. Record 17 and 18 were freed with the base (sequence 1, now 2).
TEST(FreedExtensions, ANameRemovedInPlaceAndEntriesPastTheStatedLengthAreUsedOnlyWhenTheyAgree) {
  const std::uint64_t size = 4 * kCluster - 50;
  struct Case {
    const char* what;
    bool baseInUse;
    std::uint16_t removedNameId;  // the id left in the removed $FILE_NAME
    std::uint64_t lastPieceRecord;
    bool listed, assembled;  // under its name; marked as joined from freed records
    const char* error;       // of the extraction by record, "" when it copies the whole file
  };
  const Case cases[] = {
      {"as the driver leaves it", false, 5, 18, true, true, ""},
      // No name, no entry; the record's data still joins.
      {"a removed name with another attribute id", false, 6, 18, false, false, ""},
      {"an entry past the stated length naming a record that is not this file's", false, 5, 19,
       true, false, "end after"},
      {"a live record: nothing past the stated length, no removed names", true, 5, 18, false, false,
       "end after"},
  };
  for (const Case& c : cases) {
    Volume v;
    const std::string list = RecordBuilder::ListValue(
        {{0x30, 0, 17, 1, 5}, {0x80, 0, 16, 1, 4}, {0x80, 2, c.lastPieceRecord, 1, 0}});
    v.image.PutCluster(250, list);
    const std::uint16_t baseSequence = c.baseInUse ? 1 : 2;
    v.Put(
        16,
        RecordBuilder(1024, baseSequence, c.baseInUse ? 1 : 0)
            .Raw(RecordBuilder::NonResident(0x20, EncodeRuns({{1, 250}}), list.size() - 32, 0, 0))
            .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, 220}}), size, 0, 1, u"", 0, 0, 4))
            .Finish());
    const std::uint16_t extSequence = c.baseInUse ? 1 : 2;
    std::string named =
        RecordBuilder(1024, extSequence, c.baseInUse ? 1 : 0, 16 | 1ULL << 48).Finish();
    const std::string name = RecordBuilder::Resident(
        0x30, RecordBuilder::FileNameValue(u"gone.bin", 5, 5, 0, 0), u"", c.removedNameId);
    const std::size_t at = static_cast<std::uint8_t>(named[0x14]) | named[0x15] << 8;
    named.replace(at + 8, name.size() - 8, name.substr(8));
    v.Put(17, named);
    v.Put(18, RecordBuilder(1024, extSequence, c.baseInUse ? 1 : 0, 16 | 1ULL << 48)
                  .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, 230}}), 0, 2, 3))
                  .Finish());
    v.Put(19, RecordBuilder(1024, 2, 0, 7 | 1ULL << 48)
                  .Raw(RecordBuilder::NonResident(0x80, EncodeRuns({{2, 240}}), 0, 2, 3))
                  .Finish());
    v.Install();
    const auto files = v.Catalogue();
    const CatalogueNode* n = Find(files, u"gone.bin", u"5");
    ASSERT_EQ(n != nullptr, c.listed) << c.what;
    if (n) {
      EXPECT_EQ(std::u16string_view(n->spareText) == ntfs::kFreedRecordsMark, c.assembled)
          << c.what;
    }
    std::string got;
    ExtractResult r = v.Extract(16, size, &got);
    if (*c.error == '\0') {
      ASSERT_TRUE(r.ok) << c.what << ": " << r.error;
      EXPECT_TRUE(got == (v.Clusters(220, 2) + v.Clusters(230, 2)).substr(0, size)) << c.what;
    } else {
      EXPECT_FALSE(r.ok) << c.what;
      EXPECT_NE(r.error.find(c.error), std::string::npos) << c.what << ": " << r.error;
    }
  }
}

}  // namespace
}  // namespace brevant

// The sweep beyond the MFT: FILE records of an earlier MFT and folder-index entries found by
// their signatures on a crafted volume, decoded, deduplicated and placed by parent reference.
#include "ntfs/record_sweep.h"

#include <gtest/gtest.h>

#include <map>

#include "core/read_sectors.h"
#include "core/text.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs_builders.h"

namespace brevant {
namespace {

using test::Put16;
using test::Put32;
using test::Put64;
using test::ntfs::RecordBuilder;
using test::ntfs::Utf16;
using test::ntfs::VolumeImage;

constexpr std::uint64_t kStart = 100;
constexpr std::uint64_t kSpc = 8;

// A record with its own number in the header, as NTFS 3.1 writes it.
std::string Numbered(RecordBuilder b, std::uint32_t number, std::uint16_t usn = 7) {
  std::string r = b.Finish(usn);
  Put32(r, 0x2C, number);
  return r;
}

// An INDX buffer of 4096 bytes holding the given (record, sequence, $FILE_NAME value) entries.
std::string IndexBuffer(
    const std::vector<std::tuple<std::uint64_t, std::uint16_t, std::string>>& entries) {
  std::string b(4096, '\0');
  b.replace(0, 4, "INDX");
  Put16(b, 4, 0x28);
  Put16(b, 6, 9);
  std::size_t at = 0x40;
  for (const auto& [record, sequence, value] : entries) {
    const std::size_t length = (16 + value.size() + 7) / 8 * 8;
    Put64(b, at, record | static_cast<std::uint64_t>(sequence) << 48);
    Put16(b, at + 8, static_cast<std::uint16_t>(length));
    Put16(b, at + 10, static_cast<std::uint16_t>(value.size()));
    b.replace(at + 16, value.size(), value);
    at += length;
  }
  Put16(b, at + 8, 16);
  Put32(b, at + 12, 2);  // the last entry
  at += 16;
  Put32(b, 0x18, 0x28);
  Put32(b, 0x1C, static_cast<std::uint32_t>(at - 0x18));
  Put32(b, 0x20, 4096 - 0x18);
  Put16(b, 0x28, 9);
  for (std::size_t i = 1; i <= 8; ++i) {
    b[0x28 + 2 * i] = b[512 * i - 2];
    b[0x28 + 2 * i + 1] = b[512 * i - 1];
    Put16(b, 512 * i - 2, 9);
  }
  return b;
}

std::string IndexedName(std::u16string_view name, std::uint64_t parent, std::uint64_t size,
                        bool folder) {
  std::string v = RecordBuilder::FileNameValue(name, parent, 1, 1, 132000000000000000LL);
  Put64(v, 0x30, size);
  Put32(v, 0x38, folder ? 0x10000000 : 0x20);
  return v;
}

struct Entry {
  std::u16string name, id, parent, spare, sector, size;
  bool folder, deleted;
};

class RecordSweepTest : public ::testing::Test {
 protected:
  // The current MFT: cluster 10 onwards, 20 records; the root (5) and one current folder (16).
  // An earlier MFT's records lie at cluster 40, outside it.
  void SetUp() override {
    image.PutAtSector(MftSector(5), Numbered(RecordBuilder(1024, 5, 3).FileName(u".", 5, 5, 3), 5));
    image.PutAtSector(MftSector(16),
                      Numbered(RecordBuilder(1024, 1, 3).FileName(u"Now", 5, 5, 1), 16));
    const std::uint64_t old = image.ClusterSector(40);
    image.PutAtSector(old + 0, Numbered(RecordBuilder(1024, 2, 3).FileName(u"Old", 5, 5, 1), 40));
    image.PutAtSector(
        old + 2,
        Numbered(
            RecordBuilder(1024, 1, 1).FileName(u"kept.txt", 40, 2, 1).ResidentData("kept bytes"),
            41));
    // Its parent was never found: under "Lost".
    image.PutAtSector(
        old + 4,
        Numbered(RecordBuilder(1024, 1, 1).FileName(u"stray.txt", 77, 1, 1).ResidentData("s"), 42));
    // A copy of a system record ($MFTMirr keeps some): never user data.
    image.PutAtSector(old + 6, Numbered(RecordBuilder(1024, 1, 1).FileName(u"$MFT", 5, 5, 3), 0));
    // A torn record (one sector end does not carry the update sequence number).
    std::string torn = Numbered(RecordBuilder(1024, 1, 1).FileName(u"torn.txt", 40, 2, 1), 43);
    torn[1022] = 0x55;
    image.PutAtSector(old + 8, torn);
    // The same record as the current folder "Now": the MFT walk has it.
    image.PutAtSector(old + 10, Numbered(RecordBuilder(1024, 1, 3).FileName(u"Now", 5, 5, 1), 16));
    // A file of the earlier MFT with a named stream and a second name (a hard link) in the
    // root: both names and the stream under each are found.
    image.PutAtSector(old + 12, Numbered(RecordBuilder(1024, 1, 1)
                                             .FileName(u"tagged.txt", 40, 2, 1)
                                             .FileName(u"linked.txt", 5, 5, 0, 132000000000000000LL, 5)
                                             .ResidentData("main bytes")
                                             .ResidentData("stream bytes", u"tag"),
                                         45));
    // A second copy of kept.txt elsewhere counts once.
    image.PutAtSector(
        image.ClusterSector(60) + 3,
        Numbered(
            RecordBuilder(1024, 1, 1).FileName(u"kept.txt", 40, 2, 1).ResidentData("kept bytes"),
            41));
    // The folder's index: kept.txt (found above) and ghost.bin, whose record is gone.
    image.PutCluster(50, IndexBuffer({{41, 1, IndexedName(u"kept.txt", 40, 10, false)},
                                      {44, 1, IndexedName(u"ghost.bin", 40, 123456, false)}}));
    path = image.Install(session, MftSector(0));
    session.mftExtents.mftRunStart = {MftSector(0)};
    session.mftExtents.mftRunLength = {40};
    session.mftExtents.mftRunCount = 1;
    session.scanParams.sectorsPerIndexRecord = 8;
  }

  std::uint64_t MftSector(std::uint64_t record) const {
    return image.ClusterSector(10) + 2 * record;
  }

  std::map<std::u16string, Entry> Run() {
    BuildNtfsCatalogue(session, view);
    SweepNtfsVolume(session, view, NtfsSweepOptions{64});
    std::map<std::u16string, Entry> out;
    for (int list = 0; list < 2; ++list)
      for (const CatalogueNode* n = list ? session.catalogue.fileList.First()
                                         : session.catalogue.folderList.First();
           n; n = CatalogueList<CatalogueNode>::Next(n))
        out[n->name] = {n->name,   n->id,   n->parentId,   n->spareText,
                        n->sector, n->size, n->IsFolder(), n->IsDeleted()};
    return out;
  }

  // The bytes of the first catalogued file named `name`, extracted from where it was found.
  std::string Extracted(std::u16string_view name) {
    for (const CatalogueNode* n = session.catalogue.fileList.First(); n;
         n = CatalogueList<CatalogueNode>::Next(n)) {
      if (std::u16string_view(n->name) != name) continue;
      struct Sink : ByteSink {
        std::string bytes;
        bool Write(const void* d, std::size_t l) override {
          bytes.append(static_cast<const char*>(d), l);
          return true;
        }
      } sink;
      auto r = ExtractNtfsFileTo(session, sink, static_cast<std::uint64_t>(TextToInt(n->size)),
                                 static_cast<std::uint64_t>(TextToInt(n->sector)), n->stream);
      EXPECT_TRUE(r.ok) << ToUtf8(name) << ": " << r.error;
      return sink.bytes;
    }
    ADD_FAILURE() << ToUtf8(name) << " not catalogued";
    return {};
  }

  VolumeImage image{kStart, 1200, kSpc};
  RecoverySession session;
  RecordingView view;
  std::string path;
};

TEST_F(RecordSweepTest, FindsRecordsBeyondTheMftAndPlacesThemByParent) {
  auto e = Run();
  ASSERT_TRUE(e.count(u"Old"));
  const Entry& old = e[u"Old"];
  EXPECT_TRUE(old.folder);
  EXPECT_TRUE(old.deleted) << "nothing found beyond the MFT belongs to the volume as it stands";
  EXPECT_EQ(old.parent, u"5") << "the root keeps its number through a reformat";
  EXPECT_GE(TextToInt(old.id), kSweptIdBase) << "ids stay clear of the current MFT's numbers";
  EXPECT_EQ(e[u"kept.txt"].parent, old.id);
  EXPECT_EQ(e[u"kept.txt"].size, u"10");
  EXPECT_EQ(e[u"stray.txt"].parent, u"268435455");
  EXPECT_EQ(e[u"Now"].id, u"16") << "the current folder is the MFT walk's entry";
  for (const char16_t* dropped : {u"$MFT", u"torn.txt"})
    EXPECT_FALSE(e.count(dropped)) << ToUtf8(dropped);

  std::size_t kept = 0, now = 0;
  for (const CatalogueNode* n = session.catalogue.fileList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n))
    kept += std::u16string_view(n->name) == u"kept.txt";
  for (const CatalogueNode* n = session.catalogue.folderList.First(); n;
       n = CatalogueList<CatalogueNode>::Next(n))
    now += std::u16string_view(n->name) == u"Now";
  EXPECT_EQ(kept, 1u) << "two copies of one record, and its index entry, count once";
  EXPECT_EQ(now, 1u);

  // Progress by sectors swept.
  bool swept = false;
  for (const auto& t : view.StatusTexts())
    swept |= t.find(u"sectors swept") != std::u16string::npos;
  EXPECT_TRUE(swept);
}

TEST_F(RecordSweepTest, IndexEntriesWithoutRecordsAreListedAndMarked) {
  auto e = Run();
  ASSERT_TRUE(e.count(u"ghost.bin"));
  const Entry& ghost = e[u"ghost.bin"];
  EXPECT_EQ(ghost.spare, kIndexEntryMark);
  EXPECT_EQ(ghost.size, u"123456");
  EXPECT_EQ(ghost.parent, e[u"Old"].id);
  EXPECT_EQ(ghost.sector, ToText(image.ClusterSector(50)));
  EXPECT_NE(e[u"kept.txt"].spare, kIndexEntryMark);
}

TEST_F(RecordSweepTest, FoundRecordsAreExtractedFromWhereTheyLie) {
  Run();
  EXPECT_EQ(Extracted(u"kept.txt"), "kept bytes");
}

TEST_F(RecordSweepTest, EveryNameAndNamedStreamOfAFoundRecordIsAnEntry) {
  auto e = Run();
  ASSERT_TRUE(e.count(u"tagged.txt:tag"));
  const Entry& stream = e[u"tagged.txt:tag"];
  EXPECT_EQ(stream.parent, e[u"Old"].id);
  EXPECT_EQ(stream.size, u"12");
  EXPECT_TRUE(stream.deleted);
  EXPECT_EQ(stream.sector, e[u"tagged.txt"].sector);
  EXPECT_EQ(e[u"tagged.txt"].size, u"10");
  ASSERT_TRUE(e.count(u"linked.txt")) << "every name of a found record is an entry";
  EXPECT_EQ(e[u"linked.txt"].parent, u"5");
  EXPECT_EQ(e[u"linked.txt"].size, u"10");
  EXPECT_EQ(e[u"linked.txt:tag"].parent, u"5");
  // Each entry extracts its own stream.
  EXPECT_EQ(Extracted(u"tagged.txt"), "main bytes");
  EXPECT_EQ(Extracted(u"tagged.txt:tag"), "stream bytes");
  EXPECT_EQ(Extracted(u"linked.txt:tag"), "stream bytes");
}

TEST_F(RecordSweepTest, APartitionClaimingMoreThanTheDeviceIsSweptToTheDevicesEnd) {
  const std::uint64_t device = DeviceSectorCount(path);
  ASSERT_GT(device, session.scanParams.clusterBase);
  session.selectedPartitionEnd = device + 200000;  // an entry that reaches beyond the disk
  auto e = Run();
  EXPECT_TRUE(e.count(u"Old")) << "what lies on the device is still found";
  const std::u16string total = ToText(device - session.scanParams.clusterBase);
  EXPECT_EQ(view.StatusTexts().back(),
            u"100 % Completed (" + total + u" of " + total + u" sectors swept)");
}

TEST_F(RecordSweepTest, AStopKeepsWhatTheWalkFound) {
  BuildNtfsCatalogue(session, view);
  const std::size_t before = session.catalogue.fileList.count + session.catalogue.folderList.count;
  session.stopRequested.store(1);
  SweepNtfsVolume(session, view, NtfsSweepOptions{64});
  EXPECT_EQ(session.catalogue.fileList.count + session.catalogue.folderList.count, before);
  EXPECT_EQ(session.stopRequested.load(), 0);
  EXPECT_EQ(view.StatusTexts().back(), u"Process Aborted...");
}

TEST_F(RecordSweepTest, BatchSizeDoesNotChangeTheResult) {
  auto small = Run();
  RecoverySession other;
  image.Configure(other, path, MftSector(0));
  other.mftExtents = session.mftExtents;
  other.scanParams.sectorsPerIndexRecord = 8;
  RecordingView v2;
  BuildNtfsCatalogue(other, v2);
  SweepNtfsVolume(other, v2, NtfsSweepOptions{0});
  std::size_t n = 0;
  for (const CatalogueNode* c = other.catalogue.fileList.First(); c;
       c = CatalogueList<CatalogueNode>::Next(c), ++n)
    EXPECT_TRUE(small.count(c->name)) << ToUtf8(c->name);
  std::size_t files = 0;
  for (const auto& [name, entry] : small) files += !entry.folder;
  EXPECT_EQ(n, files);
}

}  // namespace
}  // namespace brevant

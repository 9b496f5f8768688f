// The exFAT engine on the exfat_mbr fixture (mkfs.exfat + exfat-fuse) and on copies of it with
// crafted damage: boot regions, entry sets, FAT chains, counts and lengths that do not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "core/catalogue.h"
#include "core/output_file.h"
#include "core/recovery_session.h"
#include "core/sha256.h"
#include "core/text.h"
#include "disk/exfat_boot.h"
#include "exfat/exfat_engine.h"
#include "exfat/exfat_volume.h"
#include "test_support.h"

namespace brevant {
namespace {

constexpr std::uint64_t kStart = 2048;  // the partition's first sector in exfat_mbr
constexpr std::uint64_t kEnd = 26624;
constexpr std::size_t kBase = kStart * 512;

class StringSink : public ByteSink {
 public:
  // No file of the fixture is larger: more means the extraction went astray.
  bool Write(const void* data, std::size_t length) override {
    if (bytes.size() + length > (1u << 20)) return false;
    bytes.append(static_cast<const char*>(data), length);
    return true;
  }
  std::string bytes;
};

// Read once: every test damages a copy of its own.
std::string Fixture() {
  static const std::string bytes = [] {
    const auto path = test::FixtureImage("exfat_mbr");
    return path.empty() ? std::string() : test::ReadFileBytes(path);
  }();
  return bytes;
}

// Where the entry set of the file named `name` (its first 15 characters) starts in `image`.
std::size_t SetOffset(const std::string& image, const std::u16string& name) {
  std::string needle;
  for (std::size_t i = 0; i < name.size() && i < 15; ++i) {
    needle += static_cast<char>(name[i] & 0xFF);
    needle += static_cast<char>(name[i] >> 8);
  }
  for (std::size_t at = image.find(needle); at != std::string::npos;
       at = image.find(needle, at + 1))
    if ((at - 2) % 32 == 0 && (image[at - 2] & 0x7F) == 0x41) return at - 2 - 64;
  return std::string::npos;
}

void FixSetChecksum(std::string& image, std::size_t set) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(image.data() + set);
  const std::size_t entries = static_cast<std::uint8_t>(image[set + 1]) + 1;
  const bool deleted = (image[set] & 0x80) == 0;
  // A crafted count may claim more entries than the bytes hold: sum only what is there.
  const std::size_t bytes = std::min(entries * 32, image.size() - set);
  test::Put16(image, set + 2, exfat::EntrySetChecksum({b, bytes}, entries, deleted));
}

void FixBootChecksum(std::string& image, std::size_t region) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(image.data() + region);
  const std::uint32_t sum = disk::ExfatBootChecksum({b, 11 * 512}, 512);
  for (std::size_t i = 0; i < 512; i += 4) test::Put32(image, region + 11 * 512 + i, sum);
}

struct Scan {
  RecoverySession session;
  RecordingView view;
  std::map<std::string, const CatalogueNode*> byName;
  int geometry = 0;

  explicit Scan(std::string image, bool extensive = false) {
    session.devicePath = {test::InstallMemoryDisk(std::move(image))};
    session.EnsureDisk(0);
    session.selectedPartitionStart = kStart;
    session.selectedPartitionEnd = kEnd;
    session.selectedFsName = session.scanFsName = "exFAT";
    geometry = FindExfatGeometry(session, view);
    if (geometry == 0) return;
    static_cast<PartitionParameters&>(session.scanParams) = session.partParams;
    session.scanParams.fsName = "exFAT";
    ExfatReadOptions options;
    options.extensive = extensive;
    ScanExfatVolume(session, view, options);
    for (auto* list : {&session.catalogue.folderList, &session.catalogue.fileList})
      for (const CatalogueNode* n = list->First(); n; n = CatalogueList<CatalogueNode>::Next(n))
        byName[ToUtf8(n->name)] = n;
  }
  const CatalogueNode* Find(const std::string& name) const {
    auto it = byName.find(name);
    return it == byName.end() ? nullptr : it->second;
  }
  ExtractResult Extract(const std::string& name, std::string* bytes) {
    StringSink sink;
    const CatalogueNode* n = Find(name);
    if (!n) return {};
    ExtractResult r = ExtractExfatFileTo(session, sink, *n);
    *bytes = sink.bytes;
    return r;
  }
};

#define NEED_FIXTURE(image)                                           \
  if ((image).empty()) GTEST_SKIP() << "fixture exfat_mbr not made yet"

TEST(ExfatBootRegion, MainRegionFailingItsChecksumFallsBackToTheBackup) {
  const std::string image = Fixture();
  NEED_FIXTURE(image);
  struct Case {
    const char* what;
    std::size_t offset;  // from the partition's start; every case changes one byte
    bool backupUsed;
    bool found;
  };
  const Case cases[] = {
      {"untouched", 0, false, true},
      {"serial number in the main boot sector", 100, true, true},
      {"main checksum sector", 11 * 512 + 8, true, true},
      {"main extended boot sector", 3 * 512 + 40, true, true},
      // VolumeFlags and PercentInUse change while the volume is used: not summed.
      {"volume flags (dirty bit)", 106, false, true},
      {"percent in use", 112, false, true},
      {"serial number in the backup only", 12 * 512 + 100, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = image;
    if (c.offset != 0) damaged[kBase + c.offset] ^= (c.offset == 106 ? 0x02 : 0x5A);
    Scan scan(damaged);
    ASSERT_EQ(scan.geometry, c.found ? 1 : 0);
    auto boot = disk::ReadExfatBoot(scan.session.devicePath[0], kStart, kEnd);
    ASSERT_TRUE(boot.has_value());
    EXPECT_EQ(boot->fromBackup, c.backupUsed);
    EXPECT_EQ(boot->ClusterBytes(), 4096u);
    // The same volume is read either way.
    EXPECT_NE(scan.Find("letter.txt"), nullptr);
    EXPECT_NE(scan.Find("fragmented.bin"), nullptr);
  }
}

TEST(ExfatBootRegion, BothRegionsBadIsAClearFailure) {
  const std::string image = Fixture();
  NEED_FIXTURE(image);
  struct Case {
    const char* what;
    std::size_t main, backup;
  };
  const Case cases[] = {
      {"both checksums", 11 * 512, 23 * 512},
      {"both boot sectors' serial numbers", 100, 12 * 512 + 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = image;
    damaged[kBase + c.main] ^= 0x11;
    damaged[kBase + c.backup] ^= 0x11;
    Scan scan(damaged);
    EXPECT_EQ(scan.geometry, 0);
    EXPECT_NE(scan.session.failureReason.find("neither the main exFAT boot region nor its backup"),
              std::string::npos)
        << scan.session.failureReason;
  }
}

TEST(ExfatBootRegion, FieldsOutOfRangeAreRefusedEvenWithAGoodChecksum) {
  const std::string image = Fixture();
  NEED_FIXTURE(image);
  struct Case {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
  };
  const Case cases[] = {
      {"bytes per sector shift 13", 108, 13},
      {"bytes per sector shift 8", 108, 8},
      {"clusters over 32 MiB", 109, 17},  // 512-byte sectors: shift 9 + 17 = 26
      {"three FATs", 110, 3},
      {"a byte of the old parameter block", 20, 1},
      {"root directory cluster 1", 96, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = image;
    // Damaged and summed again in the main region only: the backup is still sound.
    damaged[kBase + c.offset] = static_cast<char>(c.value);
    if (c.offset == 96) damaged.replace(kBase + 97, 3, 3, '\0');
    FixBootChecksum(damaged, kBase);
    const auto* b = reinterpret_cast<const std::uint8_t*>(damaged.data() + kBase);
    EXPECT_FALSE(disk::ParseExfatBootRegion({b, 12 * 512}).has_value());
    Scan scan(damaged);
    ASSERT_EQ(scan.geometry, 1);
    EXPECT_NE(scan.Find("letter.txt"), nullptr);
  }
}

// ---- entry sets

// A File entry set for `name` (in use), its checksum right.
std::string MakeSet(const std::u16string& name, std::uint64_t size, std::uint32_t first,
                    std::uint8_t flags = 3) {
  const std::size_t names = (name.size() + 14) / 15;
  std::string b((2 + names) * 32, '\0');
  b[0] = static_cast<char>(0x85);
  b[1] = static_cast<char>(1 + names);
  test::Put16(b, 4, 0x20);
  test::Put32(b, 12, 0x5A8F6C21);
  b[32] = static_cast<char>(0xC0);
  b[33] = static_cast<char>(flags);
  b[35] = static_cast<char>(name.size());
  test::Put64(b, 40, size);
  test::Put32(b, 52, first);
  test::Put64(b, 56, size);
  for (std::size_t k = 0; k < names; ++k) {
    b[(2 + k) * 32] = static_cast<char>(0xC1);
    for (std::size_t u = 0; u < 15 && k * 15 + u < name.size(); ++u)
      test::Put16(b, (2 + k) * 32 + 2 + 2 * u, name[k * 15 + u]);
  }
  FixSetChecksum(b, 0);
  return b;
}

exfat::SetParse Parse(const std::string& b, exfat::EntrySet* out = nullptr) {
  exfat::EntrySet set;
  auto r = exfat::ParseEntrySet({reinterpret_cast<const std::uint8_t*>(b.data()), b.size()}, set);
  if (out) *out = set;
  return r;
}

TEST(ExfatEntrySet, WhatMakesASet) {
  const std::u16string longName(255, u'n');
  struct Case {
    const char* what;
    std::function<std::string()> bytes;
    exfat::SetParse expect;
  };
  const Case cases[] = {
      {"a sound set", [] { return MakeSet(u"notes.txt", 100, 5); }, exfat::SetParse::Ok},
      {"a 255-unit name in 17 name entries", [&] { return MakeSet(longName, 1, 5); },
       exfat::SetParse::Ok},
      {"a byte of the name changed",
       [] {
         auto b = MakeSet(u"notes.txt", 100, 5);
         b[70] ^= 1;
         return b;
       },
       exfat::SetParse::Bad},
      {"deleted: every InUse bit cleared, summed as written",
       [] {
         auto b = MakeSet(u"notes.txt", 100, 5);
         for (std::size_t e = 0; e < b.size(); e += 32) b[e] &= 0x7F;
         return b;
       },
       exfat::SetParse::Ok},
      {"one secondary taken again by a live set",
       [] {
         auto b = MakeSet(u"notes.txt", 100, 5);
         b[0] &= 0x7F;
         b[32] &= 0x7F;
         FixSetChecksum(b, 0);
         return b;
       },
       exfat::SetParse::Bad},
      {"secondary count beyond the bytes given",
       [] {
         auto b = MakeSet(u"notes.txt", 100, 5);
         b[1] = static_cast<char>(0xFF);
         FixSetChecksum(b, 0);
         return b;
       },
       exfat::SetParse::Bad},
      {"name length 0",
       [] {
         auto b = MakeSet(u"notes.txt", 100, 5);
         b[35] = 0;
         FixSetChecksum(b, 0);
         return b;
       },
       exfat::SetParse::Bad},
      {"name longer than its name entries hold",
       [] {
         auto b = MakeSet(u"notes.txt", 100, 5);
         b[35] = 16;
         FixSetChecksum(b, 0);
         return b;
       },
       exfat::SetParse::Bad},
      {"no stream extension after the File entry",
       [] {
         auto b = MakeSet(u"notes.txt", 100, 5);
         b[32] = static_cast<char>(0xC1);
         FixSetChecksum(b, 0);
         return b;
       },
       exfat::SetParse::Bad},
      {"cut short", [] { return MakeSet(u"notes.txt", 100, 5).substr(0, 64); },
       exfat::SetParse::Bad},
      {"a volume label entry", [] { return std::string("\x83\x03", 2) + std::string(30, '\0'); },
       exfat::SetParse::NotASet},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Parse(c.bytes()), c.expect);
  }
  exfat::EntrySet set;
  ASSERT_EQ(Parse(MakeSet(longName, 1, 5), &set), exfat::SetParse::Ok);
  EXPECT_EQ(set.name, longName);
}

TEST(ExfatEntrySet, ValidDataLengthNeverExceedsTheSize) {
  auto b = MakeSet(u"a.bin", 1000, 5);
  test::Put64(b, 40, 5000);
  FixSetChecksum(b, 0);
  exfat::EntrySet set;
  ASSERT_EQ(Parse(b, &set), exfat::SetParse::Ok);
  EXPECT_EQ(set.validDataLength, 1000u);
}

TEST(ExfatEntrySet, TimesKeepTheTenMillisecondIncrement) {
  // 2024-05-01 13:45:10 as DOS date and time, with 0, 99, 100 and 199 hundredths after it.
  const std::uint32_t stamp = (std::uint32_t{(2024 - 1980) << 9 | 5 << 5 | 1} << 16) |
                              (13 << 11 | 45 << 5 | 5);
  const std::int64_t base = 1714571110;
  struct Case {
    std::uint8_t increment;
    std::int64_t unix;
  };
  for (const Case& c : {Case{0, base}, Case{99, base}, Case{100, base + 1}, Case{199, base + 1}}) {
    exfat::EntrySet set;
    set.modified = stamp;
    set.modified10ms = c.increment;
    Catalogue catalogue;
    const CatalogueNode* n = catalogue.AppendFile(u"x", u"0", u"5", u"0", exfat::DateText(set),
                                                  exfat::TimeText(set), u"1", u"32", u"1", u"FILE",
                                                  u"NULL", 1);
    EXPECT_EQ(ExfatEntryModifiedTime(*n), c.unix) << int(c.increment);
  }
}

// ---- the fixture, whole and damaged

TEST(ExfatScan, ReadsTheFixtureLikeItsManifest) {
  const std::string image = Fixture();
  NEED_FIXTURE(image);
  Scan scan(image);
  ASSERT_EQ(scan.geometry, 1);
  struct Case {
    const char* name;
    bool deleted;
  };
  for (const Case& c : {Case{"letter.txt", false}, Case{"Лето на даче.jpg", false},
                        Case{"fragmented.bin", false}, Case{"to delete.txt", true},
                        Case{"deep.bin", true}, Case{"Inner", true}, Case{"empty.txt", false}}) {
    SCOPED_TRACE(c.name);
    const CatalogueNode* n = scan.Find(c.name);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->IsDeleted(), c.deleted);
  }
  // The bitmap, the up-case table and the label are the volume's own: never listed.
  EXPECT_EQ(scan.session.catalogue.fileList.count.load() + scan.session.catalogue.folderList.count.load(),
            22u + 9u);
}

TEST(ExfatScan, AnEntrySetWithABadChecksumIsLeftOut) {
  std::string image = Fixture();
  NEED_FIXTURE(image);
  const std::size_t set = SetOffset(image, u"letter.txt");
  ASSERT_NE(set, std::string::npos);
  image[set + 64 + 2] ^= 0x20;  // "Letter.txt": the checksum no longer holds
  Scan scan(image);
  EXPECT_EQ(scan.Find("letter.txt"), nullptr);
  EXPECT_EQ(scan.Find("Letter.txt"), nullptr);
  EXPECT_NE(scan.Find("plan.txt"), nullptr);  // the rest of the folder is still read
}

TEST(ExfatScan, ALoopingFatChainEndsTheFileThereAndNeverHangs) {
  std::string image = Fixture();
  NEED_FIXTURE(image);
  Scan whole(image);
  const CatalogueNode* frag = whole.Find("fragmented.bin");
  ASSERT_NE(frag, nullptr);
  ASSERT_EQ(exfat::ParseSpareText(frag->spareText).noFatChain, false);
  const auto first = static_cast<std::uint32_t>(TextToInt(frag->id));
  // Its first cluster's FAT entry now points back at itself.
  const std::size_t fat = kBase + whole.session.partParams.fat1Start * 512 - kStart * 512;
  test::Put32(image, fat + first * 4, first);
  Scan scan(image);
  std::string bytes;
  ExtractResult r = scan.Extract("fragmented.bin", &bytes);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("links back to cluster " + std::to_string(first)), std::string::npos)
      << r.error;
  EXPECT_EQ(bytes.size(), 4096u);  // the cluster before the break
  // The root directory's chain looping on itself ends the directory, not the scan.
  std::string rootLoop = Fixture();
  const std::uint32_t root = static_cast<std::uint32_t>(whole.session.partParams.rootDirStart);
  test::Put32(rootLoop, fat + root * 4, root);
  Scan looped(rootLoop);
  EXPECT_NE(looped.Find("Docs"), nullptr);
}

TEST(ExfatScan, CountsAndLengthsBeyondTheVolumeAreRefused) {
  const std::string image = Fixture();
  NEED_FIXTURE(image);
  const std::size_t set = SetOffset(image, u"contiguous.bin");
  ASSERT_NE(set, std::string::npos);
  struct Case {
    const char* what;
    std::size_t offset;  // in the stream extension
    std::uint64_t value;
    int width;
    const char* error;
    bool validToo = false;  // the valid data length is set to the same value
  };
  const Case cases[] = {
      {"first cluster past the last", 20, 0x00FFFFFF, 4, "lies outside the volume"},
      {"size larger than the volume", 24, 1ULL << 40, 8, "larger than the volume", true},
      // Only zeros past the valid length: still no file of this volume.
      {"size larger than the volume, valid length short", 24, 1ULL << 40, 8,
       "larger than the volume"},
      {"contiguous run past the volume's end", 20, 2560, 4, "past the end of the volume"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = image;
    if (c.width == 4)
      test::Put32(damaged, set + 32 + c.offset, static_cast<std::uint32_t>(c.value));
    else
      test::Put64(damaged, set + 32 + c.offset, c.value);
    if (c.validToo) test::Put64(damaged, set + 32 + 8, c.value);
    FixSetChecksum(damaged, set);
    Scan scan(damaged);
    std::string bytes;
    ExtractResult r = scan.Extract("contiguous.bin", &bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(c.error), std::string::npos) << r.error;
    EXPECT_TRUE(bytes.empty());
  }
  // A secondary count that runs past the directory's last cluster: the set is not read.
  std::string damaged = image;
  damaged[set + 1] = static_cast<char>(0xFF);
  FixSetChecksum(damaged, set);
  Scan scan(damaged);
  EXPECT_EQ(scan.Find("contiguous.bin"), nullptr);
}

TEST(ExfatExtract, BytesPastTheValidDataLengthAreZeros) {
  std::string image = Fixture();
  NEED_FIXTURE(image);
  Scan whole(image);
  std::string original;
  ASSERT_TRUE(whole.Extract("contiguous.bin", &original).ok);
  ASSERT_EQ(original.size(), 27000u);
  const std::size_t set = SetOffset(image, u"contiguous.bin");
  test::Put64(image, set + 32 + 8, 5000);
  FixSetChecksum(image, set);
  Scan scan(image);
  std::string bytes;
  ASSERT_TRUE(scan.Extract("contiguous.bin", &bytes).ok);
  ASSERT_EQ(bytes.size(), 27000u);
  EXPECT_EQ(bytes.substr(0, 5000), original.substr(0, 5000));
  EXPECT_EQ(bytes.substr(5000), std::string(22000, '\0'));
}

TEST(ExfatExtract, ADeletedFileThroughItsChainWhereTheChainAgrees) {
  std::string image = Fixture();
  NEED_FIXTURE(image);
  Scan whole(image);
  std::string live;
  ASSERT_TRUE(whole.Extract("fragmented.bin", &live).ok);
  // Deleted as a driver that clears only the bitmap and the InUse bits: the chain stays.
  const std::size_t set = SetOffset(image, u"fragmented.bin");
  for (std::size_t e = 0; e < 4 * 32; e += 32) image[set + e] &= 0x7F;
  FixSetChecksum(image, set);
  Scan scan(image);
  const CatalogueNode* n = scan.Find("fragmented.bin");
  ASSERT_NE(n, nullptr);
  EXPECT_TRUE(n->IsDeleted());
  EXPECT_FALSE(exfat::ParseSpareText(n->spareText).chainGone);
  std::string bytes;
  ASSERT_TRUE(scan.Extract("fragmented.bin", &bytes).ok);
  EXPECT_EQ(bytes, live);
}

}  // namespace
}  // namespace brevant

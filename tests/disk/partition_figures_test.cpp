// Size and free space of a partition: the free entries of the FATs, which copy is believed
// when they disagree, and what the FSInfo hint is worth.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "disk/disks.h"
#include "test_support.h"

namespace brevant {
namespace {

using test::Put16;
using test::Put32;

constexpr std::size_t kSector = 512;
constexpr std::uint32_t kReserved = 8, kClusters = 100, kTotal = kReserved + 2 + kClusters;

struct FatCopy {
  int used = 0;           // entries 2 .. used + 1 hold an end-of-chain mark, the rest are free
  bool mediaByte = true;  // false: the copy does not start with the media byte
};

// A FAT32 volume of one-sector clusters and one-sector FATs, at the start of a memory disk.
std::string Fat32Volume(FatCopy fat1, FatCopy fat2, std::optional<std::uint32_t> hint) {
  std::string d(kTotal * kSector, '\0');
  Put16(d, 11, 512);
  d[13] = 1;  // sectors per cluster
  Put16(d, 14, kReserved);
  d[16] = 2;
  d[21] = static_cast<char>(0xF8);
  Put32(d, 32, kTotal);
  Put32(d, 36, 1);  // sectors per FAT
  Put32(d, 44, 2);
  Put16(d, 48, 1);  // FSInfo sector
  d.replace(82, 5, "FAT32");
  d[510] = 0x55;
  d[511] = static_cast<char>(0xAA);
  if (hint) {
    Put32(d, kSector + 0, 0x41615252);
    Put32(d, kSector + 484, 0x61417272);
    Put32(d, kSector + 488, *hint);
    Put32(d, kSector + 508, 0xAA550000);
  }
  std::size_t at = kReserved * kSector;
  for (const FatCopy& f : {fat1, fat2}) {
    Put32(d, at, f.mediaByte ? 0x0FFFFFF8 : 0x0FFFFF00);
    Put32(d, at + 4, 0x0FFFFFFF);
    for (int c = 2; c < f.used + 2; ++c) Put32(d, at + 4 * static_cast<std::size_t>(c), 0x0FFFFFFF);
    at += kSector;
  }
  return d;
}

TEST(PartitionFigures, FatFreeSpaceFromTheFatsWithTheHintAsTieBreaker) {
  struct Case {
    const char* what;
    FatCopy fat1, fat2;
    std::optional<std::uint32_t> hint;
    std::optional<std::uint64_t> freeClusters;
  };
  const Case cases[] = {
      {"copies agree", {10}, {10}, 90, 90},
      {"copies agree, the hint is stale", {10}, {10}, 55, 90},
      {"no hint", {10}, {10}, std::nullopt, 90},
      {"a hint of 'unknown'", {10}, {10}, 0xFFFFFFFF, 90},
      {"FAT #1 damaged: FAT #2", {10, false}, {30}, std::nullopt, 70},
      {"copies disagree, the hint names FAT #2", {10}, {30}, 70, 70},
      {"copies disagree, the hint names neither: FAT #1", {10}, {30}, 5, 90},
      {"both copies damaged: the hint", {10, false}, {30, false}, 42, 42},
      {"both copies damaged, a hint past the volume", {10, false}, {30, false}, 1000, std::nullopt},
      {"both copies damaged, no hint", {10, false}, {30, false}, std::nullopt, std::nullopt},
      {"volume full", {100}, {100}, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = test::InstallMemoryDisk(Fat32Volume(c.fat1, c.fat2, c.hint));
    const PartitionFigures f = ReadPartitionFigures(path, 0, kTotal, "FAT32");
    EXPECT_EQ(f.sizeBytes, kTotal * kSector);
    if (c.freeClusters) {
      ASSERT_TRUE(f.freeBytes.has_value());
      EXPECT_EQ(*f.freeBytes, *c.freeClusters * kSector);
    } else {
      EXPECT_FALSE(f.freeBytes.has_value());
    }
  }
}

// A FAT12 floppy-like volume: one reserved sector, two FATs of two sectors, a one-sector root
// directory and 600 one-sector clusters; entries are twelve bits, two in three bytes (entry
// 341 straddles the FAT's two sectors). `used` entries hold an end-of-chain mark.
std::string Fat12Volume(const std::vector<std::uint32_t>& used, bool firstCopyMedia = true) {
  constexpr std::uint32_t kClusters12 = 600, kTotal12 = 1 + 4 + 1 + kClusters12;
  std::string d(kTotal12 * kSector, '\0');
  Put16(d, 11, 512);
  d[13] = 1;
  Put16(d, 14, 1);
  d[16] = 2;
  Put16(d, 17, 16);
  Put16(d, 19, kTotal12);
  d[21] = static_cast<char>(0xF0);
  Put16(d, 22, 2);
  d.replace(54, 8, "FAT12   ");
  d[510] = 0x55;
  d[511] = static_cast<char>(0xAA);
  for (std::size_t copy = 0; copy < 2; ++copy) {
    const std::size_t fat = (1 + 2 * copy) * kSector;
    auto set = [&](std::uint32_t c, std::uint16_t v) {
      auto* p = reinterpret_cast<unsigned char*>(d.data() + fat + c + c / 2);
      if (c % 2 == 0) {
        p[0] = static_cast<unsigned char>(v);
        p[1] = static_cast<unsigned char>((p[1] & 0xF0) | (v >> 8));
      } else {
        p[0] = static_cast<unsigned char>((p[0] & 0x0F) | ((v & 0x0F) << 4));
        p[1] = static_cast<unsigned char>(v >> 4);
      }
    };
    set(0, copy == 0 && !firstCopyMedia ? 0xF00 : 0xFF0);
    set(1, 0xFFF);
    for (std::uint32_t c : used) set(c, 0xFFF);
  }
  return d;
}

TEST(PartitionFigures, Fat12FreeSpaceCountsTwelveBitEntries) {
  std::vector<std::uint32_t> all;
  for (std::uint32_t c = 2; c < 602; ++c) all.push_back(c);
  struct Case {
    const char* what;
    std::vector<std::uint32_t> used;
    bool firstCopyMedia;
    std::uint64_t freeClusters;
  };
  const Case cases[] = {
      {"ten clusters from 2", {2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, true, 590},
      {"an odd entry only (its value in the upper twelve bits)", {3}, true, 599},
      {"the entry straddling the FAT's sectors", {341}, true, 599},
      {"the last cluster", {601}, true, 599},
      {"FAT #1 without the media byte: FAT #2", {2, 3, 4}, false, 597},
      {"volume full", all, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = test::InstallMemoryDisk(Fat12Volume(c.used, c.firstCopyMedia));
    const PartitionFigures f = ReadPartitionFigures(path, 0, 606, "FAT12");
    ASSERT_TRUE(f.freeBytes.has_value());
    EXPECT_EQ(*f.freeBytes, c.freeClusters * kSector);
  }
}

TEST(PartitionFigures, WhatCannotBeReadHasNoFreeSpace) {
  const std::string volume = Fat32Volume({10}, {10}, 90);
  std::string noBoot = volume;
  noBoot[510] = 0;  // and no backup at sector 6
  std::string badFat = volume;
  Put32(badFat, 36, 0);  // no FAT size
  std::string zeros(64 * kSector, '\0');
  struct Case {
    const char* what;
    std::string bytes;
    const char* fs;
    std::uint64_t end;
  };
  const Case cases[] = {
      {"no boot sector", noBoot, "FAT32", kTotal},
      {"FAT size 0", badFat, "FAT32", kTotal},
      {"an empty NTFS partition", zeros, "NTFS", 64},
      {"an empty FAT16 partition", zeros, "FAT16", 64},
      {"a file system nobody reads", volume, "ext4", kTotal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = test::InstallMemoryDisk(c.bytes);
    const PartitionFigures f = ReadPartitionFigures(path, 0, c.end, c.fs);
    EXPECT_EQ(f.sizeBytes, c.end * kSector);
    EXPECT_FALSE(f.freeBytes.has_value());
  }
  // An empty or reversed range has no size either.
  EXPECT_EQ(ReadPartitionFigures(test::InstallMemoryDisk(volume), 50, 50, "FAT32").sizeBytes, 0u);
}

TEST(PartitionFigures, TheParameterWorkerStoresAndReportsThem) {
  const std::string path = test::InstallMemoryDisk(Fat32Volume({10}, {10}, 90));
  RecoverySession s;
  s.EnsureDisk(0);
  s.devicePath[0] = path;
  s.selectedPartitionStart = 0;
  s.selectedPartitionEnd = kTotal;
  s.selectedFsName = "FAT32";
  std::optional<PartitionFigures> reported;
  StartParamWorker(s, [&](const PartitionFigures& f) { reported = f; }).join();
  ASSERT_TRUE(reported.has_value());
  EXPECT_EQ(reported->freeBytes, std::optional<std::uint64_t>(90 * kSector));
  EXPECT_EQ(s.SelectedFigures().freeBytes, reported->freeBytes);
  EXPECT_EQ(s.SelectedFigures().sizeBytes, kTotal * kSector);
}

}  // namespace
}  // namespace brevant

// Disk enumeration: tree nodes, DiskInfoNode texts, images after disks, unopenable disks, and
// the sysfs source.
#include <gtest/gtest.h>

#include <fstream>

#include "core/text.h"
#include "crafted_disk.h"
#include "disk/disks.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;
using test::CraftedDisk;

class FakeSource : public platform::DiskSource {
 public:
  explicit FakeSource(std::vector<platform::DiskFacts> disks) : disks_(std::move(disks)) {}
  std::vector<platform::DiskFacts> Disks() override { return disks_; }

 private:
  std::vector<platform::DiskFacts> disks_;
};

platform::DiskFacts Facts(const std::string& label, const std::string& path,
                          std::uint64_t capacity) {
  platform::DiskFacts f;
  f.label = label;
  f.deviceName = path;
  f.model = "Model " + label;
  f.capacityBytes = capacity;
  f.cylinders = 7;
  f.heads = 16;
  f.sectorsPerTrack = 63;
  return f;
}

// A disk with one NTFS primary at 100 and one FAT32 logical in an extended chain.
CraftedDisk TwoPartitionDisk() {
  CraftedDisk d(4096);
  d.Entry(0, 0, 0x07, 100, 100);
  d.Entry(0, 1, 0x0F, 1000, 1000);
  d.Signature(0);
  d.Entry(1000, 0, 0x0C, 63, 200);
  d.Signature(1000);
  return d;
}

std::string WriteImage(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
  return path.string();
}

std::vector<std::u16string> ChildTexts(const ui::TreeItem* item) {
  std::vector<std::u16string> out;
  for (const auto& c : item->children) out.push_back(c->text);
  return out;
}

TEST(EnumerateDisks, PhysicalDisksThenImagesWithTheirPartitions) {
  CraftedDisk a = TwoPartitionDisk();
  CraftedDisk b(4096);
  b.Fat16(0);  // a whole-disk volume
  std::string image =
      WriteImage(test::TempDir() / "enum" / "usb stick.img", TwoPartitionDisk().bytes);
  FakeSource source({Facts("sda", a.Install(), 4096 * 512), Facts("sdb", b.Install(), 4096 * 512)});

  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, &source, {image});

  ASSERT_EQ(tree.Root()->children.size(), 1u);
  const ui::TreeItem* top = tree.Root()->children[0].get();
  EXPECT_EQ(top->text, u"My Computer");
  EXPECT_EQ(ChildTexts(top), (std::vector<std::u16string>{u"sda", u"sdb", u"usb stick.img"}));
  EXPECT_EQ(ChildTexts(top->children[0].get()),
            (std::vector<std::u16string>{u"Partition - 1 ( NTFS )", u"Partition - 2 ( FAT32 )"}));
  EXPECT_EQ(ChildTexts(top->children[1].get()),
            (std::vector<std::u16string>{u"Partition - 1 ( FAT16 )"}));
  EXPECT_EQ(ChildTexts(top->children[2].get()), ChildTexts(top->children[0].get()));

  ASSERT_EQ(s.diskInfoList.size(), 3u);
  ASSERT_EQ(s.devicePath.size(), 3u);
  EXPECT_EQ(s.devicePath[2], image);
  for (int d = 0; d < 3; ++d) {
    const DiskInfoNode& n = s.diskInfoList[static_cast<std::size_t>(d)];
    EXPECT_EQ(n.diskIndex, d);
    EXPECT_EQ(n.treeItem, top->children[static_cast<std::size_t>(d)].get());
    EXPECT_EQ(n.label, top->children[static_cast<std::size_t>(d)]->text);
    EXPECT_TRUE(n.openError.empty());
    EXPECT_EQ(s.driveRecords[static_cast<std::size_t>(d)].diskIndex, d);
  }
  const DiskInfoNode& sda = s.diskInfoList[0];
  EXPECT_EQ(sda.model, u"Model sda");
  EXPECT_EQ(sda.size, u"2097152");
  EXPECT_EQ(sda.cylinders, u"7");
  EXPECT_EQ(sda.heads, u"16");
  EXPECT_EQ(sda.sectorsPerTrack, u"63");
  const DiskInfoNode& img = s.diskInfoList[2];
  EXPECT_EQ(img.model, u"Disk Image");
  EXPECT_EQ(img.size, u"2097152");
  EXPECT_EQ(img.heads, u"255");
  EXPECT_EQ(img.sectorsPerTrack, u"63");
  EXPECT_EQ(img.cylinders, u"0");  // 2 MiB is less than one 255 x 63 cylinder
  EXPECT_EQ(s.driveRecords[2].partitions[1].startSector, 1063u);
  EXPECT_EQ(s.driveRecords[2].partitions[1].endSector, 1263u);
}

TEST(EnumerateDisks, UnopenableDiskIsListedWithItsFactsAndTheReason) {
  CraftedDisk a = TwoPartitionDisk();
  FakeSource source({Facts("sdx", "/nonexistent/dev/sdx", 1000204886016ull),
                     Facts("sdy", a.Install(), 4096 * 512)});
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, &source, {});
  ASSERT_EQ(s.diskInfoList.size(), 2u);
  const DiskInfoNode& bad = s.diskInfoList[0];
  EXPECT_EQ(bad.size, u"1000204886016");
  EXPECT_NE(bad.openError.find("/nonexistent/dev/sdx"), std::string::npos);
  EXPECT_TRUE(bad.treeItem->children.empty());
  EXPECT_EQ(s.driveRecords[0].partitionCount, 0);
  // The next disk still gets its own index and partitions.
  EXPECT_TRUE(s.diskInfoList[1].openError.empty());
  EXPECT_EQ(s.driveRecords[1].partitionCount, 2);
}

TEST(EnumerateDisks, DisksWithTheSameNameGetTheirOwnNodes) {
  CraftedDisk one(4096);
  one.Entry(0, 0, 0x07, 100, 100);
  one.Signature(0);
  CraftedDisk two(4096);
  two.Entry(0, 0, 0x0C, 200, 100);
  two.Signature(0);
  std::string first = WriteImage(test::TempDir() / "same1" / "disk.img", one.bytes);
  std::string second = WriteImage(test::TempDir() / "same2" / "disk.img", two.bytes);
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, nullptr, {first, second});
  const ui::TreeItem* top = tree.Root()->children[0].get();
  ASSERT_EQ(ChildTexts(top), (std::vector<std::u16string>{u"disk.img", u"disk.img (2)"}));
  EXPECT_EQ(ChildTexts(top->children[0].get()),
            (std::vector<std::u16string>{u"Partition - 1 ( NTFS )"}));
  EXPECT_EQ(ChildTexts(top->children[1].get()),
            (std::vector<std::u16string>{u"Partition - 1 ( FAT32 )"}));
  EXPECT_NE(s.driveRecords[0].partitions[0].treeItem, s.driveRecords[1].partitions[0].treeItem);
}

TEST(EnumerateDisks, BackslashInANameDoesNotSplitThePath) {
  CraftedDisk one(4096);
  std::string path = WriteImage(test::TempDir() / "slash" / "a\\b.img", one.bytes);
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, nullptr, {path});
  EXPECT_EQ(ChildTexts(tree.Root()->children[0].get()), (std::vector<std::u16string>{u"a_b.img"}));
}

TEST(EnumerateDisks, NoDisksLeavesTheTreeEmpty) {
  FakeSource none({});
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, &none, {});
  EXPECT_TRUE(tree.Root()->children.empty());
  EXPECT_TRUE(s.diskInfoList.empty());
}

TEST(EnumerateDisks, DiskWithoutATableStillHasItsNodeAndInfo) {
  CraftedDisk blank(64);
  FakeSource source({Facts("sdz", blank.Install(), 64 * 512)});
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, &source, {});
  ASSERT_EQ(s.diskInfoList.size(), 1u);
  EXPECT_TRUE(s.diskInfoList[0].openError.empty());
  EXPECT_TRUE(s.diskInfoList[0].treeItem->children.empty());
}

TEST(EnumerateDisks, EnumeratingAgainRebuildsTheTablesAndAddDiskContinues) {
  CraftedDisk a = TwoPartitionDisk();
  FakeSource source({Facts("sda", a.Install(), 4096 * 512)});
  RecoverySession s;
  ui::ResultTree tree;
  EnumerateDisks(s, tree, &source, {});
  EnumerateDisks(s, tree, &source, {});
  ASSERT_EQ(s.diskInfoList.size(), 1u);
  EXPECT_EQ(s.driveRecords.size(), 1u);
  EXPECT_EQ(s.driveRecords[0].partitionCount, 2);

  CraftedDisk b(4096);
  b.Ntfs(0, 4096, 8, 4, 8);
  std::string image = WriteImage(test::TempDir() / "later" / "late.img", b.bytes);
  EXPECT_EQ(AddDisk(s, tree, platform::ImageDiskFacts(1, image)), 1);
  EXPECT_EQ(s.driveRecords[1].partitionCount, 1);
  EXPECT_EQ(s.diskInfoList[1].label, u"late.img");
}

// ---- the sysfs source, on a made-up /sys/block

void Attr(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

TEST(SysfsDiskSource, ListsWholeDisksInKernelOrderWithTheirFacts) {
  fs::path root = test::TempDir() / "sys" / "block";
  fs::path dev = test::TempDir() / "sysdev";
  fs::create_directories(dev);
  Attr(root / "sdb" / "size", "2097152\n");
  Attr(root / "sdb" / "device" / "model", "Samsung SSD 860 \n");
  Attr(root / "sdaa" / "size", "100\n");
  Attr(root / "sdc1" / "size", "100\n");  // a partition name, never a disk
  Attr(root / "sdd" / "size", "0\n");     // an empty card reader
  Attr(root / "sde" / "size", "100\n");   // a hidden multipath member
  Attr(root / "sde" / "hidden", "1\n");
  Attr(root / "nvme10n1" / "size", "100\n");
  Attr(root / "nvme2n1" / "size", "100\n");
  Attr(root / "nvme2n1" / "device" / "model", "WDC PC SN730\n");
  Attr(root / "loop0" / "size", "8192\n");
  Attr(root / "loop0" / "loop" / "backing_file", "/srv/images/x.img\n");
  Attr(root / "loop1" / "size", "0\n");  // no backing file
  Attr(root / "vda" / "size", "16065\n");
  Attr(root / "mmcblk0" / "size", "100\n");
  Attr(root / "mmcblk0" / "device" / "name", "SD16G\n");
  for (const char* skipped : {"ram0", "zram0", "dm-0", "sr0", "md0"})
    Attr(root / skipped / "size", "100\n");

  auto disks = platform::MakeSysfsDiskSource(root.string(), dev.string())->Disks();
  std::vector<std::string> labels;
  for (const auto& d : disks) labels.push_back(d.label);
  EXPECT_EQ(labels, (std::vector<std::string>{"sdb", "sdaa", "vda", "nvme2n1", "nvme10n1",
                                              "mmcblk0", "loop0"}));
  for (std::size_t i = 0; i < disks.size(); ++i) {
    EXPECT_EQ(disks[i].index, static_cast<int>(i));
    EXPECT_EQ(disks[i].deviceName, (dev / disks[i].label).string());
    // No device node answers HDIO_GETGEO here: the conventional geometry is used.
    EXPECT_EQ(disks[i].heads, 255u);
    EXPECT_EQ(disks[i].sectorsPerTrack, 63u);
    EXPECT_EQ(disks[i].cylinders, disks[i].capacityBytes / (255 * 63 * 512));
  }
  EXPECT_EQ(disks[0].model, "Samsung SSD 860");
  EXPECT_EQ(disks[0].capacityBytes, 2097152ull * 512);
  EXPECT_EQ(disks[0].cylinders, 130u);
  EXPECT_EQ(disks[2].model, "Virtio Block Device");
  EXPECT_EQ(disks[2].cylinders, 1u);  // 16065 sectors is exactly one cylinder
  EXPECT_EQ(disks[3].model, "WDC PC SN730");
  EXPECT_EQ(disks[5].model, "SD16G");
  EXPECT_EQ(disks[6].model, "Loop device (/srv/images/x.img)");
}

TEST(SysfsDiskSource, MissingSysfsGivesNoDisks) {
  EXPECT_TRUE(platform::MakeSysfsDiskSource("/nonexistent/sys/block", "/dev")->Disks().empty());
}

TEST(ImageDiskFacts, SizeFromTheFileAndConventionalGeometry) {
  std::string path =
      WriteImage(test::TempDir() / "facts" / "big.img", std::string(9 * 1024 * 1024, '\0'));
  auto f = platform::ImageDiskFacts(3, path);
  EXPECT_EQ(f.index, 3);
  EXPECT_EQ(f.label, "big.img");
  EXPECT_EQ(f.deviceName, path);
  EXPECT_EQ(f.capacityBytes, 9u * 1024 * 1024);
  EXPECT_EQ(f.heads, 255u);
  EXPECT_EQ(f.sectorsPerTrack, 63u);
  EXPECT_EQ(f.cylinders, 1u);
  EXPECT_EQ(platform::ImageDiskFacts(0, "/nonexistent/x.img").capacityBytes, 0u);
}

}  // namespace
}  // namespace brevant

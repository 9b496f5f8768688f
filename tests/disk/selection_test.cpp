// Selecting tree items before a run: disk panels, partition selection, and when nothing happens.
#include <gtest/gtest.h>

#include "core/text.h"
#include "crafted_disk.h"
#include "disk/disks.h"

namespace brevant {
namespace {

using test::CraftedDisk;
using Kind = SelectionInfo::Kind;

class FixedSource : public platform::DiskSource {
 public:
  explicit FixedSource(std::vector<platform::DiskFacts> disks) : disks_(std::move(disks)) {}
  std::vector<platform::DiskFacts> Disks() override { return disks_; }

 private:
  std::vector<platform::DiskFacts> disks_;
};

// Two disks named as Linux names them (no number at the end): sda with one NTFS partition,
// sdb with a FAT16 and a FAT32 partition.
class Selection : public ::testing::Test {
 protected:
  void SetUp() override {
    CraftedDisk a(4096);
    a.Entry(0, 0, 0x07, 100, 100);
    a.Signature(0);
    CraftedDisk b(4096);
    b.Entry(0, 0, 0x06, 300, 50);
    b.Entry(0, 1, 0x0C, 400, 60);
    b.Signature(0);
    platform::DiskFacts fa;
    fa.label = "sda";
    fa.deviceName = a.Install();
    fa.model = "Disk A";
    fa.capacityBytes = 4096 * 512;
    fa.cylinders = 1;
    fa.heads = 255;
    fa.sectorsPerTrack = 63;
    platform::DiskFacts fb = fa;
    fb.label = "sdb";
    fb.deviceName = b.Install();
    fb.model = "Disk B";
    FixedSource source({fa, fb});
    EnumerateDisks(s, tree, &source, {});
    ASSERT_EQ(s.driveRecords.size(), 2u);
  }
  const ui::TreeItem* Top() { return tree.Root()->children[0].get(); }
  const ui::TreeItem* Partition(int d, int k) {
    return s.driveRecords[static_cast<std::size_t>(d)]
        .partitions[static_cast<std::size_t>(k - 1)]
        .treeItem;
  }
  void ExpectSelection(std::uint16_t disk, std::uint64_t start, std::uint64_t end,
                       const std::string& fs) {
    EXPECT_EQ(s.selectedDisk, disk);
    EXPECT_EQ(s.selectedPartitionStart, start);
    EXPECT_EQ(s.selectedPartitionEnd, end);
    EXPECT_EQ(s.selectedFsName, fs);
  }

  RecoverySession s;
  ui::ResultTree tree;
};

TEST_F(Selection, PartitionOfTheSecondDiskSelectsThatDisk) {
  SelectionInfo info = SelectTreeItem(s, Partition(1, 2));
  EXPECT_EQ(info.kind, Kind::Partition);
  EXPECT_EQ(info.groupText, u"Logical Drive Name");
  EXPECT_EQ(info.values[0], u"30.0 KB");  // "Total Size:": 60 sectors
  EXPECT_EQ(info.values[1], u"");         // "Free Size:": until the parameter worker has read it
  EXPECT_EQ(info.values[2], u"FAT32");
  EXPECT_EQ(info.sectorRange, u"sectors 400 to 460");
  EXPECT_EQ(info.disk, 1);
  EXPECT_EQ(info.number, 2);
  ExpectSelection(1, 400, 460, "FAT32");
  EXPECT_EQ(s.SelectedDevice(), s.devicePath[1]);

  info = SelectTreeItem(s, Partition(0, 1));
  EXPECT_EQ(info.kind, Kind::Partition);
  ExpectSelection(0, 100, 200, "NTFS");
}

TEST_F(Selection, DiskNodeShowsItsPanelAndLeavesTheSelection) {
  SelectPartition(s, 1, 1);
  SelectionInfo info = SelectTreeItem(s, Top()->children[1].get());
  EXPECT_EQ(info.kind, Kind::Disk);
  EXPECT_EQ(info.values[0], u"Disk B");
  EXPECT_EQ(info.values[1], u"2097152");
  EXPECT_EQ(info.values[2], u"1");
  EXPECT_EQ(info.values[3], u"255");
  EXPECT_EQ(info.values[4], u"63");
  EXPECT_EQ(info.disk, 1);
  ExpectSelection(1, 300, 350, "FAT16");
}

TEST_F(Selection, RootAndUnknownItemsChangeNothing) {
  SelectPartition(s, 0, 1);
  for (const ui::TreeItem* item : {Top(), static_cast<const ui::TreeItem*>(nullptr)}) {
    EXPECT_EQ(SelectTreeItem(s, item).kind, Kind::Nothing);
    ExpectSelection(0, 100, 200, "NTFS");
  }
  ui::ResultTree other;
  EXPECT_EQ(
      SelectTreeItem(s, ui::InsertTreePath(other, u"My Computer\\sda\\Partition - 1 ( NTFS )\\"))
          .kind,
      Kind::Nothing);
}

TEST_F(Selection, NothingChangesOnceARunHasCompletedOrWhileOneRuns) {
  SelectPartition(s, 0, 1);
  s.runInProgress.store(1);  // a run in progress
  EXPECT_EQ(SelectTreeItem(s, Partition(1, 1)).kind, Kind::Nothing);
  EXPECT_FALSE(SelectPartition(s, 1, 1));
  ExpectSelection(0, 100, 200, "NTFS");
  s.runInProgress.store(0);  // the run completed; its worker id stays set
  s.recoveryThread.store(7);
  s.scanDone.store(1);
  EXPECT_EQ(SelectTreeItem(s, Partition(1, 1)).kind, Kind::Nothing);
  EXPECT_EQ(SelectTreeItem(s, Top()->children[1].get()).kind, Kind::Nothing);
  ExpectSelection(0, 100, 200, "NTFS");
  s.runInProgress.store(1);  // a second run: the selection is held again
  EXPECT_FALSE(SelectPartition(s, 1, 1));
  ExpectSelection(0, 100, 200, "NTFS");
  s.runInProgress.store(0);  // between runs another partition can be chosen
  EXPECT_TRUE(SelectPartition(s, 1, 1));
}

TEST_F(Selection, SelectPartitionByNumber) {
  struct Case {
    int disk;
    int number;
    bool ok;
  };
  const Case cases[] = {{1, 1, true},  {1, 2, true},  {0, 1, true},   {1, 0, false}, {1, 3, false},
                        {0, 2, false}, {2, 1, false}, {-1, 1, false}, {1, -4, false}};
  for (const Case& c : cases) {
    s.selectedFsName = "unchanged";
    EXPECT_EQ(SelectPartition(s, c.disk, c.number), c.ok) << c.disk << "/" << c.number;
    if (!c.ok) {
      EXPECT_EQ(s.selectedFsName, "unchanged") << c.disk << "/" << c.number;
    }
  }
  ASSERT_TRUE(SelectPartition(s, 1, 2));
  ExpectSelection(1, 400, 460, "FAT32");
}

TEST_F(Selection, ParametersOfAnotherPartitionAreNeverKept) {
  ASSERT_TRUE(SelectPartition(s, 1, 1));
  s.partParams.clusterBase = 1234;
  ASSERT_TRUE(SelectPartition(s, 1, 1));  // the same partition again: its values stay
  EXPECT_EQ(s.partParams.clusterBase, 1234u);
  ASSERT_TRUE(SelectPartition(s, 1, 2));
  EXPECT_EQ(s.partParams.clusterBase, 0u);
  s.partParams.mftStart = 55;
  SelectTreeItem(s, Partition(0, 1));
  EXPECT_EQ(s.partParams.mftStart, 0u);
}

}  // namespace
}  // namespace brevant

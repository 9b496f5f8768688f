#pragma once
// Disk enumeration, the partition-table walk and the boot-sector parameters.
#include <string>
#include <vector>

#include "app/recovery_session.h"
#include "platform/disk_source.h"
#include "ui/result_tree.h"

namespace brevant {

// Lists every disk of `source` and then each image of `images`, in that order, under
// "My Computer", walks each partition table and files DiskInfoNode records.
void EnumerateDisks(RecoverySession& session, ui::ResultTree& tree, platform::DiskSource* source,
                    const std::vector<std::string>& images);

// Walks the partition tables of disk `d` (MBR, extended chain, GPT, whole-disk volume),
// inserting one node per recognised partition below `diskPath` and filing it in driveRecords[d].
void WalkPartitionTable(RecoverySession& session, ui::ResultTree& tree, int d,
                        const std::u16string& diskPath);

// Reads the selected partition's boot sector into partParams. 1 when stored, 0 otherwise.
int ReadBootSectorParameters(RecoverySession& session);

// What selecting an item before a run shows.
struct SelectionInfo {
  enum class Kind { Nothing, Disk, Partition } kind = Kind::Nothing;
  std::u16string values[5];  // the panel's value texts, in order
  std::u16string groupText;  // "Logical Drive Name" for a partition
};
// Selecting a disk yields its panel; selecting a partition writes the selection fields
// (and the caller starts the parameter worker).
SelectionInfo SelectTreeItem(RecoverySession& session, const ui::TreeItem* item);
// Makes partition `number` (1-based, as the tree numbers them) of disk `d` the selection.
bool SelectPartition(RecoverySession& session, int d, int number);

}  // namespace brevant

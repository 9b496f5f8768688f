#pragma once
// Disk enumeration, the partition-table walk and the boot-sector parameters.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/recovery_session.h"
#include "platform/disk_source.h"
#include "model/result_tree.h"

namespace brevant {

// Lists every disk of `source` (may be null) and then each image of `images`, in that order,
// under "My Computer", walks each partition table and files DiskInfoNode records. The session's
// disk tables are rebuilt from scratch; disk d is devicePath[d], driveRecords[d], diskInfoList[d].
void EnumerateDisks(RecoverySession& session, ui::ResultTree& tree, platform::DiskSource* source,
                    const std::vector<std::string>& images);

// Adds one more disk after those already listed (e.g. an image opened later): its node, its
// partitions and its DiskInfoNode. Returns its index. A disk that cannot be opened is listed
// with its facts and no partitions; DiskInfoNode.openError says why.
int AddDisk(RecoverySession& session, ui::ResultTree& tree, const platform::DiskFacts& facts);

// Appends a DiskInfoNode with copies of the five panel texts.
void AppendDiskInfo(RecoverySession& session, std::u16string model, std::u16string size,
                    std::u16string cylinders, std::u16string heads, std::u16string sectorsPerTrack,
                    ui::TreeItem* treeItem);

// Walks the partition tables of disk `d` (MBR, extended chain, GPT, whole-disk volume),
// inserting one node per recognised partition below `diskPath` and filing it in driveRecords[d].
void WalkPartitionTable(RecoverySession& session, ui::ResultTree& tree, int d,
                        const std::u16string& diskPath);

// Reads the selected partition's boot sector into partParams and its size and free space into
// the session's SelectedFigures. 1 when parameters were stored, 0 otherwise; on failure
// partParams is left exactly as it was.
int ReadBootSectorParameters(RecoverySession& session);

// Size and free space of a partition from its own structures: FAT from the free entries of
// FAT #1 (checked against FAT #2 and, on FAT32, the FSInfo count, which is only a hint), NTFS
// from $Bitmap. freeBytes is absent when the allocation map cannot be read or is implausible.
PartitionFigures ReadPartitionFigures(const std::string& device, std::uint64_t start,
                                      std::uint64_t end, std::string_view fsName);

// Starts the parameter worker for the current selection. The selection is taken now, on the
// calling thread; the worker stores its result only if no later worker has been started
// meanwhile (session.paramThread names the latest one). The session must outlive the thread:
// join it (at the latest before a run starts, so the run reads finished values) or detach it.
// When it has read them, the worker stores the partition's figures (SelectedFigures) and calls
// `onFigures` with them on its own thread (a window queues that onto its thread); a worker
// overtaken by a later one stores and reports nothing.
std::thread StartParamWorker(RecoverySession& session,
                             std::function<void(const PartitionFigures&)> onFigures = {});

// What selecting an item before a run shows.
struct SelectionInfo {
  enum class Kind { Nothing, Disk, Partition } kind = Kind::Nothing;
  // The panel's value texts, in order. A partition: its size ("Total Size:"), its free space
  // ("Free Size:", empty until the parameter worker has read it) and its file-system name.
  std::u16string values[5];
  std::u16string sectorRange;  // a partition's "sectors S to E" (E one past the last sector)
  std::u16string groupText;  // "Logical Drive Name" for a partition
  int disk = -1;             // the disk the item belongs to
  int number = 0;            // partition number (1-based), 0 for a disk
};
// Selecting a disk yields its panel; selecting a partition writes the selection fields
// (and the caller starts the parameter worker). Nothing happens while a run is in progress
// (runInProgress) or once a run has completed.
SelectionInfo SelectTreeItem(RecoverySession& session, const ui::TreeItem* item);
// Makes partition `number` (1-based, as the tree numbers them) of disk `d` the selection.
// False (and nothing written) when there is no such partition or a run is in progress.
bool SelectPartition(RecoverySession& session, int d, int number);

}  // namespace brevant

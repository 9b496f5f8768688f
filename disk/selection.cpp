// What selecting a tree item does before a run: a disk shows its panel, a partition becomes
// the selection.
#include <algorithm>

#include "core/text.h"
#include "disk/disks.h"
#include "model/display_format.h"

namespace brevant {
namespace {

// A run reads the selection and partParams; changing them under it would mix two partitions.
bool RunInProgress(const RecoverySession& session) { return session.runInProgress.load() != 0; }

void WriteSelection(RecoverySession& session, const DriveRecord& record, std::size_t i) {
  const PartitionEntry& p = record.partitions[i];
  const std::string& fs = record.fsName[i];
  const bool same = session.selectedDisk == record.diskIndex &&
                    session.selectedPartitionStart == p.startSector &&
                    session.selectedPartitionEnd == p.endSector && session.selectedFsName == fs;
  // Parameters and figures read for another partition must never be taken for this one's.
  if (!same) {
    session.partParams = PartitionParameters{};
    PartitionFigures figures;
    if (p.endSector > p.startSector) figures.sizeBytes = (p.endSector - p.startSector) * 512;
    session.SetSelectedFigures(figures);
  }
  session.selectedDisk = static_cast<std::uint16_t>(record.diskIndex);
  session.selectedPartitionStart = p.startSector;
  session.selectedPartitionEnd = p.endSector;
  session.selectedFsName = fs;
  session.selectedSectorSize = record.sectorSize;
  session.selectedProblem = p.problem;
}

bool ValidRecord(const RecoverySession& session, std::size_t d) {
  if (d >= session.driveRecords.size() || d >= session.devicePath.size()) return false;
  const DriveRecord& r = session.driveRecords[d];
  // The selection field holds 16 bits; a record that does not fit is never selected.
  return r.diskIndex >= 0 && r.diskIndex <= 0xFFFF && static_cast<std::size_t>(r.diskIndex) == d;
}

std::size_t PositionCount(const DriveRecord& r) {
  std::size_t n = r.partitionCount < 0 ? 0 : static_cast<std::size_t>(r.partitionCount);
  return std::min({n, r.partitions.size(), r.fsName.size()});
}

}  // namespace

SelectionInfo SelectTreeItem(RecoverySession& session, const ui::TreeItem* item) {
  SelectionInfo info;
  if (item == nullptr || session.scanDone.load() == 1 || RunInProgress(session)) return info;

  for (const DiskInfoNode& disk : session.diskInfoList) {
    if (disk.treeItem != item) continue;
    info.kind = SelectionInfo::Kind::Disk;
    info.values[0] = disk.model;
    info.values[1] = disk.size;
    info.values[2] = disk.cylinders;
    info.values[3] = disk.heads;
    info.values[4] = disk.sectorsPerTrack;
    info.disk = disk.diskIndex;
    return info;
  }

  // The partition's disk is the record the walk filed it in.
  for (std::size_t d = 0; d < session.driveRecords.size(); ++d) {
    if (!ValidRecord(session, d)) continue;
    const DriveRecord& record = session.driveRecords[d];
    for (std::size_t i = 0; i < PositionCount(record); ++i) {
      if (record.partitions[i].treeItem != item) continue;
      WriteSelection(session, record, i);
      info.kind = SelectionInfo::Kind::Partition;
      info.groupText = u"Logical Drive Name";
      // Size and free space as the labels say; the sector range stays on show beside them.
      const PartitionFigures figures = session.SelectedFigures();
      info.values[0] = ui::FormatSize(figures.sizeBytes);
      if (figures.freeBytes) info.values[1] = ui::FormatSize(*figures.freeBytes);
      info.values[2] = Widen(record.fsName[i]);
      info.sectorRange = u"sectors " + ToText(record.partitions[i].startSector) + u" to " +
                         ToText(record.partitions[i].endSector);
      info.disk = static_cast<int>(d);
      info.number = static_cast<int>(i) + 1;
      return info;
    }
  }
  return info;
}

bool SelectPartition(RecoverySession& session, int d, int number) {
  if (d < 0 || number < 1 || RunInProgress(session)) return false;
  if (!ValidRecord(session, static_cast<std::size_t>(d))) return false;
  const DriveRecord& record = session.driveRecords[static_cast<std::size_t>(d)];
  if (static_cast<std::size_t>(number) > PositionCount(record)) return false;
  WriteSelection(session, record, static_cast<std::size_t>(number) - 1);
  return true;
}

}  // namespace brevant

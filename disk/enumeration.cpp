// Disk enumeration: one tree node, one partition walk and one DiskInfoNode per disk.
#include <algorithm>
#include <filesystem>

#include "core/text.h"
#include "disk/disks.h"
#include "disk/volume_search.h"
#include "platform/sector_device.h"

namespace brevant {
namespace {

// A disk's node label: what the platform calls it, never splitting the tree path, and never
// the same as an earlier disk's (two images named disk.img in different folders would
// otherwise share one node and their partitions).
std::u16string DiskLabel(const RecoverySession& session, const platform::DiskFacts& facts, int d) {
  std::string base = facts.label;
  if (base.empty()) base = std::filesystem::path(facts.deviceName).filename().string();
  if (base.empty()) base = "Disk " + std::to_string(d);
  std::u16string label = FromUtf8(base);
  std::replace(label.begin(), label.end(), u'\\', u'_');
  auto taken = [&](const std::u16string& text) {
    return std::any_of(session.diskInfoList.begin(), session.diskInfoList.end(),
                       [&](const DiskInfoNode& n) { return n.label == text; });
  };
  std::u16string unique = label;
  for (std::uint64_t n = 2; taken(unique); ++n) unique = label + u" (" + ToText(n) + u")";
  return unique;
}

}  // namespace

void AppendDiskInfo(RecoverySession& session, std::u16string model, std::u16string size,
                    std::u16string cylinders, std::u16string heads, std::u16string sectorsPerTrack,
                    ui::TreeItem* treeItem) {
  DiskInfoNode node;
  node.model = std::move(model);
  node.size = std::move(size);
  node.cylinders = std::move(cylinders);
  node.heads = std::move(heads);
  node.sectorsPerTrack = std::move(sectorsPerTrack);
  node.treeItem = treeItem;
  node.diskIndex = static_cast<int>(session.diskInfoList.size());
  session.diskInfoList.push_back(std::move(node));
}

int AddDisk(RecoverySession& session, ui::ResultTree& tree, const platform::DiskFacts& facts) {
  const int d = static_cast<int>(session.diskInfoList.size());
  session.EnsureDisk(static_cast<std::size_t>(d));
  session.devicePath[d] = facts.deviceName;
  session.driveRecords[d] = DriveRecord{};
  session.driveRecords[d].diskIndex = d;

  std::u16string label = DiskLabel(session, facts, d);
  std::u16string path = u"My Computer\\" + label + u"\\";
  ui::TreeItem* item = ui::InsertTreePath(tree, path);

  std::string error;
  if (platform::DeviceTable::Instance().Get(facts.deviceName, &error)) {
    WalkPartitionTable(session, tree, d, path);
    // A table that lists nothing (wiped, or never written) may still leave volumes behind.
    if (session.driveRecords[d].partitionCount == 0) {
      VolumeSearchOptions search;
      search.nearby = true;
      if (facts.heads != 0) search.heads = facts.heads;
      if (facts.sectorsPerTrack != 0) search.sectorsPerTrack = facts.sectorsPerTrack;
      FileFoundVolumes(session, tree, d, path, search);
    }
  } else if (error.empty())
    error = facts.deviceName + ": cannot be opened";

  AppendDiskInfo(session, FromUtf8(facts.model), ToText(facts.capacityBytes),
                 ToText(facts.cylinders), ToSignedText(static_cast<std::int32_t>(facts.heads)),
                 ToSignedText(static_cast<std::int32_t>(facts.sectorsPerTrack)), item);
  DiskInfoNode& node = session.diskInfoList.back();
  node.diskIndex = d;
  node.sectorSize = session.driveRecords[d].sectorSize;
  node.label = std::move(label);
  node.openError = std::move(error);
  return d;
}

void EnumerateDisks(RecoverySession& session, ui::ResultTree& tree, platform::DiskSource* source,
                    const std::vector<std::string>& images) {
  session.devicePath.clear();
  session.driveRecords.clear();
  session.diskInfoList.clear();
  if (source)
    for (const auto& facts : source->Disks()) AddDisk(session, tree, facts);
  for (const auto& image : images)
    AddDisk(session, tree,
            platform::ImageDiskFacts(static_cast<int>(session.diskInfoList.size()), image));
}

}  // namespace brevant

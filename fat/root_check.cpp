// Whether a FAT volume's root directory is where its parameters put it.
#include <algorithm>
#include <string>
#include <vector>

#include "fat/directory_entry.h"
#include "fat/fat_engine.h"
#include "fat/fat_volume.h"

namespace brevant {

std::string FatRootDirectoryProblem(RecoverySession& session) {
  auto volume =
      fat::VolumeFromParameters(session.partParams, session.scanFsName, session.SelectedDevice(),
                                session.selectedPartitionStart, session.selectedPartitionEnd);
  if (!volume) return "the volume's parameters describe no FAT volume in the partition";
  std::uint64_t sector = volume->rootDirStart;
  if (volume->kind == fat::FatKind::Fat32) {
    if (!volume->IsDataCluster(volume->rootDirStart))
      return "the root directory's cluster " + std::to_string(volume->rootDirStart) +
             " lies outside the volume";
    sector = volume->ClusterSector(volume->rootDirStart);
  }
  std::vector<std::uint8_t> first(fat::kSectorBytes, 0);
  const bool read = fat::ReadZeroFilled(volume->device, first.data(), sector, 1);
  // A root directory holds at least the volume label or one entry; a blank or unreadable sector
  // is no directory.
  const bool blank = std::all_of(first.begin(), first.end(), [](std::uint8_t b) { return b == 0; });
  if (read && !blank && fat::LooksLikeDirectorySector(first)) return {};
  return "no root directory at sector " + std::to_string(sector) +
         (read ? (blank ? " (it is blank)" : " (it holds no directory entries)") : " (unreadable)");
}

}  // namespace brevant

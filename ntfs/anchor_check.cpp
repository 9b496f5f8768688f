// Whether the records every NTFS volume has are where its MFT extents say.
#include <string>
#include <vector>

#include "ntfs/extents.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/ntfs_ids.h"

namespace brevant {

std::string NtfsAnchorProblem(RecoverySession& session) {
  const ntfs::Volume volume = ntfs::VolumeOf(session);
  auto isFileRecord = [&](std::uint64_t record, bool directory) {
    std::vector<std::uint8_t> bytes;
    if (!ntfs::ReadMftRecord(volume, session.mftExtents, record, bytes)) return false;
    auto header = ntfs::FileRecordHeader::Parse(bytes);
    return header && !header->IsExtension() && (!directory || header->IsDirectory());
  };
  const bool mft = isFileRecord(0, false);
  const bool root = isFileRecord(ntfs::kRootRecord, true);
  if (mft && root) return {};
  const std::string at =
      session.scanParams.mftStart != 0
          ? "the MFT at sector " + std::to_string(session.scanParams.mftStart)
          : std::string("the MFT its mirror maps (the boot sector's MFT sector holds no record)");
  if (!mft && !root)
    return "neither MFT record 0 nor the root directory's record 5 is a file record in " + at;
  return mft ? "the root directory's record 5 is no directory record in " + at
             : "MFT record 0 is no file record in " + at;
}

}  // namespace brevant

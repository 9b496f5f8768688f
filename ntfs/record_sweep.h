#pragma once
// The extensive NTFS scan's second step: FILE records and folder indexes found anywhere on the
// volume, outside the MFT the boot sector leads to (an earlier MFT a reformat replaced, copies
// left behind when the MFT moved).
#include <cstdint>

#include "core/recovery_session.h"

namespace brevant {

// Catalogue ids of what the sweep finds start here, clear of MFT record numbers and of "Lost":
// a record of an earlier MFT may carry the number of a different current record.
inline constexpr std::int64_t kSweptIdBase = 0x10000000;
// `spareText` of an entry known only from a folder index: its name and size survive, its FILE
// record does not.
inline constexpr std::u16string_view kIndexEntryMark = u"index entry";

struct NtfsSweepOptions {
  std::uint32_t batchSectors = 0;  // sectors per read; 0 for the default (1 MiB)
};

// Sweeps the NTFS volume of the scan for FILE records outside the current MFT's extents and for
// INDX buffers, decodes them, drops what the catalogue already holds, rebuilds the folders from
// the parent references (unplaced ones under "Lost") and appends the rest to the catalogue.
// Progress is by sectors swept; a stop keeps what was found.
void SweepNtfsVolume(RecoverySession& session, RecoveryView& view,
                     const NtfsSweepOptions& options = {});

}  // namespace brevant

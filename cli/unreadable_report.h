#pragma once
// What the command line says about the MFT records a scan could not read: the run then ended
// "completed with unreadable records", which the commands report and exit 1 for.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/recovery_session.h"

namespace brevant::cli {

// The JSON fields `"unreadableRecords": N, "unreadableStretches": S, "unreadable": [...]` (one
// object per named stretch: firstRecord, records, sector when known, cause), without a
// leading comma.
std::string UnreadableJson(const UnreadableIndex& unreadable);

// ", N MFT records unreadable" for a summary line; empty when every record was read.
std::string UnreadableSummary(std::uint64_t records);

// A line on `err` for each named stretch, one for those left unnamed, and the closing line
// "brevant: incomplete: N MFT records could not be read; `consequence`". Nothing when every
// record was read.
void ReportUnreadable(const UnreadableIndex& unreadable, std::string_view consequence,
                      std::FILE* err);

}  // namespace brevant::cli

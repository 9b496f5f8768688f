#pragma once
// Record numbers with a fixed meaning in the catalogue of an NTFS scan.
#include <cstdint>
#include <string_view>

namespace brevant::ntfs {

// The volume's root directory.
inline constexpr std::uint64_t kRootRecord = 5;
inline constexpr std::u16string_view kRootIdText = u"5";
// $BadClus: its "$Bad" stream is as long as the volume and maps the unusable clusters; it holds
// no file's data, and a copy of it would be a file the size of the volume.
inline constexpr std::uint64_t kBadClusterRecord = 8;
inline constexpr std::u16string_view kBadClusterStream = u"$Bad";
// The synthetic "Lost" folder: an id no MFT record of a real volume reaches.
inline constexpr std::int32_t kLostFolderId = 0x0FFFFFFF;
inline constexpr std::u16string_view kLostFolderIdText = u"268435455";

// `spareText` of a deleted file whose data was joined from extension records freed with it.
inline constexpr std::u16string_view kFreedRecordsMark = u"assembled from freed records";

}  // namespace brevant::ntfs

#pragma once
// Whether a folder lies on the disk a recovery reads: writing there could overwrite the very
// sectors that hold what is being recovered.
#include <filesystem>
#include <string>

namespace brevant::platform {

// True when `folder` (or the nearest existing folder above it) is stored on the block device
// `devicePath`, or on another partition of the same physical disk. Image files are not devices:
// any folder is fine for them, except that nothing can be on the image itself.
bool FolderIsOnDevice(const std::string& devicePath, const std::filesystem::path& folder);

}  // namespace brevant::platform

#pragma once
#include <string>
#include <vector>

namespace brevant::cli {
// `brevant disks`: the start-up tree of disks, images and partitions.
int RunDisks(const std::vector<std::string>& images, bool json, bool includePhysical);
}  // namespace brevant::cli

#pragma once
// brevant disks [--image FILE]... [--json]
#include <string>
#include <vector>

namespace brevant::cli {

// Prints the start-up tree: the machine's disks (when `includePhysical`) and then each image,
// with their partitions; as one JSON object with `json`. 0 on success, 2 when an image is missing.
int RunDisks(const std::vector<std::string>& images, bool json, bool includePhysical);

}  // namespace brevant::cli

#pragma once
// brevant disks [--image FILE]... [--json]
#include <string>
#include <vector>

namespace brevant::cli {

// Lost volumes to look for beyond the partition tables.
struct DiskSearch {
  bool search = false;
  bool deep = false;
};

// Prints the start-up tree: the machine's disks (when `includePhysical`) and then each image,
// with their partitions; as one JSON object with `json`. 0 on success, 2 when an image is missing.
// With a search, found volumes follow each disk's partitions, numbered on and marked as found.
int RunDisks(const std::vector<std::string>& images, bool json, bool includePhysical,
             const DiskSearch& search = {});

}  // namespace brevant::cli

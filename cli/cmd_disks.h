#pragma once
// brevant disks [--image FILE]... [--json] [--search | --deep-search] [--device PATH]...
#include <string>
#include <vector>

namespace brevant::cli {

// Lost volumes to look for beyond the partition tables.
struct DiskSearch {
  bool search = false;
  bool deep = false;
  // Block devices to search. With none, the search covers the images given, or every disk of
  // the machine when no image is given.
  std::vector<std::string> devices;
};

// Prints the start-up tree: the machine's disks (when `includePhysical`) and then each image,
// with their partitions; as one JSON object with `json`. 0 on success, 2 when an image is missing.
// With a search, found volumes follow each disk's partitions, numbered on and marked as found.
int RunDisks(const std::vector<std::string>& images, bool json, bool includePhysical,
             const DiskSearch& search = {});

}  // namespace brevant::cli

#pragma once
// What became of a deleted file's data since it was deleted, judged once per run from the
// volume's allocation facts (FATs and live chains; $Bitmap and the runs of live records).
#include <cstdint>
#include <optional>
#include <string_view>

namespace brevant {

enum class FileCondition : std::uint8_t {
  Live,               // not deleted: nothing to judge
  Intact,             // every cluster its data needs is free now and claimed by no live file
  PartlyOverwritten,  // some of those clusters are in use (`overwrittenBytes` says how much)
  Overwritten,        // its first cluster, or all of its data, is in use
  Unknown,            // the allocation map could not be read
};

struct FileState {
  FileCondition condition = FileCondition::Unknown;
  std::uint64_t overwrittenBytes = 0;  // bytes of the file's data whose clusters are in use
};

// "intact", "partly overwritten", "overwritten", "unknown"; "" for a live file.
std::string_view ConditionText(FileCondition condition);
// The reverse, for command-line values: also accepts "partly-overwritten". Nothing when unknown.
std::optional<FileCondition> ParseCondition(std::string_view text);

}  // namespace brevant

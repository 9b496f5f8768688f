#include "core/file_condition.h"

namespace brevant {

std::string_view ConditionText(FileCondition condition) {
  switch (condition) {
    case FileCondition::Live: return "";
    case FileCondition::Intact: return "intact";
    case FileCondition::PartlyOverwritten: return "partly overwritten";
    case FileCondition::Overwritten: return "overwritten";
    case FileCondition::Unknown: return "unknown";
  }
  return "unknown";
}

std::optional<FileCondition> ParseCondition(std::string_view text) {
  if (text == "intact") return FileCondition::Intact;
  if (text == "partly overwritten" || text == "partly-overwritten")
    return FileCondition::PartlyOverwritten;
  if (text == "overwritten") return FileCondition::Overwritten;
  if (text == "unknown") return FileCondition::Unknown;
  return std::nullopt;
}

}  // namespace brevant

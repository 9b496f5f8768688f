#pragma once
// Finding files among everything a run found: one filter that the command line and the window
// share. The facts a filter reads (folded names, sizes, times, categories, system flags) are made
// once per result, so filtering a million files takes no text parsing per change.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/catalogue.h"
#include "core/file_condition.h"
#include "core/run_result.h"

namespace brevant::ui {

// Kinds of file by name extension.
enum class FileCategory : std::uint8_t { Pictures, Documents, Audio, Video, Archives, Email, Other };
FileCategory CategoryOfName(std::u16string_view name);
// "pictures", "documents", "audio", "video", "archives", "e-mail", "other"
std::string_view CategoryText(FileCategory category);
std::optional<FileCategory> ParseCategory(std::string_view text);  // also accepts "email"

struct FileFilter {
  enum class Liveness : std::uint8_t { Any, LiveOnly, DeletedOnly };
  std::u16string namePattern;  // glob (* ? [...]) on the name, case-insensitive; empty: any
  Liveness liveness = Liveness::Any;
  std::vector<FileCondition> conditions;  // empty: any
  std::optional<std::uint64_t> minSize, maxSize;  // bytes, both inclusive
  std::optional<std::int64_t> since, until;       // modification time, Unix seconds, inclusive
  std::vector<FileCategory> categories;           // empty: any
  bool includeSystem = false;                     // the volume's own metadata files

  // True when it leaves out anything beyond the volume's system files.
  bool Narrows() const;
};

// Per-result facts the filter reads. Made once per (complete) result; then used from any
// thread as long as the result lives.
class FilterIndex {
 public:
  explicit FilterIndex(const RunResult& result);
  FilterIndex(const FilterIndex&) = delete;
  FilterIndex& operator=(const FilterIndex&) = delete;
  ~FilterIndex();

  // Every file of the result that `filter` keeps, in catalogue order.
  std::vector<const CatalogueNode*> Matching(const FileFilter& filter) const;
  bool Matches(const FileFilter& filter, const CatalogueNode& file) const;
  // The volume's own metadata ($MFT, $LogFile, $Secure:$SDS, what lies below $Extend, ...).
  bool IsSystem(const CatalogueNode& entry) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brevant::ui

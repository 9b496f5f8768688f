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

// The name test alone: `pattern` is a glob (`*`, `?`, `[...]`, `[!...]`; put `*`, `?` or `[` in
// brackets to match it as itself), compared with Unicode case folding (NFKC_Casefold: "STRASSE"
// matches "straße", composed and decomposed accents are one). Time grows with the product of
// the two lengths at most, whatever they hold.
bool NameMatches(std::u16string_view pattern, std::u16string_view name);

// Values as people type them, for the command line and the window's fields.
// A byte count: digits, optionally with a fraction and a unit K, M, G or T (powers of 1024;
// "KB", "KiB" and lower case too). Nothing when malformed or beyond 2^64.
std::optional<std::uint64_t> ParseByteSize(std::string_view text);
// An ISO 8601 date or date and time ("2024-05-01", "2024-05-01T13:45", "2024-05-01 13:45:10",
// optionally with "Z" or an offset "+02:00") as Unix seconds. Without an offset the time is
// read as entry times are shown (UTC on NTFS, the clock as stored on FAT). A date alone means
// its first second, or with `endOfRange` its last, so "--until 2024-05-01" keeps that day.
std::optional<std::int64_t> ParseIsoTime(std::string_view text, bool endOfRange);

struct FileFilter {
  enum class Liveness : std::uint8_t { Any, LiveOnly, DeletedOnly };
  std::u16string namePattern;  // glob (* ? [...]) on the name, case-insensitive; empty: any
  Liveness liveness = Liveness::Any;
  std::vector<FileCondition> conditions;  // empty: any; else deleted files in one of these
  std::optional<std::uint64_t> minSize, maxSize;  // bytes, both inclusive
  // Modification time (the time the list shows: FAT's write time, NTFS's file-name time), Unix
  // seconds, inclusive; an entry without a time is left out once either is set.
  std::optional<std::int64_t> since, until;
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
  // Files and folders of the result; a folder has no size, category or condition, so a filter
  // asking for any of them keeps no folder. False for an entry of another result.
  bool Matches(const FileFilter& filter, const CatalogueNode& file) const;
  // The volume's own metadata ($MFT, $LogFile, $Secure:$SDS, what lies below $Extend, ...).
  bool IsSystem(const CatalogueNode& entry) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brevant::ui

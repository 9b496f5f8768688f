#include "model/file_sort.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <string_view>

#include "core/text.h"
#include "model/file_listing.h"
#include "model/natural_order.h"

namespace brevant::ui {
namespace {

std::u16string_view View(const char16_t* text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}

// Orders indices into `files` by `less` on them, stably, ascending or descending.
template <typename Less>
void SortBy(std::vector<const CatalogueNode*>& files, bool descending, Less less) {
  std::vector<std::uint32_t> order(files.size());
  std::iota(order.begin(), order.end(), 0u);
  if (descending)
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return less(b, a); });
  else
    std::stable_sort(order.begin(), order.end(), less);
  std::vector<const CatalogueNode*> sorted;
  sorted.reserve(files.size());
  for (std::uint32_t i : order) sorted.push_back(files[i]);
  files.swap(sorted);
}

// A number for each row, compared as it is.
template <typename Value>
void SortByValue(std::vector<const CatalogueNode*>& files, bool descending, Value value) {
  std::vector<decltype(value(*files.front()))> keys;
  keys.reserve(files.size());
  for (const CatalogueNode* f : files) keys.push_back(value(*f));
  SortBy(files, descending, [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
}

// The time the list shows, as a number that orders as the time does: FAT's date and time
// words side by side, NTFS's FILETIME. Nothing (no time shown) before every time.
std::int64_t TimeKey(const CatalogueNode& file, bool fat) {
  const std::int64_t date = TextToInt(file.date);
  if (fat) {
    const std::int64_t time = TextToInt(file.time);
    if (date < 0 || date > 0xFFFF || time < 0 || time > 0xFFFF) return -1;
    return date << 16 | time;
  }
  return date > 0 ? date : -1;
}

}  // namespace

void SortFiles(std::vector<const CatalogueNode*>& files, FileSortKey key, bool descending,
               const RunResult& result) {
  if (files.size() < 2) return;
  switch (key) {
    case FileSortKey::Name: {
      std::vector<std::u16string_view> names;
      names.reserve(files.size());
      for (const CatalogueNode* f : files) names.push_back(View(f->name));
      SortBy(files, descending, [&](std::uint32_t a, std::uint32_t b) {
        return NaturalCompare(names[a], names[b]) < 0;
      });
      return;
    }
    case FileSortKey::Path: {
      // By folder, then by name within it.
      std::vector<std::u16string> folders;
      folders.reserve(files.size());
      for (const CatalogueNode* f : files)
        folders.push_back(result.paths ? result.paths->FileFolder(f) : std::u16string());
      SortBy(files, descending, [&](std::uint32_t a, std::uint32_t b) {
        const int c = NaturalCompare(folders[a], folders[b]);
        return c != 0 ? c < 0 : NaturalCompare(View(files[a]->name), View(files[b]->name)) < 0;
      });
      return;
    }
    case FileSortKey::Type: {
      std::vector<std::u16string_view> types;
      types.reserve(files.size());
      for (const CatalogueNode* f : files) types.push_back(View(f->type));
      SortBy(files, descending, [&](std::uint32_t a, std::uint32_t b) {
        return NaturalCompare(types[a], types[b]) < 0;
      });
      return;
    }
    case FileSortKey::Size:
      SortByValue(files, descending, [](const CatalogueNode& f) { return TextToInt(f.size); });
      return;
    case FileSortKey::Time: {
      const bool fat = result.fsName.rfind("FAT", 0) == 0;
      SortByValue(files, descending, [fat](const CatalogueNode& f) { return TimeKey(f, fat); });
      return;
    }
    case FileSortKey::Condition:
      // Intact first, then by how much is overwritten; live files ahead of every deleted one.
      SortByValue(files, descending, [&result](const CatalogueNode& f) {
        const FileState s = result.StateOf(f);
        return std::pair<int, std::uint64_t>(static_cast<int>(s.condition), s.overwrittenBytes);
      });
      return;
  }
}

}  // namespace brevant::ui

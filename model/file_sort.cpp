#include "model/file_sort.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/file_systems.h"
#include "core/text.h"
#include "model/file_listing.h"
#include "model/natural_order.h"

namespace brevant::ui {
namespace {

std::u16string_view View(const char16_t* text) {
  return text ? std::u16string_view(text) : std::u16string_view();
}

// Orders `files` by `less` on their indices, stably, ascending or descending.
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

// A key for each row, made once and compared as it is.
template <typename Value>
void SortByValue(std::vector<const CatalogueNode*>& files, bool descending, Value value) {
  std::vector<decltype(value(*files.front()))> keys;
  keys.reserve(files.size());
  for (const CatalogueNode* f : files) keys.push_back(value(*f));
  SortBy(files, descending, [&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
}

// Rows by a rank (the folder's place among folders, or 0) and then a text key. The key's first
// eight units ride along with the row, so most comparisons never read the text itself.
void SortByTextKeys(std::vector<const CatalogueNode*>& files, bool descending,
                    const std::vector<std::uint32_t>& ranks,
                    const std::vector<std::u16string>& keys) {
  struct Row {
    std::uint32_t rank;
    std::uint32_t index;
    std::uint64_t head[2];  // the key's first units, the first in the highest bits
  };
  std::vector<Row> rows(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    Row& r = rows[i];
    r.rank = ranks.empty() ? 0 : ranks[i];
    r.index = static_cast<std::uint32_t>(i);
    r.head[0] = r.head[1] = 0;
    // Shorter keys pad with 0, below every unit a key holds: the order of the whole key holds.
    for (std::size_t u = 0; u < 8 && u < keys[i].size(); ++u)
      r.head[u / 4] |= static_cast<std::uint64_t>(keys[i][u]) << (48 - 16 * (u % 4));
  }
  const auto less = [&keys](const Row& a, const Row& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
    if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
    const std::u16string& ka = keys[a.index];
    const std::u16string& kb = keys[b.index];
    return ka.size() > 8 && kb.size() > 8 ? ka.compare(8, ka.npos, kb, 8) < 0 : ka < kb;
  };
  if (descending)
    std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) { return less(b, a); });
  else
    std::stable_sort(rows.begin(), rows.end(), less);
  std::vector<const CatalogueNode*> sorted;
  sorted.reserve(files.size());
  for (const Row& r : rows) sorted.push_back(files[r.index]);
  files.swap(sorted);
}

std::vector<std::u16string> NaturalKeys(const std::vector<const CatalogueNode*>& files,
                                        const char16_t* CatalogueNode::*field) {
  std::vector<std::u16string> keys;
  keys.reserve(files.size());
  for (const CatalogueNode* f : files) keys.push_back(NaturalKey(View(f->*field)));
  return keys;
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
    case FileSortKey::Name:
      SortByTextKeys(files, descending, {}, NaturalKeys(files, &CatalogueNode::name));
      return;
    case FileSortKey::Path: {
      // By folder, then by name within it. Folders are few beside files: each is ranked once.
      std::vector<std::u16string> folders;
      folders.reserve(files.size());
      std::unordered_map<std::u16string, std::uint32_t> rankOf;
      for (const CatalogueNode* f : files) {
        folders.push_back(result.paths ? result.paths->FileFolder(f) : std::u16string());
        rankOf.emplace(folders.back(), 0);
      }
      std::vector<std::pair<std::u16string, const std::u16string*>> distinct;
      distinct.reserve(rankOf.size());
      for (const auto& [folder, rank] : rankOf) distinct.emplace_back(NaturalKey(folder), &folder);
      std::sort(distinct.begin(), distinct.end());
      for (std::size_t r = 0; r < distinct.size(); ++r)
        rankOf[*distinct[r].second] = static_cast<std::uint32_t>(r);
      std::vector<std::uint32_t> ranks;
      ranks.reserve(files.size());
      for (const std::u16string& folder : folders) ranks.push_back(rankOf[folder]);
      SortByTextKeys(files, descending, ranks, NaturalKeys(files, &CatalogueNode::name));
      return;
    }
    case FileSortKey::Type:
      SortByTextKeys(files, descending, {}, NaturalKeys(files, &CatalogueNode::type));
      return;
    case FileSortKey::Size:
      SortByValue(files, descending, [](const CatalogueNode& f) { return TextToInt(f.size); });
      return;
    case FileSortKey::Time: {
      const bool fat = HasFatTimes(result.fsName);
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

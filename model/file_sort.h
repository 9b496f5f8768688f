#pragma once
// The order of the file list once a column header is clicked. Keys are made once per sort, so
// 100,000 rows sort without parsing a text per comparison.
#include <cstdint>
#include <vector>

#include "core/catalogue.h"
#include "core/run_result.h"

namespace brevant::ui {

enum class FileSortKey : std::uint8_t { Name, Time, Type, Size, Condition, Path };

// Sorts `files`, records of `result`, by `key`: names and paths in natural order ("file2" before
// "file10"), times and sizes by value, conditions from the best kept (intact) to the worst, live
// files first. Stable: rows with equal keys keep the order they had, also when descending.
void SortFiles(std::vector<const CatalogueNode*>& files, FileSortKey key, bool descending,
               const RunResult& result);

}  // namespace brevant::ui

#include "core/allocation.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace brevant {

void ClusterMap::Resize(std::uint64_t clusters) {
  clusters_ = clusters;
  words_.assign(static_cast<std::size_t>((clusters + 63) / 64), 0);
}

void ClusterMap::Mark(std::uint64_t first, std::uint64_t count) {
  if (first >= clusters_) return;
  const std::uint64_t end = first + std::min(count, clusters_ - first);
  for (std::uint64_t c = first; c < end;) {
    const std::uint64_t bit = c % 64;
    const std::uint64_t n = std::min<std::uint64_t>(64 - bit, end - c);
    const std::uint64_t mask = n == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << n) - 1) << bit;
    words_[static_cast<std::size_t>(c / 64)] |= mask;
    c += n;
  }
}

void ClusterMap::MarkBytes(std::uint64_t first, const std::uint8_t* bytes, std::size_t count) {
  if (first % 8 != 0) return;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t at = first + 8 * static_cast<std::uint64_t>(i);
    if (at >= clusters_) break;
    std::uint64_t value = bytes[i];
    if (clusters_ - at < 8) value &= (std::uint64_t{1} << (clusters_ - at)) - 1;
    words_[static_cast<std::size_t>(at / 64)] |= value << (at % 64);
  }
}

bool ClusterMap::Assign(std::uint64_t clusters, std::vector<std::uint64_t> words) {
  if (words.size() != (clusters + 63) / 64) return false;
  // Bits past the last cluster stay clear, as Mark keeps them.
  if (clusters % 64 != 0 && (words.back() >> (clusters % 64)) != 0) return false;
  clusters_ = clusters;
  words_ = std::move(words);
  return true;
}

bool ClusterMap::InUse(std::uint64_t cluster) const {
  if (cluster >= clusters_) return true;
  return (words_[static_cast<std::size_t>(cluster / 64)] >> (cluster % 64)) & 1;
}

std::uint64_t ClusterMap::CountInUse(std::uint64_t first, std::uint64_t count) const {
  if (first >= clusters_) return count;
  const std::uint64_t inside = std::min(count, clusters_ - first);
  std::uint64_t used = count - inside;
  const std::uint64_t end = first + inside;
  for (std::uint64_t c = first; c < end;) {
    const std::uint64_t bit = c % 64;
    const std::uint64_t n = std::min<std::uint64_t>(64 - bit, end - c);
    const std::uint64_t mask = n == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << n) - 1) << bit;
    used += static_cast<std::uint64_t>(std::popcount(words_[static_cast<std::size_t>(c / 64)] & mask));
    c += n;
  }
  return used;
}

void ClusterMap::Merge(const ClusterMap& other) {
  const std::size_t n = std::min(words_.size(), other.words_.size());
  for (std::size_t i = 0; i < n; ++i) words_[i] |= other.words_[i];
  // Bits past the last cluster stay clear.
  if (clusters_ % 64 != 0 && !words_.empty() && n == words_.size())
    words_.back() &= (std::uint64_t{1} << (clusters_ % 64)) - 1;
}

FileState JudgeRuns(const ClusterMap& inUse, std::span<const ClusterRun> runs, std::uint64_t size,
                    std::uint64_t clusterBytes) {
  if (size == 0) return {FileCondition::Intact, 0};
  if (clusterBytes == 0) return {};
  const std::uint64_t clusters = size / clusterBytes + (size % clusterBytes != 0);
  const std::uint64_t tail = size % clusterBytes;  // bytes of the last cluster, 0 when full
  std::uint64_t needed = 0, overwritten = 0;
  bool first = true, firstInUse = false;
  for (const ClusterRun& run : runs) {
    if (run.vcn >= clusters || run.length == 0) continue;
    const std::uint64_t n = std::min(run.length, clusters - run.vcn);
    const bool holdsLast = run.vcn + n == clusters && tail != 0;
    const std::uint64_t used = inUse.CountInUse(run.lcn, n);
    needed += n * clusterBytes - (holdsLast ? clusterBytes - tail : 0);
    overwritten += used * clusterBytes;
    if (holdsLast && inUse.InUse(run.lcn + n - 1)) overwritten -= clusterBytes - tail;
    if (first) firstInUse = inUse.InUse(run.lcn);
    first = false;
  }
  // Nothing of it lies in clusters (all sparse, or no run reaches its bytes): nothing to lose.
  if (needed == 0) return {FileCondition::Intact, 0};
  if (overwritten == 0) return {FileCondition::Intact, 0};
  if (firstInUse || overwritten >= needed) return {FileCondition::Overwritten, overwritten};
  return {FileCondition::PartlyOverwritten, overwritten};
}

DataPlacements::Where& DataPlacements::Slot(std::uint32_t file) {
  if (file >= where_.size()) where_.resize(static_cast<std::size_t>(file) + 1, {0, kUnknown});
  return where_[file];
}

void DataPlacements::SetRuns(std::uint32_t file, std::span<const ClusterRun> runs) {
  // Run lists of real files are short; a hostile one cannot take more than the index holds.
  if (runs.size() >= kInRecord || runs_.size() + runs.size() >= kUnknown) return;
  Where& w = Slot(file);
  w.first = static_cast<std::uint32_t>(runs_.size());
  w.count = static_cast<std::uint32_t>(runs.size());
  runs_.insert(runs_.end(), runs.begin(), runs.end());
}

void DataPlacements::SetInRecord(std::uint32_t file) { Slot(file) = {0, kInRecord}; }

DataPlacements::Kind DataPlacements::KindOf(std::uint32_t file) const {
  if (file >= where_.size() || where_[file].count == kUnknown) return Kind::Unknown;
  return where_[file].count == kInRecord ? Kind::InRecord : Kind::Runs;
}

std::span<const ClusterRun> DataPlacements::RunsOf(std::uint32_t file) const {
  if (KindOf(file) != Kind::Runs) return {};
  const Where& w = where_[file];
  return std::span<const ClusterRun>(runs_).subspan(w.first, w.count);
}

void DataPlacements::Clear() {
  where_ = {};
  runs_ = {};
}

void FileStates::Set(std::uint32_t file, FileState state) {
  if (file >= packed_.size()) packed_.resize(static_cast<std::size_t>(file) + 1, 0);
  constexpr std::uint64_t kBytesMask = (std::uint64_t{1} << 61) - 1;
  packed_[file] = (static_cast<std::uint64_t>(state.condition) + 1) << 61 |
                  std::min(state.overwrittenBytes, kBytesMask);
}

FileState FileStates::Get(std::uint32_t file) const {
  if (file >= packed_.size() || packed_[file] == 0) return {};
  const std::uint64_t v = packed_[file];
  return {static_cast<FileCondition>((v >> 61) - 1), v & ((std::uint64_t{1} << 61) - 1)};
}

}  // namespace brevant

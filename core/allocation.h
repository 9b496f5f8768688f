#pragma once
// Allocation facts of one volume, a bit per cluster, and where each deleted file's data lay:
// what a run needs to judge, once, whether that data is still there.
#include <cstdint>
#include <span>
#include <vector>

#include "core/file_condition.h"

namespace brevant {

struct CatalogueNode;

// Which clusters are in use now: by the volume's allocation map or claimed by a live file.
// Clusters are numbered as the file system numbers them (FAT from 2, NTFS from 0).
class ClusterMap {
 public:
  ClusterMap() = default;
  explicit ClusterMap(std::uint64_t clusters) { Resize(clusters); }
  void Resize(std::uint64_t clusters);
  std::uint64_t Clusters() const { return clusters_; }
  // Marks [first, first + count) in use; the part beyond the map is left out.
  void Mark(std::uint64_t first, std::uint64_t count);
  // Ors in a bitmap as NTFS keeps it (bit k of byte j: cluster first + 8j + k), from a
  // multiple of 8; bits beyond the map are left out.
  void MarkBytes(std::uint64_t first, const std::uint8_t* bytes, std::size_t count);
  bool InUse(std::uint64_t cluster) const;
  // How many of [first, first + count) are in use; clusters beyond the map count as in use,
  // since no data of this volume can lie there.
  std::uint64_t CountInUse(std::uint64_t first, std::uint64_t count) const;
  // Ors `other` in, cluster for cluster (up to the shorter of the two).
  void Merge(const ClusterMap& other);
  // The bits as stored, 64 clusters a word, and the same put back (a checkpoint's copy); a
  // word count that does not fit `clusters` is refused.
  const std::vector<std::uint64_t>& Words() const { return words_; }
  bool Assign(std::uint64_t clusters, std::vector<std::uint64_t> words);

 private:
  std::vector<std::uint64_t> words_;
  std::uint64_t clusters_ = 0;
};

// A stretch of a file's data: `length` clusters from `lcn`, holding the file's clusters from
// `vcn` on. Sparse stretches are left out: they need no cluster.
struct ClusterRun {
  std::uint64_t vcn = 0;
  std::uint64_t lcn = 0;
  std::uint64_t length = 0;
};

// What `inUse` says of a deleted file of `size` bytes whose data lies in `runs` (in vcn order):
// intact when none of the clusters holding its bytes is in use, overwritten when the first of
// them (or all) is, partly overwritten otherwise, with the bytes whose clusters are in use.
FileState JudgeRuns(const ClusterMap& inUse, std::span<const ClusterRun> runs, std::uint64_t size,
                    std::uint64_t clusterBytes);

// Where the data of the files a run catalogued lies, as the engine learned it while reading
// their records, by the files' catalogue order. A file with nothing recorded is unknown.
class DataPlacements {
 public:
  void SetRuns(std::uint32_t file, std::span<const ClusterRun> runs);
  // Data held in the file's own record, which no live file has taken: nothing to overwrite.
  void SetInRecord(std::uint32_t file);
  enum class Kind { Unknown, Runs, InRecord };
  Kind KindOf(std::uint32_t file) const;
  std::span<const ClusterRun> RunsOf(std::uint32_t file) const;
  bool Empty() const { return where_.empty(); }
  // One past the highest file order anything was recorded for.
  std::uint32_t Files() const { return static_cast<std::uint32_t>(where_.size()); }
  void Clear();

 private:
  struct Where {
    std::uint32_t first = 0;
    std::uint32_t count = 0;  // kUnknown / kInRecord, or the number of runs
  };
  static constexpr std::uint32_t kUnknown = 0xFFFFFFFF;
  static constexpr std::uint32_t kInRecord = 0xFFFFFFFE;
  Where& Slot(std::uint32_t file);
  std::vector<Where> where_;
  std::vector<ClusterRun> runs_;
};

// The facts a run gathers for the judgement while it reads the volume (NTFS: the runs of the
// live records and of $Bitmap itself; the places of deleted files' data).
struct ConditionFacts {
  // Off: the run gathers and judges nothing, every deleted file stays unknown (to measure
  // what the judgement costs).
  bool enabled = true;
  ClusterMap liveClaims;             // clusters the runs of live records name
  std::vector<ClusterRun> mapRuns;   // where the allocation map ($Bitmap) lies
  std::uint64_t mapBytes = 0;        // its size; 0 when its record was not seen
  DataPlacements placements;
  // The deleted files the engine catalogued, so the judgement need not walk every file.
  std::vector<const CatalogueNode*> deletedFiles;
  void Clear() {
    liveClaims = ClusterMap();
    mapRuns.clear();
    mapBytes = 0;
    placements.Clear();
    deletedFiles = {};
  }
};

// Judged states of the files of one catalogue, packed by catalogue order: a deleted file not
// judged reads as unknown.
class FileStates {
 public:
  void Set(std::uint32_t file, FileState state);
  FileState Get(std::uint32_t file) const;
  void Clear() { packed_.clear(); }

 private:
  std::vector<std::uint64_t> packed_;  // condition + 1 in the top 3 bits, bytes below
};

}  // namespace brevant

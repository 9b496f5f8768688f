#pragma once
// Everything a user can do with a disk, end to end through the engine: walk, selection,
// parameters, scan, result tree, file listing, extraction. Used by the damaged-image tests
// and the fuzz target; it counts broken promises instead of asserting, so both can use it.
#include <string>

#include "recovery/recovery_worker.h"
#include "core/text.h"
#include "disk/disks.h"
#include "model/file_listing.h"

namespace brevant {

class NullSink : public ByteSink {
 public:
  bool Write(const void*, std::size_t length) override {
    bytes += length;
    return true;
  }
  std::uint64_t bytes = 0;
};

struct PipelineResult {
  std::size_t partitions = 0;
  std::size_t folders = 0;
  std::size_t files = 0;
  std::size_t violations = 0;
  std::string firstViolation;
  void Violation(const std::string& what) {
    if (violations++ == 0) firstViolation = what;
  }
};

// `mode` is the recovery mode each run is asked for: 1 quick, 2 extensive.
inline PipelineResult RunWholePipeline(const platform::DiskFacts& facts,
                                       std::uint64_t largestExtract = 1 << 20, int mode = 1) {
  PipelineResult result;
  RecoverySession session;
  ui::ResultTree startup;
  int d = AddDisk(session, startup, facts);
  int count = session.driveRecords[d].partitionCount;
  result.partitions = static_cast<std::size_t>(count);
  for (int number = 1; number <= count; ++number) {
    RecoverySession s;
    ui::ResultTree t;
    int disk = AddDisk(s, t, facts);
    if (!SelectPartition(s, disk, number)) {
      result.Violation("partition " + std::to_string(number) + " cannot be selected");
      continue;
    }
    ReadBootSectorParameters(s);
    s.recoveryMode.store(static_cast<std::int16_t>(mode));
    RecordingView view;
    const RunOutcome outcome = RecoveryWorker(s, view);
    if (view.LastOutcome() != static_cast<int>(outcome))
      result.Violation("the view was told another outcome than the caller");
    if (outcome == RunOutcome::Failed) {
      // A failure is said once, and nothing is handed over.
      if (view.Messages().size() != 1 || view.LastResult())
        result.Violation("a failed run did not end with exactly its failure message");
      continue;
    }
    auto run = s.CurrentResult();
    if (!run || !run->tree || !run->paths || run != view.LastResult()) {
      result.Violation("no result handed over");
      continue;
    }
    std::vector<const ui::TreeItem*> stack{run->tree->Root()};
    while (!stack.empty()) {
      const ui::TreeItem* item = stack.back();
      stack.pop_back();
      ui::ListFolderFiles(*run, item);
      for (const auto& c : item->children) stack.push_back(c.get());
    }
    for (auto* n = run->catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      ++result.folders;
    for (auto* n = run->catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
      ++result.files;
      std::int64_t size = TextToInt(n->size);
      if (size < 0 || static_cast<std::uint64_t>(size) > largestExtract) continue;
      NullSink sink;
      ExtractResult r = ExtractResultFileTo(*run, sink, *n);
      // Never more bytes than asked for; a success is the whole file; a failure says why.
      if (sink.bytes > static_cast<std::uint64_t>(size))
        result.Violation(ToUtf8(n->name) + ": more bytes written than its size");
      if (r.ok && sink.bytes != static_cast<std::uint64_t>(size))
        result.Violation(ToUtf8(n->name) + ": success with a short file");
      if (!r.ok && r.error.empty()) result.Violation(ToUtf8(n->name) + ": failure without a reason");
    }
  }
  return result;
}

}  // namespace brevant

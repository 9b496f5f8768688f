// What judging deleted files' condition costs a scan: the same run of an NTFS (or FAT) volume
// with the judgement and without it (no runs kept during the walk, no allocation map read,
// nothing judged), alternately, best of several each.
//
// Usage: condition_bench IMAGE [PARTITION] [RUNS]   (bench/condition_bench.sh builds the image)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/run_result.h"
#include "disk/disks.h"
#include "recovery/recovery_worker.h"

using namespace brevant;
using Clock = std::chrono::steady_clock;

namespace {

struct Timed {
  double seconds = 0;
  FileFigures files;
};

Timed ScanOnce(const std::string& image, int partition, bool judge) {
  RecoverySession s;
  ui::ResultTree startup;
  EnumerateDisks(s, startup, nullptr, {image});
  if (!SelectPartition(s, 0, partition)) {
    std::fprintf(stderr, "partition %d cannot be selected\n", partition);
    std::exit(2);
  }
  ReadBootSectorParameters(s);
  s.recoveryMode.store(1);
  s.conditionFacts.enabled = judge;
  RecordingView view;
  const auto t0 = Clock::now();
  const RunOutcome outcome = RecoveryWorker(s, view);
  const auto t1 = Clock::now();
  if (outcome != RunOutcome::Completed) {
    std::fprintf(stderr, "the scan did not complete\n");
    std::exit(1);
  }
  return {std::chrono::duration<double>(t1 - t0).count(), s.CurrentResult()->files};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IMAGE [PARTITION] [RUNS]\n", argv[0]);
    return 2;
  }
  const std::string image = argv[1];
  const int partition = argc > 2 ? std::atoi(argv[2]) : 1;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
  ScanOnce(image, partition, true);  // warms the page cache
  double with = 1e30, without = 1e30;
  FileFigures figures;
  for (int i = 0; i < runs; ++i) {
    const Timed a = ScanOnce(image, partition, false);
    const Timed b = ScanOnce(image, partition, true);
    without = std::min(without, a.seconds);
    with = std::min(with, b.seconds);
    figures = b.files;
  }
  std::printf("files: %llu live, %llu deleted (%llu judged intact)\n",
              static_cast<unsigned long long>(figures.liveFiles),
              static_cast<unsigned long long>(figures.deletedFiles),
              static_cast<unsigned long long>(figures.intactFiles));
  std::printf("scan without conditions : %.3f s (best of %d)\n", without, runs);
  std::printf("scan with conditions    : %.3f s (best of %d)\n", with, runs);
  const double ratio = with / without;
  std::printf("with / without          : %.3f  (target <= 1.10)  %s\n", ratio,
              ratio <= 1.10 ? "ok" : "MISSED");
  return 0;
}

// Saving a run's result to a results file and reading it back: time, file size and peak memory
// against the memory the result itself takes.
//
// Usage: results_file_bench IMAGE [PARTITION]      a scan of the image's partition
//        results_file_bench --synthetic N          a FAT32 result of N files made in memory
// (bench/results_file_bench.sh runs it on the 200,000-file NTFS image and on 1,000,000 files.)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/text.h"
#include "disk/disks.h"
#include "model/result_tree.h"
#include "recovery/recovery_worker.h"
#include "recovery/results_file.h"

using namespace brevant;
using Clock = std::chrono::steady_clock;

namespace {

// A field of /proc/self/status in KiB (VmRSS: now; VmHWM: the peak since the last reset).
long StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// Starts a new peak from what the process holds now.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::shared_ptr<RunResult> ScanImage(const std::string& image, int partition, SavedRun* run) {
  RecoverySession s;
  ui::ResultTree startup;
  EnumerateDisks(s, startup, nullptr, {image});
  if (!SelectPartition(s, 0, partition)) {
    std::fprintf(stderr, "partition %d cannot be selected\n", partition);
    std::exit(2);
  }
  ReadBootSectorParameters(s);
  s.recoveryMode.store(1);
  std::string error;
  if (!ReadSourceIdentity(image, s.selectedPartitionStart, s.selectedPartitionEnd,
                          s.selectedSectorSize, &run->source, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  run->partitionNumber = partition;
  run->mode = "quick";
  RecordingView view;
  if (RecoveryWorker(s, view) != RunOutcome::Completed) {
    std::fprintf(stderr, "the scan did not complete\n");
    std::exit(1);
  }
  return s.CurrentResult();
}

// N files in N/100 folders, named and dated as a FAT scan catalogues them.
std::shared_ptr<RunResult> Synthetic(std::uint64_t files, SavedRun* run) {
  RecoverySession s;
  s.devicePath = {"/dev/null"};
  s.scanFsName = s.selectedFsName = "FAT32";
  s.scanParams.fsName = "FAT32";
  const std::uint64_t folders = std::max<std::uint64_t>(1, files / 100);
  for (std::uint64_t f = 0; f < folders; ++f)
    s.catalogue.AppendFolder(u"Folder " + ToText(f), ToText(1000 + f), ToText(3 + f),
                             f < 50 ? u"0" : ToText(3 + f % 50), u"2024-05-01", u"12:00:00", u"0",
                             u"16", u"", u"FOLDER", u"0", 0);
  for (std::uint64_t i = 0; i < files; ++i)
    s.catalogue.AppendFile(u"Document number " + ToText(i) + u".txt", ToText(500000 + i),
                           ToText(100000 + i), ToText(3 + i % folders), u"2024-05-01",
                           u"12:00:00", ToText(1000 + i % 7777), u"32", u"", u"FILE",
                           i % 50 == 0 ? u"1" : u"0", 0);
  auto result = std::make_shared<RunResult>();
  result->fsName = "FAT32";
  result->devicePath = "/dev/null";
  auto tree = std::make_shared<ui::ResultTree>();
  RecordingView view;
  BuildResultTree(s, view, *tree);
  AssembleResult(s, *result, tree, [](RunResult&) {});
  run->source.path = "/dev/null";
  run->partitionNumber = 1;
  run->mode = "quick";
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IMAGE [PARTITION] | --synthetic N\n", argv[0]);
    return 2;
  }
  const std::string first = argv[1];
  if (first == "--read" && argc > 3) {
    // Reading back in a process of its own: memory a scan freed cannot hide the peak.
    const long held = std::atol(argv[3]);
    const long base = StatusKiB("VmRSS");
    SavedRun back;
    std::string error;
    const auto t0 = Clock::now();
    auto loaded = LoadResults(argv[2], &back, &error);
    const auto t1 = Clock::now();
    if (!loaded) {
      std::fprintf(stderr, "load: %s\n", error.c_str());
      return 1;
    }
    const long peak = StatusKiB("VmHWM") - base;
    const long kept = StatusKiB("VmRSS") - base;
    std::printf("read back               : %.3f s, peak +%.1f MiB, kept %.1f MiB (peak %.2f x the "
                "result; target < 2)\n",
                Seconds(t0, t1), peak / 1024.0, kept / 1024.0,
                held > 0 ? static_cast<double>(peak) / held : 0.0);
    return 0;
  }
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("results_file_bench." + std::to_string(getpid()));
  SavedRun run;
  const long base = StatusKiB("VmRSS");
  std::shared_ptr<RunResult> result =
      first == "--synthetic" ? Synthetic(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000, &run)
                             : ScanImage(first, argc > 2 ? std::atoi(argv[2]) : 1, &run);
  const long held = StatusKiB("VmRSS") - base;  // what the result takes in memory
  const std::uint64_t entries =
      result->catalogue.folderList.count.load() + result->catalogue.fileList.count.load();

  std::string error;
  ResetPeak();
  const long beforeSave = StatusKiB("VmRSS");
  auto t0 = Clock::now();
  if (!SaveResults(file, *result, run, &error)) {
    std::fprintf(stderr, "save: %s\n", error.c_str());
    return 1;
  }
  auto t1 = Clock::now();
  const double saveSeconds = Seconds(t0, t1);
  const long savePeak = StatusKiB("VmHWM") - beforeSave;
  const auto size = std::filesystem::file_size(file);

  result.reset();
  std::printf("entries                 : %llu\n", static_cast<unsigned long long>(entries));
  std::printf("result in memory        : %.1f MiB\n", held / 1024.0);
  std::printf("save                    : %.3f s, file %.1f MiB (%.0f bytes an entry)\n",
              saveSeconds, size / 1048576.0, static_cast<double>(size) / static_cast<double>(entries));
  std::printf("save peak memory        : +%.1f MiB over the result\n", savePeak / 1024.0);
  std::fflush(stdout);
  const std::string read = "'" + std::filesystem::read_symlink("/proc/self/exe").string() +
                           "' --read '" + file.string() + "' " + std::to_string(held);
  const int status = std::system(read.c_str());
  std::filesystem::remove(file);
  return status == 0 ? 0 : 1;
}

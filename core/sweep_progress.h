#pragma once
// Progress of a sweep over a range of sectors: the percentage, how far the sweep has come and
// an estimate of the time left, which a long search owes the person waiting for it.
#include <chrono>
#include <cstdint>
#include <string>

#include "core/recovery_view.h"

namespace brevant {

class SweepProgress {
 public:
  SweepProgress(RecoveryView& view, std::uint64_t totalSectors);
  // `done` sectors of the total swept. Reports when the percentage changes, or at most once a
  // second otherwise, so the estimate keeps moving on a slow disk.
  void Report(std::uint64_t done);
  // "about 1:05 left" for the given rate, or empty while there is nothing to go by.
  static std::u16string TimeLeftText(std::uint64_t done, std::uint64_t total, double seconds);

 private:
  RecoveryView& view_;
  std::uint64_t total_;
  int lastPercent_ = -1;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastReport_;
};

}  // namespace brevant

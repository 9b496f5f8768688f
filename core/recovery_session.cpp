#include "core/recovery_session.h"

#include <utility>

#include "core/run_result.h"

namespace brevant {

RecoverySession::RecoverySession() = default;

const std::string& RecoverySession::SelectedDevice() const {
  static const std::string kNone;
  return selectedDisk < devicePath.size() ? devicePath[selectedDisk] : kNone;
}

void RecoverySession::EnsureDisk(std::size_t d) {
  if (devicePath.size() <= d) devicePath.resize(d + 1);
  if (driveRecords.size() <= d) driveRecords.resize(d + 1);
}

std::shared_ptr<RunResult> RecoverySession::CurrentResult() const {
  std::lock_guard lock(resultMutex_);
  return currentResult_;
}

void RecoverySession::SetCurrentResult(std::shared_ptr<RunResult> result) {
  std::shared_ptr<RunResult> previous;
  {
    std::lock_guard lock(resultMutex_);
    previous = std::exchange(currentResult_, std::move(result));
  }
  // The previous result is released outside the lock: freeing a large one takes a while.
}

PartitionFigures RecoverySession::SelectedFigures() const {
  std::lock_guard lock(resultMutex_);
  return selectedFigures_;
}

void RecoverySession::SetSelectedFigures(const PartitionFigures& figures) {
  std::lock_guard lock(resultMutex_);
  selectedFigures_ = figures;
}

bool HonourStop(RecoverySession& session, RecoveryView& view) {
  if (session.stopRequested.load() != 1) return false;
  session.recoveryThread.store(0);
  session.stopRequested.store(0);
  // The worker learns from this that its engine step ended early.
  session.stopHonoured.store(1);
  view.SetStatusText(u"Process Aborted...");
  return true;
}

void UnreadableIndex::Add(std::uint64_t firstRecord, std::uint64_t count, std::uint64_t firstSector,
                          UnreadableCause cause) {
  if (count == 0) return;
  records += count;
  if (stretches > 0 && last_.cause == cause && last_.firstRecord + last_.count == firstRecord) {
    last_.count += count;
    if (stretches <= named.size()) named.back().count += count;
    return;
  }
  last_ = {firstRecord, count, firstSector, cause};
  ++stretches;
  if (named.size() < kNamedStretches) named.push_back(last_);
}

const char* UnreadableCauseText(UnreadableCause cause) {
  switch (cause) {
    case UnreadableCause::ReadError:
      return "read error";
    case UnreadableCause::BeyondEnd:
      return "past the end of the disk or partition";
    case UnreadableCause::Unmapped:
      return "where they lie is unknown";
  }
  return "";
}

}  // namespace brevant

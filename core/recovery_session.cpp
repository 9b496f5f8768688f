#include "core/recovery_session.h"


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

bool HonourStop(RecoverySession& session, RecoveryView& view) {
  if (session.stopRequested.load() != 1) return false;
  session.recoveryThread.store(0);
  session.stopRequested.store(0);
  view.SetStatusText(u"Process Aborted...");
  return true;
}

}  // namespace brevant

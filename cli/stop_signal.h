#pragma once
// Ctrl-C and SIGTERM on the command line: the same stop request the window's Stop button makes.
#include "core/recovery_session.h"

namespace brevant::cli {

// The exit status of a command that a signal stopped (128 + SIGINT, as shells report it).
inline constexpr int kStoppedExitStatus = 130;

// While an object lives, SIGINT and SIGTERM no longer kill the process: the first one sets the
// watched session's `stopRequested` (the engines end at their next check) and is remembered, so
// output and recovery loops can stop cleanly and the command can exit with
// `kStoppedExitStatus`. A second signal while the first is being honoured ends the process at
// once with that status, unless `AllowAnother` said it is awaited. One object at a time.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // The session whose stop request a signal sets; null for none. A signal that arrived
  // before a session was watched is passed on to it here.
  void Watch(RecoverySession* session);
  // True once a signal arrived, even after an engine has honoured and cleared the request.
  bool Received() const;
  // Signals received so far.
  int Count() const;
  // The next signal is only counted, not fatal (a loop that polls Count() ends on it); one
  // after that ends the process at once. For printing what a stopped scan found: the first
  // stop ended the scan, a second one cuts the printing short.
  void AllowAnother();
};

}  // namespace brevant::cli

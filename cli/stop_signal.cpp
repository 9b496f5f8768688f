#include "cli/stop_signal.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace brevant::cli {
namespace {

std::atomic<RecoverySession*> gWatched{nullptr};
volatile std::sig_atomic_t gReceived = 0;  // signals counted
volatile std::sig_atomic_t gAllowed = 1;   // signals counted before one ends the process
struct sigaction gOldInt, gOldTerm;

static_assert(std::atomic<RecoverySession*>::is_always_lock_free &&
                  std::atomic<std::int32_t>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

extern "C" void OnStopSignal(int) {
  // Asked again: the user does not want to wait.
  if (gReceived >= gAllowed) _exit(kStoppedExitStatus);
  gReceived = gReceived + 1;
  if (RecoverySession* s = gWatched.load()) s->stopRequested.store(1);
}

}  // namespace

StopSignal::StopSignal() {
  gReceived = 0;
  gAllowed = 1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Reads and writes resume after the handler: an interrupted read must not look like a bad sector.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &gOldInt);
  sigaction(SIGTERM, &action, &gOldTerm);
}

StopSignal::~StopSignal() {
  sigaction(SIGINT, &gOldInt, nullptr);
  sigaction(SIGTERM, &gOldTerm, nullptr);
  gWatched.store(nullptr);
}

void StopSignal::Watch(RecoverySession* session) {
  gWatched.store(session);
  if (session && gReceived) session->stopRequested.store(1);
}

bool StopSignal::Received() const { return gReceived != 0; }

int StopSignal::Count() const { return gReceived; }

void StopSignal::AllowAnother() { gAllowed = gReceived + 1; }

}  // namespace brevant::cli

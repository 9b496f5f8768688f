#pragma once
// Where a long sweep stands, so that a run interrupted by a stop, a crash or a pulled cable can
// go on from there instead of reading the disk again from the start.
#include <cstdint>
#include <string>
#include <vector>

namespace brevant {

struct RecoverySession;

// One sweep's place and private state. The rest of what the run found so far (the catalogue,
// the MFT extents, the unreadable records, the parameters) is in the session when the
// checkpoint is taken, and is put back into a fresh session before the sweep resumes.
struct SweepCheckpoint {
  std::string sweep;           // which sweep: "fat", "ntfs" or "deep"
  std::uint64_t position = 0;  // the first absolute sector not yet swept
  std::uint64_t end = 0;       // one past the last sector the sweep covers
  // The sweep's own state (what it gathered but has not yet catalogued, the condition facts),
  // encoded by the sweep itself, little-endian, with its own version in front. Catalogue nodes
  // are named by their catalogue order, never by address.
  std::vector<std::uint8_t> state;
};

// Receives checkpoints. Sweeps call it on the run's thread at least every `interval` seconds
// and once more when a stop is honoured, at a moment when the session's catalogue holds exactly
// what was found before `checkpoint.position`.
class CheckpointSink {
 public:
  virtual ~CheckpointSink() = default;
  virtual void Save(const RecoverySession& session, const SweepCheckpoint& checkpoint) = 0;
  // Seconds between checkpoints (tests make it 0: one at every batch).
  virtual double IntervalSeconds() const { return 30.0; }
};

}  // namespace brevant

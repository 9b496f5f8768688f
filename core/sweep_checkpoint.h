#pragma once
// Where a long sweep stands, so that a run interrupted by a stop, a crash or a pulled cable can
// go on from there instead of reading the disk again from the start.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brevant {

struct RecoverySession;
class Catalogue;
struct ConditionFacts;

// One sweep's place and private state. The rest of what the run found so far (the catalogue,
// the MFT extents, the unreadable records, the parameters) is in the session when the
// checkpoint is taken, and is put back into a fresh session before the sweep resumes.
struct SweepCheckpoint {
  std::string sweep;           // which sweep: "fat", "ntfs" or "deep"
  std::uint64_t position = 0;  // the first absolute sector not yet swept
  std::uint64_t end = 0;       // one past the last sector the sweep covers
  // The sweep's own state (what it gathered but has not yet catalogued, the condition facts),
  // encoded by the sweep itself, little-endian, with its own version in front. Catalogue nodes
  // are named by their catalogue order, never by address. "fat": the clusters accounted for,
  // the directories met and the clusters noted for after the sweep; "ntfs": the records and
  // index entries found so far and the MFT walk's condition facts; "deep": the disk searched,
  // the candidates met and the volumes filed on the disks searched before it. A state that
  // cannot be used fails the run with the reason (session.failureReason) instead.
  std::vector<std::uint8_t> state;
};

// Receives checkpoints. Sweeps call it on the run's thread at least every `interval` seconds
// and once more when a stop is honoured, at a moment when the session's catalogue holds exactly
// what was found before `checkpoint.position`. (The steps before a sweep, such as the live
// tree or the MFT walk, take none: stopped there, a run starts again from the beginning.)
class CheckpointSink {
 public:
  virtual ~CheckpointSink() = default;
  virtual void Save(const RecoverySession& session, const SweepCheckpoint& checkpoint) = 0;
  // Seconds between checkpoints (tests make it 0: one at every batch).
  virtual double IntervalSeconds() const { return 30.0; }
};

// A sweep's side of the sink: says when a checkpoint is due and hands it over. Inactive (never
// due) when the session has no sink.
class Checkpointer {
 public:
  Checkpointer(const RecoverySession& session, std::string sweep);
  bool Active() const { return sink_ != nullptr; }
  // The sink's interval has passed since the last checkpoint (or since the sweep began).
  bool Due() const;
  void Save(std::uint64_t position, std::uint64_t end, std::vector<std::uint8_t> state);

 private:
  const RecoverySession& session_;
  CheckpointSink* sink_;
  std::string sweep_;
  std::chrono::steady_clock::time_point last_;
};

// Copies what a checkpoint keeps of `from` into `to`, as a results file saves and restores it:
// the catalogue (folders and files in catalogue order, every field), the MFT extents, the
// partition and scan parameters, the file system scanned, the selection, the unreadable
// records, the run's mode, the device name and the search range. Whatever `to` held of these
// is replaced; the sweep's own state travels in SweepCheckpoint::state.
void CopyCheckpointFields(const RecoverySession& from, RecoverySession& to);

// Writes a sweep's state: little-endian numbers, texts and lists with their length in front.
class StateWriter {
 public:
  void U8(std::uint8_t v) { bytes_.push_back(v); }
  void U16(std::uint16_t v) { Fixed(v, 2); }
  void U32(std::uint32_t v) { Fixed(v, 4); }
  void U64(std::uint64_t v) { Fixed(v, 8); }
  void I64(std::int64_t v) { Fixed(static_cast<std::uint64_t>(v), 8); }
  void Text(std::u16string_view text);
  void Text8(std::string_view text);
  std::vector<std::uint8_t> Take() { return std::move(bytes_); }

 private:
  void Fixed(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::vector<std::uint8_t> bytes_;
};

// Reads it back. A state is as untrusted as a disk (a results file can be cut short or
// damaged): every read is bounded by the blob, and after the first failure every read yields
// zero and Ok() stays false.
class StateReader {
 public:
  explicit StateReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  std::uint8_t U8() { return static_cast<std::uint8_t>(Fixed(1)); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Fixed(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Fixed(4)); }
  std::uint64_t U64() { return Fixed(8); }
  std::int64_t I64() { return static_cast<std::int64_t>(Fixed(8)); }
  bool Bool() { return U8() != 0; }
  std::u16string Text();
  std::string Text8();
  // A count of items of at least `minBytes` each: refused (0, and the reader fails) when the
  // rest of the blob cannot hold that many, so no count can make a reader allocate without end.
  std::uint64_t Count(std::size_t minBytes);
  void Fail() { ok_ = false; }
  bool Ok() const { return ok_; }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::uint64_t Fixed(int n);
  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// The condition facts a run gathered, with catalogue files named by their order. Decoding
// needs the catalogue they name (restored first) and fails on an order it does not hold.
void EncodeConditionFacts(StateWriter& out, const ConditionFacts& facts);
bool DecodeConditionFacts(StateReader& in, const Catalogue& catalogue, ConditionFacts& facts);

}  // namespace brevant

#pragma once
// A file as an engine found it, in the order of its bytes: stretches of the source, zeros
// (sparse data, data past the initialized length) and bytes already at hand (resident data).
// One writer copies any plan, so both engines treat holes, unreadable sectors, kernel copies,
// a full destination and a stop request alike.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/output_file.h"

namespace brevant {

struct ExtractPiece {
  enum class Kind { Source, Zeros, Bytes };
  Kind kind = Kind::Zeros;
  std::uint64_t offset = 0;  // byte offset on the source (Source)
  std::uint64_t length = 0;
  std::vector<std::uint8_t> bytes;  // Bytes
};

struct ExtractPlan {
  std::string device;  // the source, as ReadSectors names it
  std::vector<ExtractPiece> pieces;
  // Data that must be computed (compressed) writes itself instead: through the sink, setting
  // the result's error on failure; false when it failed. It honours the stop request of
  // whoever writes the plan, which need not be the session that planned it.
  std::function<bool(ByteSink&, ExtractResult&, const std::atomic<std::int32_t>* stop)> produce;
  std::uint64_t produceBytes = 0;  // what `produce` writes, for the space it needs
  std::optional<std::int64_t> modifiedTime;
  // Set when the pieces end before the file does (damage found while planning): what they
  // hold is still written, and the result is a failure with this reason.
  std::string incomplete;

  // Appends, joining a piece to the one before when they continue each other.
  void AddSource(std::uint64_t offset, std::uint64_t length);
  void AddZeros(std::uint64_t length);
  void AddBytes(const std::uint8_t* data, std::size_t length);
  std::uint64_t Size() const;
  // Bytes the destination must hold: everything but the zeros, which become holes.
  std::uint64_t BytesNeeded() const;
  // The pieces as runs of the file, in order (data `produce` computes is not among them).
  std::vector<ByteRun> Runs() const;
};

// Copies `plan` into `sink`. Source stretches go through the sink's kernel copy where it
// offers one and through a buffer otherwise; unreadable sectors are written as zeros and
// counted, the rest of the file still copied. Checks `stop` between pieces of a few MiB.
// The result is ok only when every byte was copied as it stands on the source.
ExtractResult WritePlan(const ExtractPlan& plan, ByteSink& sink,
                        const std::atomic<std::int32_t>* stop);

// Told, on the writing thread, when a file exists and when it is closed again (whatever became
// of it): a caller that must tidy up behind an unfinished write knows what to remove.
class WriteWatch {
 public:
  virtual ~WriteWatch() = default;
  virtual void Opened(const std::filesystem::path& path) = 0;
  virtual void Closed(const std::filesystem::path& path) = 0;
};

// Writes `plan` as a new file `name` (sanitised, never overwriting) inside `folder`, with the
// plan's modification time. A file of which nothing could be written is removed again; one
// written in part is kept and its result says so (path set, not ok). With `details` the result
// also carries the SHA-256 of what was written and the plan's runs; every byte then passes
// through our buffer (no kernel copy), since the hash must see it.
ExtractResult WritePlanToFolder(const ExtractPlan& plan, platform::OutputFolder& folder,
                                std::u16string_view name, const std::atomic<std::int32_t>* stop,
                                WriteWatch* watch = nullptr, bool details = false);

}  // namespace brevant

#include "core/extract_plan.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/read_sectors.h"
#include "core/sha256.h"
#include "core/text.h"
#include "platform/sector_device.h"

namespace brevant {
namespace {

constexpr std::uint64_t kSector = platform::kSectorSize;
constexpr std::uint64_t kBufferBytes = 4u << 20;       // one read through our own buffer
constexpr std::uint64_t kKernelCopyBytes = 64u << 20;  // one kernel copy between stop checks
constexpr std::uint64_t kStreamedZeros = 1u << 20;     // zeros written to a stream at once

// The copy buffer, kept per thread: never cleared, since every byte of it that is written
// was read (or zero-filled) just before.
std::uint8_t* Buffer() {
  thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kBufferBytes + kSector]);
  return buffer.get();
}

class Writer {
 public:
  Writer(const ExtractPlan& plan, ByteSink& sink, const std::atomic<std::int32_t>* stop,
         ExtractResult& result)
      : plan_(plan), sink_(sink), stop_(stop), result_(result) {}

  bool Stopped() {
    if (!stop_ || stop_->load() != 1) return false;
    result_.stopped = true;
    result_.error = "stopped before its end";
    return true;
  }

  bool WriteFailed() {
    result_.destinationFull = sink_.DestinationFull();
    result_.error = sink_.LastError();
    return false;
  }

  bool Bytes(const std::vector<std::uint8_t>& bytes) {
    if (!bytes.empty() && !sink_.Write(bytes.data(), bytes.size())) return WriteFailed();
    result_.bytesWritten += bytes.size();
    return true;
  }

  bool Zeros(std::uint64_t length) {
    // A hole costs nothing; zeros streamed out (standard output) go in pieces, so that even
    // terabytes of them stop promptly.
    const std::uint64_t step = sink_.MakesHoles() ? length : kStreamedZeros;
    while (length > 0) {
      if (Stopped()) return false;
      const std::uint64_t piece = std::min(length, step);
      if (!sink_.WriteZeros(piece)) return WriteFailed();
      result_.bytesWritten += piece;
      length -= piece;
    }
    return true;
  }

  bool Source(std::uint64_t offset, std::uint64_t length) {
    if (!device_) device_ = platform::DeviceTable::Instance().Get(plan_.device);
    while (length > 0) {
      if (Stopped()) return false;
      if (device_) {
        const std::int64_t copied =
            sink_.CopyFromDevice(*device_, offset, std::min(length, kKernelCopyBytes));
        // A kernel copy refused for lack of room takes nothing; through the buffer below,
        // whatever still fits is written before the failure is reported.
        if (copied < 0 && !sink_.DestinationFull()) return WriteFailed();
        const auto n = static_cast<std::uint64_t>(std::max<std::int64_t>(copied, 0));
        offset += n;
        length -= n;
        result_.bytesWritten += n;
        if (n > 0) continue;
      }
      // Refused, or the source failed to read: this stretch goes through our buffer, which
      // reads around unreadable sectors.
      const std::uint64_t skew = offset % kSector;
      const std::uint64_t piece = std::min(length, kBufferBytes - skew);
      const std::uint64_t first = offset / kSector;
      const auto sectors = static_cast<std::uint32_t>((skew + piece + kSector - 1) / kSector);
      std::uint8_t* buffer = Buffer();
      if (const std::uint32_t bad = ReadSectorsZeroFilling(plan_.device, buffer, first, sectors)) {
        if (result_.unreadableSectors == 0) firstUnreadable_ = FirstUnreadable(first, sectors);
        result_.unreadableSectors += bad;
      }
      if (!sink_.Write(buffer + skew, static_cast<std::size_t>(piece))) return WriteFailed();
      offset += piece;
      length -= piece;
      result_.bytesWritten += piece;
    }
    return true;
  }

  std::uint64_t FirstUnreadable() const { return firstUnreadable_; }

 private:
  // Which sector of a run failed, for the message: found again one sector at a time, which
  // only happens on a damaged source.
  std::uint64_t FirstUnreadable(std::uint64_t first, std::uint32_t sectors) {
    std::uint8_t one[kSector];
    for (std::uint32_t s = 0; s < sectors; ++s)
      if (ReadSectors(plan_.device, one, first + s, 1) != 1) return first + s;
    return first;
  }

  const ExtractPlan& plan_;
  ByteSink& sink_;
  const std::atomic<std::int32_t>* stop_;
  ExtractResult& result_;
  std::shared_ptr<platform::SectorDevice> device_;
  std::uint64_t firstUnreadable_ = 0;
};

// Hashes what goes through to the sink it wraps. Kernel copies are refused, so every byte is
// read into our buffer and seen here; zeros are hashed whether they become holes or not.
class DigestSink : public ByteSink {
 public:
  explicit DigestSink(ByteSink& inner) : inner_(inner) {}
  bool Write(const void* data, std::size_t length) override {
    if (!inner_.Write(data, length)) return Fail();
    hash_.Update(data, length);
    return true;
  }
  bool WriteZeros(std::uint64_t length) override {
    if (!inner_.WriteZeros(length)) return Fail();
    hash_.UpdateZeros(length);
    return true;
  }
  bool MakesHoles() const override { return inner_.MakesHoles(); }
  std::string LastError() const override { return inner_.LastError(); }
  bool DestinationFull() const override { return inner_.DestinationFull(); }
  // Nothing when a write failed: what reached the file is then not known to the byte.
  std::optional<Sha256::Digest> Digest() {
    if (failed_) return std::nullopt;
    return hash_.Final();
  }

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }
  ByteSink& inner_;
  Sha256 hash_;
  bool failed_ = false;
};

}  // namespace

std::vector<ByteRun> ExtractPlan::Runs() const {
  std::vector<ByteRun> runs;
  runs.reserve(pieces.size());
  std::uint64_t at = 0;
  for (const ExtractPiece& p : pieces) {
    ByteRun run;
    run.kind = p.kind == ExtractPiece::Kind::Source  ? ByteRun::Kind::Source
               : p.kind == ExtractPiece::Kind::Zeros ? ByteRun::Kind::Zeros
                                                     : ByteRun::Kind::Bytes;
    run.fileOffset = at;
    run.sourceOffset = p.kind == ExtractPiece::Kind::Source ? p.offset : 0;
    run.length = p.length;
    runs.push_back(run);
    at += p.length;
  }
  return runs;
}

void ExtractPlan::AddSource(std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  if (!pieces.empty() && pieces.back().kind == ExtractPiece::Kind::Source &&
      pieces.back().offset + pieces.back().length == offset) {
    pieces.back().length += length;
    return;
  }
  pieces.push_back({ExtractPiece::Kind::Source, offset, length, {}});
}

void ExtractPlan::AddZeros(std::uint64_t length) {
  if (length == 0) return;
  if (!pieces.empty() && pieces.back().kind == ExtractPiece::Kind::Zeros) {
    pieces.back().length += length;
    return;
  }
  pieces.push_back({ExtractPiece::Kind::Zeros, 0, length, {}});
}

void ExtractPlan::AddBytes(const std::uint8_t* data, std::size_t length) {
  if (length == 0) return;
  pieces.push_back(
      {ExtractPiece::Kind::Bytes, 0, length, std::vector<std::uint8_t>(data, data + length)});
}

std::uint64_t ExtractPlan::Size() const {
  std::uint64_t size = produceBytes;
  for (const ExtractPiece& p : pieces) size += p.length;
  return size;
}

std::uint64_t ExtractPlan::BytesNeeded() const {
  std::uint64_t bytes = produceBytes;
  for (const ExtractPiece& p : pieces)
    if (p.kind != ExtractPiece::Kind::Zeros) bytes += p.length;
  return bytes;
}

ExtractResult WritePlan(const ExtractPlan& plan, ByteSink& sink,
                        const std::atomic<std::int32_t>* stop) {
  ExtractResult result;
  result.modifiedTime = plan.modifiedTime;
  Writer writer(plan, sink, stop, result);
  for (const ExtractPiece& piece : plan.pieces) {
    bool ok = true;
    switch (piece.kind) {
      case ExtractPiece::Kind::Bytes:
        ok = writer.Bytes(piece.bytes);
        break;
      case ExtractPiece::Kind::Zeros:
        ok = writer.Zeros(piece.length);
        break;
      case ExtractPiece::Kind::Source:
        ok = writer.Source(piece.offset, piece.length);
        break;
    }
    if (!ok) return result;
  }
  if (plan.produce) {
    if (writer.Stopped()) return result;
    if (!plan.produce(sink, result, stop)) return result;
  }
  if (!plan.incomplete.empty()) {
    result.error = plan.incomplete;
    return result;
  }
  if (result.unreadableSectors > 0) {
    const std::uint64_t n = result.unreadableSectors;
    result.error = "sector " + std::to_string(writer.FirstUnreadable()) + " cannot be read (" +
                   std::to_string(n) + " unreadable sector" + (n == 1 ? "" : "s") +
                   " written as zeros)";
    return result;
  }
  result.ok = true;
  return result;
}

ExtractResult WritePlanToFolder(const ExtractPlan& plan, platform::OutputFolder& folder,
                                std::u16string_view name, const std::atomic<std::int32_t>* stop,
                                WriteWatch* watch, bool details) {
  ExtractResult result;
  std::string error;
  auto file = folder.CreateFile(ToUtf8(SanitiseName(name)), &error);
  if (!file) {
    result.error = error;
    return result;
  }
  std::filesystem::path watched;
  if (watch) {
    watched = folder.Path() / file->Name();
    watch->Opened(watched);
  }
  OutputFileSink sink(*file);
  std::optional<DigestSink> digest;
  if (details) digest.emplace(sink);
  result = WritePlan(plan, digest ? static_cast<ByteSink&>(*digest) : sink, stop);
  // A write that failed part-way still put bytes in the file.
  result.bytesWritten = std::max(result.bytesWritten, file->Position());
  const bool finished = file->Finish();
  if (result.modifiedTime) file->SetModifiedTime(*result.modifiedTime);
  const bool closed = file->Close();
  if ((!finished || !closed) && result.ok) {
    result.ok = false;
    result.destinationFull = file->DestinationFull();
    result.error = file->Error();
  }
  if (digest) {
    if (finished && closed) result.sha256 = digest->Digest();
    result.runs = plan.Runs();
  }
  if (!result.ok && result.bytesWritten == 0 && plan.Size() > 0) {
    // Nothing of the file could be written: an empty file would only pass for it.
    folder.RemoveFile(file->Name());
    result.sha256.reset();
  } else {
    result.path = folder.Path() / file->Name();
  }
  if (watch) watch->Closed(watched);
  return result;
}

}  // namespace brevant

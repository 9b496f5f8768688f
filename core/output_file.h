#pragma once
// Where recovered bytes go: files below a folder the user chose, or standard output.
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/output_folder.h"

namespace brevant {

struct CatalogueNode;

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const void* data, std::size_t length) = 0;
  // `length` zero bytes: a hole where MakesHoles(), written zeros otherwise.
  virtual bool WriteZeros(std::uint64_t length);
  virtual bool MakesHoles() const { return false; }
  // Bytes of `device` copied without a buffer of ours; fewer (even 0) when the sink or the
  // system cannot, -1 when writing failed.
  virtual std::int64_t CopyFromDevice(platform::SectorDevice& /*device*/,
                                      std::uint64_t /*offset*/, std::uint64_t /*length*/) {
    return 0;
  }
  // Why the last write failed, and whether the destination was full.
  virtual std::string LastError() const { return "the output cannot be written"; }
  virtual bool DestinationFull() const { return false; }
};

// A sink over a platform output file: holes and kernel copies where the file allows them.
class OutputFileSink : public ByteSink {
 public:
  explicit OutputFileSink(platform::OutputFile& file) : file_(file) {}
  bool Write(const void* data, std::size_t length) override;
  bool WriteZeros(std::uint64_t length) override;
  bool MakesHoles() const override { return file_.MakesHoles(); }
  std::int64_t CopyFromDevice(platform::SectorDevice& device, std::uint64_t offset,
                              std::uint64_t length) override;
  std::string LastError() const override { return file_.Error(); }
  bool DestinationFull() const override { return file_.DestinationFull(); }

 private:
  platform::OutputFile& file_;
};

class FileSink : public ByteSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  bool Write(const void* data, std::size_t length) override;

 private:
  std::FILE* file_;
};

// Where a stretch of a recovered file came from, for the recovery report.
struct ByteRun {
  enum class Kind { Source, Zeros, Bytes };  // read from the source, a hole, resident bytes
  Kind kind = Kind::Source;
  std::uint64_t fileOffset = 0;
  std::uint64_t sourceOffset = 0;  // byte offset on the source device or image (Source)
  std::uint64_t length = 0;
};

struct ExtractResult {
  bool ok = false;
  std::uint64_t bytesWritten = 0;
  std::string error;                       // one clear line when !ok
  std::filesystem::path path;              // the file written, when there is one
  std::optional<std::int64_t> modifiedTime;  // Unix seconds, when the engine knows it
  std::uint64_t unreadableSectors = 0;     // written as zeros; the rest of the file is copied
  bool stopped = false;                    // a stop request ended the copy early
  bool destinationFull = false;            // the destination ran out of space
  // Only when the writer was asked for them (a recovery report): the SHA-256 of the bytes the
  // file holds, when every one of them was written, and where the file's bytes came from.
  std::optional<std::array<std::uint8_t, 32>> sha256;
  std::vector<ByteRun> runs;
};

// A name read from the disk made safe as one path component: no separators, no "." or "..",
// no control characters; never empty.
std::u16string SanitiseName(std::u16string_view name);
// A path below `folder` for `name` (sanitised) that does not exist yet: " (1)", " (2)", ...
// is added before the extension when needed.
std::filesystem::path UniqueOutputPath(const std::filesystem::path& folder, std::u16string_view name);
std::filesystem::path PathFromText(std::u16string_view text);
// Opens a new file for writing, refusing to overwrite anything. Null with `error` set on failure.
std::FILE* CreateOutputFile(const std::filesystem::path& path, std::string* error);
// Sets a file's modification (and access) time.
bool SetModifiedTime(const std::filesystem::path& path, std::int64_t unixSeconds);

// FAT packed date and time words (local time as written) to Unix seconds, taken as UTC.
std::optional<std::int64_t> FatTimeToUnix(std::uint16_t date, std::uint16_t time);
// NTFS FILETIME (100 ns ticks since 1601) to Unix seconds.
std::int64_t FileTimeToUnix(std::int64_t fileTime);
// The time a catalogued entry's row shows, as Unix seconds: on FAT its write date and time, on
// NTFS the FILETIME the catalogue holds (its name's creation time); nothing when it has none.
std::optional<std::int64_t> ListedTime(const CatalogueNode& entry, bool fat);

}  // namespace brevant

#pragma once
// Where recovered files are written: folders opened once and files created relative to them,
// so recovering many small files costs a few system calls each and never walks a path.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sector_device.h"

namespace brevant::platform {

// One file being written. Bytes go at the current position, which only moves forward.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes all `length` bytes; false on failure (see Error).
  virtual bool Write(const void* data, std::size_t length) = 0;
  // Moves `length` bytes forward, leaving a hole where the file system supports one and
  // writing zeros where it does not (a stream). False on failure.
  virtual bool Skip(std::uint64_t length) = 0;
  // True when Skip leaves a hole rather than writing zeros.
  virtual bool MakesHoles() const = 0;
  // Copies up to `length` bytes at `offset` of `source` without passing them through this
  // process, where the system allows it. Returns the bytes copied, which may be fewer (even
  // 0, when the system refuses or the source fails to read): the caller copies the rest
  // itself. -1 when writing failed (see Error).
  virtual std::int64_t CopyFrom(SectorDevice& source, std::uint64_t offset,
                                std::uint64_t length) = 0;
  // Bytes of the file so far (holes included), even when a write failed part-way.
  virtual std::uint64_t Position() const = 0;
  // Ends the file at the current position (needed when it ends in a hole).
  virtual bool Finish() = 0;
  virtual bool SetModifiedTime(std::int64_t unixSeconds) = 0;
  // Closes the file; false when the last writes failed.
  virtual bool Close() = 0;
  // The file's name inside its folder (with its " (n)" suffix, if it got one).
  virtual const std::string& Name() const = 0;
  // The system's reason for the last failure, and whether it was a full destination.
  virtual const std::string& Error() const = 0;
  virtual bool DestinationFull() const = 0;
};

class OutputFolder {
 public:
  virtual ~OutputFolder() = default;
  // Opens the folder `name` (one component, UTF-8) inside this one, with `create` making it
  // first when it is missing. Null with `error` set on failure.
  virtual std::unique_ptr<OutputFolder> OpenChild(std::string_view name, bool create,
                                                  std::string* error) = 0;
  // Creates a new file, never replacing anything: when `name` exists, " (1)", " (2)", ... is
  // added before its extension. Null with `error` set on failure. The folder must outlive it.
  virtual std::unique_ptr<OutputFile> CreateFile(std::string_view name, std::string* error) = 0;
  // Removes a file this folder holds (one that could not be written).
  virtual bool RemoveFile(std::string_view name) = 0;
  // Bytes that may still be written to the folder's file system, when known.
  virtual std::optional<std::uint64_t> FreeBytes() = 0;
  virtual const std::filesystem::path& Path() const = 0;
};

// Opens (and with `create`, first creates with its parents) a destination folder the user
// chose. Null with a one-line `error` when it is missing, not a folder or not writable.
std::unique_ptr<OutputFolder> OpenOutputFolder(const std::filesystem::path& path, bool create,
                                               std::string* error);

// The process's standard output as a stream: holes are written as zeros.
std::unique_ptr<OutputFile> StandardOutput();

// True when `folder` lies on the same device as the file or block device `source` (a folder
// on the disk being read). False when either cannot be examined.
bool SameDevice(const std::filesystem::path& folder, const std::string& source);

// Whether CopyFrom may hand copies to the system (on by default). Off, every byte passes
// through a buffer, as on systems without such copies; tests compare both ways.
void SetInKernelCopy(bool enabled);
bool InKernelCopy();

}  // namespace brevant::platform

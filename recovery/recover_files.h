#pragma once
// Recovering found files into a folder the user chose, recreating their folders: the one path
// the command line's `recover` and the window's Save both take.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/run_result.h"

namespace brevant {

struct RecoverRequest {
  struct File {
    const CatalogueNode* node = nullptr;
    std::u16string folder;  // its folder in the result tree, "/"-separated ("" for the root)
  };
  std::vector<std::u16string> folders;  // folders to create even when no file lands in them
  std::vector<File> files;
};

struct RecoverSummary {
  std::size_t recovered = 0;
  std::size_t failed = 0;
  std::uint64_t bytes = 0;
  bool stopped = false;  // ended early on a stop request
  std::string error;     // set when nothing could be started (no folder, refused target)
};

// What the caller wants to hear while files are written; every call comes from the thread
// that runs RecoverFilesToFolder.
class RecoverObserver {
 public:
  virtual ~RecoverObserver() = default;
  // Before file `index` of `total` is written to `path` (the name it will get).
  virtual void FileStarted(const std::filesystem::path& path, std::size_t index,
                           std::size_t total) {
    (void)path, (void)index, (void)total;
  }
  virtual void FileFailed(const std::u16string& treePath, const std::string& error) {
    (void)treePath, (void)error;
  }
  // Polled between files: a file is never left half written by a stop.
  virtual bool StopRequested() { return false; }
};

// DIR + a "/"-separated result-tree path, each component made safe.
std::filesystem::path OutputFolder(const std::filesystem::path& root,
                                   std::u16string_view slashPath);

// Writes every file of `request` (records of `result`) below `to`, created when missing, through
// the engine's extraction: never overwriting, with the file's times. Refuses a folder on the disk
// the result was read from. Reads only the result, so a new run may work meanwhile.
RecoverSummary RecoverFilesToFolder(const RunResult& result, const RecoverRequest& request,
                                    const std::filesystem::path& to, RecoverObserver& observer);

}  // namespace brevant

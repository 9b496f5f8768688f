#pragma once
// The record of a recovery: for every file `recover` or the window's Save wrote (or could not
// write), where it came from on the source, what it holds (SHA-256, byte runs), its condition and
// how its recovery ended. DFXML (the forensic file-object format) or CSV, chosen by the report
// file's extension, written as the files come so that a recovery of a million files holds none
// of it in memory, and closed whole even after a stop.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/output_file.h"
#include "core/run_result.h"
#include "recovery/file_recoverer.h"

namespace brevant {

enum class ReportFormat { Dfxml, Csv };

// By the extension, in any case: ".xml" or ".dfxml" is DFXML, ".csv" is CSV; nothing otherwise.
std::optional<ReportFormat> ReportFormatOf(const std::filesystem::path& path);

// Whether a report can be written at `path`, checked before anything is recovered: a known
// extension, not a folder, in a folder that exists and may be written, and not on the device
// `source` (never written to). False with a one-line `error`.
bool CheckReportPath(const std::filesystem::path& path, const std::string& source,
                     std::string* error);

// The two reports the window's Save writes beside the files it recovers into `destination`:
// "recovery-report.xml" and "recovery-report.csv", numbered " (1)", " (2)", ... together when
// either name is taken, so that an earlier Save's report is never overwritten.
struct ReportPaths {
  std::filesystem::path dfxml;
  std::filesystem::path csv;
};
ReportPaths ReportPathsFor(const std::filesystem::path& destination);

// What the report's header says besides the run: who asked, and where the files went.
struct ReportRun {
  std::string commandLine;  // as typed; empty when there is none (the window)
  std::filesystem::path destination;
};

class RecoveryReport {
 public:
  // Creates (or replaces) the report at `path` and writes its header from `run` (the source
  // device, partition and file system) and `facts`. Null with a one-line `error`. `run` must
  // outlive the report: each file's path and condition are taken from it.
  static std::unique_ptr<RecoveryReport> Open(const std::filesystem::path& path,
                                              const RunResult& run, const ReportRun& facts,
                                              std::string* error);
  // Closes the report as Finish would, when nobody did.
  ~RecoveryReport();
  RecoveryReport(const RecoveryReport&) = delete;
  RecoveryReport& operator=(const RecoveryReport&) = delete;

  // One file's record, as a RecoverListener hears it (FileRecovered). `result` carries the
  // SHA-256 and byte runs only when the listener asked for them (WantsDetails).
  void Add(const RecoverTask& task, const ExtractResult& result);

  // Ends the document (DFXML: the counts, and whether a stop cut the recovery short, then the
  // closing tags) and closes the file. False with `error` when anything of the report could
  // not be written. Once only; later calls do nothing.
  bool Finish(bool stopped, std::string* error);

  ReportFormat Format() const { return format_; }
  const std::filesystem::path& Path() const { return path_; }

 private:
  RecoveryReport(std::FILE* file, std::filesystem::path path, ReportFormat format,
                 const RunResult& run);
  struct Times {
    std::optional<std::int64_t> modified, created;  // Unix seconds
  };
  Times TimesOf(const CatalogueNode& file, const ExtractResult& result) const;
  // The file's path in the volume, as `recover --json` gives it.
  std::string SourcePath(const CatalogueNode& file) const;
  void Header(const ReportRun& facts);
  void Dfxml(const RecoverTask& task, const ExtractResult& result);
  void Csv(const RecoverTask& task, const ExtractResult& result);
  void Put(const std::string& text);

  std::FILE* file_;
  std::filesystem::path path_;
  ReportFormat format_;
  const RunResult& run_;
  bool fat_;
  std::uint64_t volumeOffset_;  // the partition's first byte on the source
  bool failed_ = false;         // a write to the report failed
  bool finished_ = false;
  std::uint64_t files_ = 0, recovered_ = 0, partial_ = 0, failedFiles_ = 0, unreadable_ = 0;
};

// The window's Save: both reports beside the recovered files (ReportPathsFor), fed together.
// A listener holds one and calls Add from FileRecovered and returns true from WantsDetails.
class RecoveryReports {
 public:
  // Null with a one-line `error` when either report cannot be created (then neither is left).
  static std::unique_ptr<RecoveryReports> OpenBeside(const std::filesystem::path& destination,
                                                     const RunResult& run, const ReportRun& facts,
                                                     std::string* error);
  void Add(const RecoverTask& task, const ExtractResult& result);
  // Both finished; false with the first `error` when either could not be written whole.
  bool Finish(bool stopped, std::string* error);
  const ReportPaths& Paths() const { return paths_; }

 private:
  ReportPaths paths_;
  std::unique_ptr<RecoveryReport> dfxml_, csv_;
};

// Text made fit for XML 1.0 character data and attribute values: markup characters escaped,
// tab, line feed and carriage return as character references (so that a parser gives them
// back unchanged), and characters XML cannot carry at all (other control characters, U+FFFE,
// U+FFFF) as U+FFFD. `utf8` must be well-formed (ToUtf8 makes it so).
std::string XmlText(std::string_view utf8);
// A CSV field (RFC 4180): quoted, with quotes doubled, when it holds a comma, a quote, a line
// break or leading or trailing blanks; as it is otherwise.
std::string CsvField(std::string_view utf8);

}  // namespace brevant

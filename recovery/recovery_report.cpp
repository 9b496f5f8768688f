#include "recovery/recovery_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/file_condition.h"
#include "core/file_systems.h"
#include "core/sha256.h"
#include "core/text.h"
#include "fat/fat_engine.h"
#include "model/file_listing.h"
#include "model/result_tree.h"
#include "platform/output_folder.h"
#include "recovery/recovery_worker.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDfxmlNamespace =
    "http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML";
constexpr const char* kOwnNamespace = "urn:calverin-brevant:recovery-report";
constexpr const char* kCsvHeader =
    "path,name,size,modified,created,condition,overwritten_bytes,outcome,unreadable_sectors,"
    "bytes_written,recovered_as,sha256,byte_runs,error\r\n";

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// A path of this system as well-formed UTF-8 (ill-formed bytes as U+FFFD).
std::string PathText(const fs::path& path) { return ToUtf8(FromUtf8(path.string())); }

// ISO 8601 in UTC; FAT keeps local time of an unknown zone, so its times carry no zone.
std::string TimeText(std::int64_t unixSeconds, bool zoned) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm{};
  if (!gmtime_r(&t, &tm)) return {};
  char buffer[40];
  std::strftime(buffer, sizeof buffer, zoned ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S", &tm);
  return buffer;
}

const char* Outcome(const ExtractResult& r) {
  return r.ok ? "recovered" : !r.path.empty() ? "partial" : "failed";
}

std::string ConditionWord(const FileState& state) {
  if (state.condition == FileCondition::Live) return "live";
  return std::string(ConditionText(state.condition));
}

}  // namespace

std::string XmlText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    switch (c) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      case '\'':
        out += "&apos;";
        continue;
      case '\t':
        out += "&#9;";
        continue;
      case '\n':
        out += "&#10;";
        continue;
      case '\r':
        out += "&#13;";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += "\xEF\xBF\xBD";
      continue;
    }
    // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are no XML characters either.
    if (c == 0xEF && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0xBF &&
        (static_cast<unsigned char>(utf8[i + 2]) & 0xFE) == 0xBE) {
      out += "\xEF\xBF\xBD";
      i += 2;
      continue;
    }
    out += static_cast<char>(c);
  }
  return out;
}

std::string CsvField(std::string_view utf8) {
  const bool quote = utf8.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!utf8.empty() && (utf8.front() == ' ' || utf8.front() == '\t' ||
                                        utf8.back() == ' ' || utf8.back() == '\t'));
  if (!quote) return std::string(utf8);
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::optional<ReportFormat> ReportFormatOf(const fs::path& path) {
  const std::string ext = Lower(path.extension().string());
  if (ext == ".xml" || ext == ".dfxml") return ReportFormat::Dfxml;
  if (ext == ".csv") return ReportFormat::Csv;
  return std::nullopt;
}

bool CheckReportPath(const fs::path& path, const std::string& source, std::string* error) {
  const std::string name = "--report " + PathText(path);
  if (!ReportFormatOf(path)) {
    *error =
        name + ": the report is DFXML (.xml, .dfxml) or CSV (.csv); say which by the extension";
    return false;
  }
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    *error = name + ": is not a regular file";
    return false;
  }
  struct stat src {};
  if (exists && !source.empty() && ::stat(source.c_str(), &src) == 0 && src.st_dev == st.st_dev &&
      src.st_ino == st.st_ino) {
    *error = name + ": is the disk being read";
    return false;
  }
  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  struct stat dir {};
  if (::stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
    *error = name + ": the folder " + PathText(folder) + " does not exist";
    return false;
  }
  if (::access(exists ? path.c_str() : folder.c_str(), W_OK) != 0) {
    *error = name + ": " + std::strerror(errno);
    return false;
  }
  if (!source.empty() && platform::SameDevice(folder, source)) {
    *error = name + ": lies on " + source + ", the disk being read; write it to another disk";
    return false;
  }
  return true;
}

ReportPaths ReportPathsFor(const fs::path& destination) {
  for (unsigned n = 0;; ++n) {
    const std::string suffix = n == 0 ? "" : " (" + std::to_string(n) + ")";
    ReportPaths paths{destination / ("recovery-report" + suffix + ".xml"),
                      destination / ("recovery-report" + suffix + ".csv")};
    std::error_code ec;
    // Bounded: a folder holds finitely many names; beyond a million something is wrong.
    if ((!fs::exists(fs::symlink_status(paths.dfxml, ec)) &&
         !fs::exists(fs::symlink_status(paths.csv, ec))) ||
        n == 1000000)
      return paths;
  }
}

std::unique_ptr<RecoveryReport> RecoveryReport::Open(const fs::path& path, const RunResult& run,
                                                     const ReportRun& facts, std::string* error) {
  const std::optional<ReportFormat> format = ReportFormatOf(path);
  if (!format) {
    *error = PathText(path) + ": the report is DFXML (.xml, .dfxml) or CSV (.csv)";
    return nullptr;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    *error = PathText(path) + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<RecoveryReport> report(new RecoveryReport(file, path, *format, run));
  report->Header(facts);
  return report;
}

RecoveryReport::RecoveryReport(std::FILE* file, fs::path path, ReportFormat format,
                               const RunResult& run)
    : file_(file),
      path_(std::move(path)),
      format_(format),
      run_(run),
      fat_(HasFatTimes(run.fsName)),
      volumeOffset_(run.partitionStart * 512) {}

RecoveryReport::~RecoveryReport() {
  std::string ignored;
  Finish(false, &ignored);
}

void RecoveryReport::Put(const std::string& text) {
  if (!failed_ && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) failed_ = true;
}

void RecoveryReport::Header(const ReportRun& facts) {
  if (format_ == ReportFormat::Csv) {
    Put(kCsvHeader);
    return;
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += std::string("<dfxml xmlns=\"") + kDfxmlNamespace +
         "\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmlns:brevant=\"" + kOwnNamespace +
         "\" version=\"1.2.0\">\n";
  out += "  <metadata>\n    <dc:type>Recovery report</dc:type>\n  </metadata>\n";
  out += "  <creator version=\"1.0\">\n    <program>brevant</program>\n    <version>" +
         XmlText(BREVANT_VERSION) + "</version>\n    <execution_environment>\n";
  if (!facts.commandLine.empty())
    out +=
        "      <command_line>" + XmlText(ToUtf8(FromUtf8(facts.commandLine))) + "</command_line>\n";
  out += "      <start_time>" + TimeText(std::time(nullptr), true) + "</start_time>\n";
  out += "    </execution_environment>\n  </creator>\n";
  out += "  <source>\n    <image_filename>" + XmlText(PathText(run_.devicePath)) +
         "</image_filename>\n  </source>\n";
  out +=
      "  <brevant:destination>" + XmlText(PathText(facts.destination)) + "</brevant:destination>\n";
  out += "  <volume offset=\"" + std::to_string(volumeOffset_) + "\">\n";
  out += "    <ftype_str>" + XmlText(Lower(run_.fsName)) + "</ftype_str>\n";
  out += "    <partition_offset>" + std::to_string(volumeOffset_) + "</partition_offset>\n";
  out += "    <brevant:sectors start=\"" + std::to_string(run_.partitionStart) + "\" end=\"" +
         std::to_string(run_.partitionEnd) + "\"/>\n";
  Put(out);
}

void RecoveryReport::Add(const RecoverTask& task, const ExtractResult& result) {
  if (finished_ || !task.file) return;
  ++files_;
  if (result.ok)
    ++recovered_;
  else if (!result.path.empty())
    ++partial_;
  else
    ++failedFiles_;
  unreadable_ += result.unreadableSectors;
  if (format_ == ReportFormat::Csv)
    Csv(task, result);
  else
    Dfxml(task, result);
}

std::string RecoveryReport::SourcePath(const CatalogueNode& n) const {
  const std::u16string folder = run_.paths ? run_.paths->FileFolder(&n) : std::u16string();
  return ToUtf8(folder + u"/" + ui::PathComponentText(n.name));
}

RecoveryReport::Times RecoveryReport::TimesOf(const CatalogueNode& n,
                                              const ExtractResult& r) const {
  Times t;
  // The engine read the modification time while planning the file (NTFS: from
  // $STANDARD_INFORMATION); the catalogue holds it for FAT, and for NTFS the creation time of
  // the file's name.
  t.modified = r.modifiedTime;
  if (fat_) {
    if (!t.modified) t.modified = FatEntryModifiedTime(n);
  } else {
    t.created = ListedTime(n, false);
  }
  return t;
}

void RecoveryReport::Dfxml(const RecoverTask& task, const ExtractResult& r) {
  const CatalogueNode& n = *task.file;
  const std::string name = ToUtf8(n.name);
  const std::string path = SourcePath(n);
  std::string out = "    <fileobject>\n";
  // DFXML names a file by its path in the volume, without the leading slash.
  out += "      <filename>" + XmlText(path.substr(!path.empty() && path[0] == '/' ? 1 : 0)) +
         "</filename>\n";
  out += "      <brevant:name>" + XmlText(name) + "</brevant:name>\n";
  std::uint64_t size = 0;
  std::string ignored;
  if (RecoverableSize(n, &size, &ignored))
    out += "      <filesize>" + std::to_string(size) + "</filesize>\n";
  out += n.IsDeleted() ? "      <unalloc>1</unalloc>\n" : "      <alloc>1</alloc>\n";
  if (!fat_) out += "      <inode>" + std::to_string(TextToInt(n.id)) + "</inode>\n";
  const Times times = TimesOf(n, r);
  if (times.modified)
    out += std::string("      <mtime") + (fat_ ? " prec=\"2\"" : "") + ">" +
           TimeText(*times.modified, !fat_) + "</mtime>\n";
  if (times.created) out += "      <crtime>" + TimeText(*times.created, true) + "</crtime>\n";
  if (!r.runs.empty()) {
    out += "      <byte_runs>\n";
    for (const ByteRun& run : r.runs) {
      out += "        <byte_run file_offset=\"" + std::to_string(run.fileOffset) + "\"";
      switch (run.kind) {
        case ByteRun::Kind::Source:
          out += " fs_offset=\"" +
                 std::to_string(run.sourceOffset - std::min(run.sourceOffset, volumeOffset_)) +
                 "\" img_offset=\"" + std::to_string(run.sourceOffset) + "\"";
          break;
        case ByteRun::Kind::Zeros:
          out += " fill=\"0\"";
          break;
        case ByteRun::Kind::Bytes:
          out += " type=\"resident\"";
          break;
      }
      out += " len=\"" + std::to_string(run.length) + "\"/>\n";
    }
    out += "      </byte_runs>\n";
  }
  if (r.sha256)
    out += "      <hashdigest type=\"sha256\">" + DigestHex(*r.sha256) + "</hashdigest>\n";
  const FileState state = run_.StateOf(n);
  out += "      <brevant:condition overwritten_bytes=\"" + std::to_string(state.overwrittenBytes) +
         "\">" + ConditionWord(state) + "</brevant:condition>\n";
  out += std::string("      <brevant:outcome bytes_written=\"") + std::to_string(r.bytesWritten) +
         "\" unreadable_sectors=\"" + std::to_string(r.unreadableSectors) + "\"" +
         (r.stopped ? " stopped=\"true\"" : "") + ">" + Outcome(r) + "</brevant:outcome>\n";
  if (!r.path.empty())
    out += "      <brevant:recovered_as>" + XmlText(PathText(r.path)) + "</brevant:recovered_as>\n";
  if (!r.ok)
    out += "      <brevant:error>" + XmlText(ToUtf8(FromUtf8(r.error))) + "</brevant:error>\n";
  out += "    </fileobject>\n";
  Put(out);
}

void RecoveryReport::Csv(const RecoverTask& task, const ExtractResult& r) {
  const CatalogueNode& n = *task.file;
  std::string out = CsvField(SourcePath(n));
  out += ',' + CsvField(ToUtf8(n.name));
  std::uint64_t size = 0;
  std::string ignored;
  out += ',';
  if (RecoverableSize(n, &size, &ignored)) out += std::to_string(size);
  const Times times = TimesOf(n, r);
  out += ',';
  if (times.modified) out += TimeText(*times.modified, !fat_);
  out += ',';
  if (times.created) out += TimeText(*times.created, true);
  const FileState state = run_.StateOf(n);
  out += ',' + ConditionWord(state) + ',' + std::to_string(state.overwrittenBytes);
  out += std::string(",") + Outcome(r) + ',' + std::to_string(r.unreadableSectors) + ',' +
         std::to_string(r.bytesWritten);
  out += ',' + (r.path.empty() ? std::string() : CsvField(PathText(r.path)));
  out += ',' + (r.sha256 ? DigestHex(*r.sha256) : std::string());
  // Byte runs as "img_offset+length" (from the source), "hole+length" or "resident+length".
  std::string runs;
  for (const ByteRun& run : r.runs) {
    if (!runs.empty()) runs += ' ';
    runs += run.kind == ByteRun::Kind::Source  ? std::to_string(run.sourceOffset)
            : run.kind == ByteRun::Kind::Zeros ? "hole"
                                               : "resident";
    runs += '+' + std::to_string(run.length);
  }
  out += ',' + runs;
  out += ',' + (r.ok ? std::string() : CsvField(ToUtf8(FromUtf8(r.error))));
  out += "\r\n";
  Put(out);
}

bool RecoveryReport::Finish(bool stopped, std::string* error) {
  if (finished_) return true;
  finished_ = true;
  if (format_ == ReportFormat::Dfxml) {
    std::string out = "  </volume>\n";
    out += "  <brevant:summary files=\"" + std::to_string(files_) + "\" recovered=\"" +
           std::to_string(recovered_) + "\" partial=\"" + std::to_string(partial_) +
           "\" failed=\"" + std::to_string(failedFiles_) + "\" unreadable_sectors=\"" +
           std::to_string(unreadable_) + "\" stopped=\"" + (stopped ? "true" : "false") +
           "\"/>\n</dfxml>\n";
    Put(out);
  }
  const bool flushed = std::fflush(file_) == 0 && !std::ferror(file_);
  const int saved = errno;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (failed_ || !flushed || !closed) {
    *error = PathText(path_) + ": the report could not be written whole (" +
             std::strerror(saved ? saved : errno) + ")";
    return false;
  }
  return true;
}

std::unique_ptr<RecoveryReports> RecoveryReports::OpenBeside(const fs::path& destination,
                                                             const RunResult& run,
                                                             const ReportRun& facts,
                                                             std::string* error) {
  auto reports = std::make_unique<RecoveryReports>();
  reports->paths_ = ReportPathsFor(destination);
  reports->dfxml_ = RecoveryReport::Open(reports->paths_.dfxml, run, facts, error);
  if (!reports->dfxml_) return nullptr;
  reports->csv_ = RecoveryReport::Open(reports->paths_.csv, run, facts, error);
  if (!reports->csv_) {
    reports->dfxml_.reset();
    std::error_code ignored;
    fs::remove(reports->paths_.dfxml, ignored);
    return nullptr;
  }
  return reports;
}

void RecoveryReports::Add(const RecoverTask& task, const ExtractResult& result) {
  dfxml_->Add(task, result);
  csv_->Add(task, result);
}

bool RecoveryReports::Finish(bool stopped, std::string* error) {
  std::string second;
  const bool a = dfxml_->Finish(stopped, error);
  const bool b = csv_->Finish(stopped, a ? error : &second);
  return a && b;
}

}  // namespace brevant

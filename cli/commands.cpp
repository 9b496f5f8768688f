#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/file_systems.h"
#include "core/output_file.h"
#include "core/extract_plan.h"
#include "platform/output_folder.h"
#include "recovery/file_recoverer.h"
#include "recovery/recovery_report.h"
#include "recovery/recovery_worker.h"
#include "recovery/results_file.h"
#include "core/text.h"
#include "cli/cli_view.h"
#include "cli/cmd_disks.h"
#include "cli/output.h"
#include "cli/stop_signal.h"
#include "cli/unreadable_report.h"
#include "disk/disks.h"
#include "disk/volume_search.h"
#include "exfat/exfat_volume.h"
#include "fat/codepage.h"
#include "fat/fat_engine.h"
#include "fat/stray_entries.h"
#include "model/display_format.h"
#include "ntfs/ntfs_ids.h"
#include "ntfs/record_sweep.h"
#include "model/file_filter.h"
#include "model/file_listing.h"

namespace brevant::cli {
namespace {

namespace fs = std::filesystem;

struct Error {
  int code;
  std::string message;
};

constexpr const char* kExitStatusHelp =
    "Exit status: 0 done; 1 something failed while reading the source or writing a file, or "
    "standard output could not be written (each failure is named on standard error), or the "
    "scan could not read some MFT records (the output holds everything else; brevant: "
    "incomplete: names them); 2 bad arguments, or a source or destination that cannot be used "
    "(nothing was written), or a results file that cannot be used (damaged, from a newer "
    "Brevant) or whose source is not the one given; 130 stopped by Ctrl-C or SIGTERM (the output holds everything found "
    "before the stop; a second Ctrl-C cuts it short).";

struct ScanOptions {
  std::string source;
  int partition = 0;
  std::string mode = "quick";
  int codepage = 850;
  bool quiet = false;
  bool search = false;      // number the partitions as `disks --search` does
  bool deepSearch = false;  // ... as `disks --deep-search` does
  std::string results;      // a saved result to use instead of scanning
  std::string saveResults;  // where to keep the result (and the run's checkpoints)
  std::string resume;       // a results file whose interrupted run goes on
  // Given on the command line (--results and --resume take them from the file).
  CLI::Option* partitionOption = nullptr;
  CLI::Option* modeOption = nullptr;
  CLI::Option* codepageOption = nullptr;

  // SOURCE and --partition for a scan; neither scan options nor --save-results with a file
  // that says them. Any other mix is a bad argument.
  void Check(bool sourceAllowedWithResults) const {
    if (!results.empty() && !resume.empty())
      throw Error{2, "--results and --resume do not go together"};
    if (results.empty() && resume.empty()) {
      if (source.empty()) throw Error{2, "SOURCE is required (or --results FILE)"};
      if (partitionOption->count() == 0) throw Error{2, "--partition is required"};
      return;
    }
    const std::string which = results.empty() ? "--resume" : "--results";
    if (!results.empty() && !source.empty() && !sourceAllowedWithResults)
      throw Error{2, "SOURCE: scan --results prints the saved result without reading any source"};
    if (partitionOption->count() > 0 || modeOption->count() > 0 || codepageOption->count() > 0 ||
        search || deepSearch)
      throw Error{2, which + ": the file says which partition was scanned and how; "
                       "--partition, --mode, --codepage, --search and --deep-search do not go with it"};
    if (!saveResults.empty())
      throw Error{2, "--save-results does not go with " + which +
                         (resume.empty() ? "" : " (the resumed run is kept in its own file)")};
  }
};

// What `scan` and `recover` keep of the files found, as typed.
struct FilterOptions {
  std::string name, minSize, maxSize, since, until;
  std::vector<std::string> conditions, categories;
  bool deletedOnly = false;
  bool system = false;  // recover: the volume's metadata files too

  // The filter these ask for; a value that makes no sense is a bad argument (status 2).
  ui::FileFilter Make() const {
    ui::FileFilter f;
    f.namePattern = FromUtf8(name);
    if (deletedOnly) f.liveness = ui::FileFilter::Liveness::DeletedOnly;
    f.includeSystem = system;
    auto size = [](const std::string& option, const std::string& text) {
      auto v = ui::ParseByteSize(text);
      if (!v)
        throw Error{2, option + " " + text +
                           ": not a size (a number of bytes, or with K, M, G or T: 10K, 1.5M)"};
      return v;
    };
    auto time = [](const std::string& option, const std::string& text, bool end) {
      auto v = ui::ParseIsoTime(text, end);
      if (!v)
        throw Error{2, option + " " + text +
                           ": not a date (ISO 8601: 2024-05-01, 2024-05-01T13:45:00, with Z or "
                           "+02:00 if you like)"};
      return v;
    };
    if (!minSize.empty()) f.minSize = size("--min-size", minSize);
    if (!maxSize.empty()) f.maxSize = size("--max-size", maxSize);
    if (!since.empty()) f.since = time("--since", since, false);
    if (!until.empty()) f.until = time("--until", until, true);
    for (const std::string& c : conditions) {
      auto v = ParseCondition(c);
      if (!v)
        throw Error{2, "--condition " + c +
                           ": not a condition (intact, partly-overwritten, overwritten, unknown)"};
      if (std::find(f.conditions.begin(), f.conditions.end(), *v) == f.conditions.end())
        f.conditions.push_back(*v);
    }
    for (const std::string& c : categories) {
      auto v = ui::ParseCategory(c);
      if (!v)
        throw Error{2, "--category " + c +
                           ": not a category (pictures, documents, audio, video, archives, "
                           "e-mail, other)"};
      f.categories.push_back(*v);
    }
    if (f.minSize && f.maxSize && *f.minSize > *f.maxSize)
      throw Error{2, "--min-size " + minSize + " is above --max-size " + maxSize};
    if (f.since && f.until && *f.since > *f.until)
      throw Error{2, "--since " + since + " is after --until " + until};
    return f;
  }
};

// One scanned partition: the same path the window takes, from enumeration to result tree.
struct ScanContext {
  RecoverySession session;
  ui::ResultTree startupTree;
  std::unique_ptr<CliView> view;
  RunOutcome outcome = RunOutcome::Completed;
  std::shared_ptr<RunResult> result;  // what the run handed over
  bool stopped = false;               // by a stop request, in an engine or by a signal
  // Every catalogued entry, folders first, numbered from 1 in this order.
  std::vector<const CatalogueNode*> entries;
  std::size_t folderCount = 0;
  const ui::EntryPaths* paths = nullptr;  // the result's
  std::unique_ptr<ui::FilterIndex> filterIndex;  // the result's filter facts
  ui::FileFilter filter;                         // what the command keeps
  bool fromFile = false;           // the result was read from a results file
  std::string saveError;           // why --save-results could not keep the result
  std::string checkpointNote;      // where a stopped run's checkpoint is kept

  // Whether the command's filter keeps entry k. Folders have no size, category or condition:
  // a filter asking for one keeps no folder (a file's folders are still made for it).
  bool Keeps(std::size_t k) const { return filterIndex->Matches(filter, *entries[k]); }
  bool IsSystem(std::size_t k) const { return filterIndex->IsSystem(*entries[k]); }

  // FAT-style times (exFAT keeps them the same way).
  bool IsFat() const { return HasFatTimes(session.scanFsName); }
  bool IsFolder(std::size_t k) const { return k < folderCount; }

  std::u16string PathOf(std::size_t k) const {
    const CatalogueNode* n = entries[k];
    if (IsFolder(k)) {
      std::u16string p = paths->FolderPath(n);
      if (!p.empty()) return p;
      if (TextToInt(n->id) == result->tree->rootFolderId) return u"/";
      return u"/" + std::u16string(ui::kLostFolderName) + u"/" + ui::PathComponentText(n->name);
    }
    return paths->FileFolder(n) + u"/" + ui::PathComponentText(n->name);
  }
};

// Lost volumes of the source, numbered on after its table's partitions; Ctrl-C ends the search.
void SearchDisk(RecoverySession& s, ui::ResultTree& tree, CliView& view, const ScanOptions& o,
                StopSignal& stop) {
  VolumeSearchOptions search;
  search.deep = o.deepSearch;
  search.view = &view;
  search.stop = &s.stopRequested;
  stop.Watch(&s);
  AddFoundVolumes(s, tree, 0, search);
  stop.Watch(nullptr);
  view.Finish();
  if (s.stopRequested.exchange(0) == 1 || stop.Received())
    throw Error{kStoppedExitStatus, "the search for lost volumes was stopped"};
}

// The source a command reads: there, not a folder. A bad one is a bad argument.
void CheckSource(const std::string& source) {
  std::error_code ec;
  if (!fs::exists(source, ec)) throw Error{2, source + ": no such file or device"};
  if (fs::is_directory(source, ec))
    throw Error{2, source + ": is a directory, not a disk or disk image"};
}

// Lists SOURCE as the session's one disk.
void ListSource(ScanContext& ctx, const std::string& source) {
  RecoverySession& s = ctx.session;
  EnumerateDisks(s, ctx.startupTree, nullptr, {source});
  if (s.diskInfoList.empty()) throw Error{2, source + ": cannot be listed as a disk"};
  if (!s.diskInfoList[0].openError.empty()) throw Error{2, s.diskInfoList[0].openError};
}

// The identity of the source as it is now, for the volume from `start` to `end`.
SourceIdentity IdentityNow(const std::string& source, std::uint64_t start, std::uint64_t end,
                           std::uint32_t sectorSize) {
  SourceIdentity id;
  std::string error;
  if (!ReadSourceIdentity(source, start, end, sectorSize, &id, &error)) throw Error{2, error};
  return id;
}

// Refuses a source that is not the one a results file was read from (status 2, the reason).
void CheckIdentity(const SavedRun& saved, const SourceIdentity& now) {
  const std::string why = IdentityMismatch(saved.source, now);
  if (!why.empty())
    throw Error{2, now.path + ": not the source the saved result was read from: " + why};
}

// Numbers every catalogued entry of the handed-over result, folders first.
void NumberEntries(ScanContext& ctx) {
  const Catalogue& catalogue = ctx.result->catalogue;
  for (auto* n = catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    ctx.entries.push_back(n);
  ctx.folderCount = ctx.entries.size();
  for (auto* n = catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    ctx.entries.push_back(n);
  ctx.paths = ctx.result->paths.get();
  ctx.filterIndex = std::make_unique<ui::FilterIndex>(*ctx.result);
}

// Runs the worker on the session's selection; with --save-results (or --resume) its checkpoints
// and then its result go to the results file.
void RunWorker(ScanContext& ctx, ScanOptions& options, StopSignal& stop,
               const std::string& resultsPath, SavedRun saved) {
  RecoverySession& s = ctx.session;
  std::unique_ptr<ResultsFileSink> sink;
  if (!resultsPath.empty()) {
    sink = std::make_unique<ResultsFileSink>(resultsPath, saved);
    // Tests ask for a checkpoint at every batch, so a kill at a known point leaves one behind.
    if (const char* seconds = std::getenv("BREVANT_CHECKPOINT_SECONDS"))
      sink->SetIntervalSeconds(std::max(0.0, std::atof(seconds)));
    s.checkpointSink = sink.get();
  }
  s.recoverConfirmed.store(1);
  stop.Watch(&s);
  ctx.outcome = RecoveryWorker(s, *ctx.view);
  stop.Watch(nullptr);
  s.checkpointSink = nullptr;
  ctx.view->Finish();
  ctx.stopped = ctx.outcome == RunOutcome::Stopped || stop.Received();
  if (ctx.outcome == RunOutcome::Failed)
    throw Error{1, s.failureReason.empty() ? ToUtf8(kParametersFailureText) : s.failureReason};
  ctx.result = s.CurrentResult();
  if (!ctx.result)
    throw Error{ctx.stopped ? kStoppedExitStatus : 1,
                "the scan was stopped before any result was stored"};
  if (sink) {
    if (!sink->Error().empty()) ctx.saveError = "checkpoint: " + sink->Error();
    if (ctx.outcome == RunOutcome::Stopped && sink->Saves() > 0) {
      // The checkpoint lets the run go on; the stopped result would not.
      ctx.checkpointNote = "the run's checkpoint is kept in " + resultsPath +
                           "; go on with --resume " + resultsPath;
    } else {
      std::string error;
      if (!SaveResults(resultsPath, *ctx.result, saved, &error) && ctx.saveError.empty())
        ctx.saveError = error;
    }
  }
  NumberEntries(ctx);
}

std::unique_ptr<ScanContext> RunScan(ScanOptions& options, StopSignal& stop) {
  auto ctx = std::make_unique<ScanContext>();
  CheckSource(options.source);
  auto pages = fat::SupportedOemCodePages();
  if (std::find(pages.begin(), pages.end(), options.codepage) == pages.end()) {
    std::string list;
    for (int p : pages) list += (list.empty() ? "" : ", ") + std::to_string(p);
    throw Error{2, "--codepage: " + std::to_string(options.codepage) +
                       " is not supported (use one of " + list + ")"};
  }
  RecoverySession& s = ctx->session;
  s.oemCodePage = options.codepage;
  ListSource(*ctx, options.source);
  ctx->view = std::make_unique<CliView>(options.quiet);
  if (options.search || options.deepSearch) SearchDisk(s, ctx->startupTree, *ctx->view, options, stop);
  int count = s.driveRecords.empty() ? 0 : s.driveRecords[0].partitionCount;
  if (!SelectPartition(s, 0, options.partition))
    throw Error{2, "partition " + std::to_string(options.partition) + " not found on " +
                       options.source + " (it has " + std::to_string(count) +
                       " " + std::string(kFileSystemsOrText) + " partitions; see brevant disks --image)"};
  ReadBootSectorParameters(s);
  s.recoveryMode.store(options.mode == "extensive" ? 2 : 1);
  SavedRun saved;
  if (!options.saveResults.empty()) {
    saved.source = IdentityNow(options.source, s.selectedPartitionStart, s.selectedPartitionEnd,
                               s.selectedSectorSize);
    saved.partitionNumber = options.partition;
    saved.mode = options.mode;
  }
  RunWorker(*ctx, options, stop, options.saveResults, std::move(saved));
  return ctx;
}

// --resume FILE: the session as the checkpoint left it, the source checked, the run goes on
// and keeps its checkpoints and its result in FILE.
std::unique_ptr<ScanContext> ResumeScan(ScanOptions& options, StopSignal& stop) {
  auto ctx = std::make_unique<ScanContext>();
  SavedRun saved;
  std::string error;
  if (!ReadSavedRun(options.resume, &saved, &error)) throw Error{2, error};
  if (saved.finished)
    throw Error{2, options.resume + ": its run finished; there is nothing to resume (see scan --results)"};
  if (options.source.empty()) options.source = saved.source.path;
  CheckSource(options.source);
  ListSource(*ctx, options.source);
  RecoverySession& s = ctx->session;
  if (!LoadForResume(options.resume, s, &saved, &error)) throw Error{2, error};
  s.devicePath[0] = options.source;
  CheckIdentity(saved, IdentityNow(options.source, s.selectedPartitionStart,
                                   s.selectedPartitionEnd, s.diskInfoList[0].sectorSize));
  options.partition = saved.partitionNumber;
  options.mode = saved.mode;
  ctx->view = std::make_unique<CliView>(options.quiet);
  saved.source.path = options.source;
  saved.finished = true;
  saved.checkpoint.reset();
  RunWorker(*ctx, options, stop, options.resume, std::move(saved));
  return ctx;
}

// --results FILE: the saved result, listed without the source; `checkSource` when its data is
// to be read: the source (SOURCE, or the path the file records) must be the one scanned.
std::unique_ptr<ScanContext> LoadScan(ScanOptions& options, bool checkSource) {
  auto ctx = std::make_unique<ScanContext>();
  SavedRun saved;
  std::string error;
  auto result = checkSource ? LoadResultsOnSource(options.results, options.source, &saved, &error)
                            : LoadResults(options.results, &saved, &error);
  if (!result) throw Error{2, error};
  RestoreReaderState(*result, result->devicePath, ctx->session);
  options.source = result->devicePath;
  options.partition = saved.partitionNumber;
  ctx->fromFile = true;
  ctx->outcome = result->outcome;
  ctx->result = std::move(result);
  NumberEntries(*ctx);
  return ctx;
}

// What an extensive scan says about an entry beyond its name, or nothing.
std::string_view EntryMark(const CatalogueNode* n) {
  const std::u16string_view spare(n->spareText);
  if (spare == kIndexEntryMark) return "index entry";
  if (spare == fat::kChainGoneMark) return "no chain";
  if (spare.ends_with(exfat::kChainGoneWord)) return "no chain";
  if (spare == ntfs::kFreedRecordsMark) return "assembled from freed records";
  return {};
}

std::uint64_t SizeOf(const CatalogueNode* n) {
  std::int64_t v = TextToInt(n->size);
  return v < 0 ? 0 : static_cast<std::uint64_t>(v);
}

// What became of a deleted file's data.
void ConditionJson(std::string& out, const FileState& state) {
  JsonField(out, "condition", ConditionText(state.condition));
  JsonNumber(out, "overwrittenBytes", static_cast<long long>(state.overwrittenBytes));
}

// ", N intact deleted files (B bytes)" for the summary line.
std::string IntactSummary(const FileFigures& f) {
  return ", " + std::to_string(f.intactFiles) + " intact deleted file" +
         (f.intactFiles == 1 ? "" : "s") + " (" + std::to_string(f.intactBytes) + " bytes)";
}

void EntryJson(std::string& out, const ScanContext& ctx, std::size_t k) {
  const CatalogueNode* n = ctx.entries[k];
  out += "{\"entry\": ";
  out += std::to_string(k + 1);
  JsonField(out, "name", ToUtf8(n->name));
  JsonField(out, "type", ToUtf8(n->type));
  JsonNumber(out, "id", TextToInt(n->id));
  JsonNumber(out, "parentId", TextToInt(n->parentId));
  JsonField(out, "path", ToUtf8(ctx.PathOf(k)));
  // A named stream: the entry is "file:stream" beside its file.
  if (n->stream && *n->stream) JsonField(out, "stream", ToUtf8(n->stream));
  JsonNumber(out, "size", static_cast<long long>(SizeOf(n)));
  out += n->IsDeleted() ? ", \"deleted\": true" : ", \"deleted\": false";
  if (n->IsDeleted() && !ctx.IsFolder(k)) ConditionJson(out, ctx.result->StateOf(*n));
  out += ctx.IsSystem(k) ? ", \"system\": true" : ", \"system\": false";
  JsonNumber(out, "sector", TextToInt(n->sector));
  JsonField(out, "date", ToUtf8(n->date));
  JsonField(out, "time", ToUtf8(n->time));
  JsonField(out, "timeText", ToUtf8(ui::FormatEntryTime(*n, ctx.session.scanFsName)));
  JsonNumber(out, "attributes", TextToInt(n->attributes));
  if (auto mark = EntryMark(n); !mark.empty()) JsonField(out, "note", mark);
  out += "}";
}

// Modification time for the body file and recovered files (FAT: write date and time).
std::optional<std::int64_t> EntryTime(const ScanContext& ctx, const CatalogueNode* n) {
  return ListedTime(*n, ctx.IsFat());
}

// The filter asks more of a file than being live or deleted.
bool NarrowsFiles(ui::FileFilter filter) {
  filter.liveness = ui::FileFilter::Liveness::Any;
  return filter.Narrows();
}

// While what a scan found is printed: a stop that came during the scan ended the scan and
// everything found is printed; a signal that comes now cuts the printing short (a document is
// still closed), and so does standard output failing.
class PrintGuard {
 public:
  explicit PrintGuard(StopSignal& stop) : stop_(stop), before_(stop.Count()) {
    stop.AllowAnother();
  }
  bool Go() const { return !Cut() && !StdOut::Get().Failed(); }
  bool Cut() const { return stop_.Count() != before_; }

 private:
  const StopSignal& stop_;
  int before_;
};

void PrintJson(const ScanContext& ctx, const ScanOptions& o, const PrintGuard& guard) {
  std::string out = "{";
  JsonField(out, "source", o.source, true);
  out += ",\n \"partition\": {\"number\": " + std::to_string(o.partition);
  JsonField(out, "fs", ctx.session.scanFsName);
  JsonNumber(out, "start", static_cast<long long>(ctx.session.selectedPartitionStart));
  JsonNumber(out, "end", static_cast<long long>(ctx.session.selectedPartitionEnd));
  const PartitionFigures& part = ctx.result->partition;
  JsonNumber(out, "size", static_cast<long long>(part.sizeBytes));
  if (part.freeBytes) JsonNumber(out, "free", static_cast<long long>(*part.freeBytes));
  out += "}";
  // What was found, whatever --deleted-only leaves out of the lists below.
  const FileFigures& f = ctx.result->files;
  out += ",\n \"summary\": {\"liveFiles\": " + std::to_string(f.liveFiles);
  JsonNumber(out, "liveBytes", static_cast<long long>(f.liveBytes));
  JsonNumber(out, "deletedFiles", static_cast<long long>(f.deletedFiles));
  JsonNumber(out, "deletedBytes", static_cast<long long>(f.deletedBytes));
  JsonNumber(out, "intactFiles", static_cast<long long>(f.intactFiles));
  JsonNumber(out, "intactBytes", static_cast<long long>(f.intactBytes));
  if (!ctx.result->unreadable.Empty()) out += ", " + UnreadableJson(ctx.result->unreadable);
  // Complete: swept to its end with every MFT record read.
  out += ctx.outcome == RunOutcome::Completed ? ", \"complete\": true}" : ", \"complete\": false}";
  for (int pass = 0; pass < 2; ++pass) {
    out += pass == 0 ? ",\n \"folders\": [" : "],\n \"files\": [";
    bool first = true;
    std::size_t from = pass == 0 ? 0 : ctx.folderCount;
    std::size_t to = pass == 0 ? ctx.folderCount : ctx.entries.size();
    for (std::size_t k = from; k < to && guard.Go(); ++k) {
      if (!ctx.Keeps(k)) continue;
      out += first ? "\n  " : ",\n  ";
      first = false;
      EntryJson(out, ctx, k);
      if (out.size() > (1 << 16)) {
        StdOut::Get() << out;
        out.clear();
      }
    }
  }
  // False when a stop cut the lists short (the summary above still counts everything found).
  out += guard.Cut() ? "],\n \"listsComplete\": false}\n" : "],\n \"listsComplete\": true}\n";
  StdOut::Get() << out;
}

void PrintBody(const ScanContext& ctx, const PrintGuard& guard) {
  // The Sleuth Kit's body format: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime
  for (std::size_t k = 0; k < ctx.entries.size() && guard.Go(); ++k) {
    const CatalogueNode* n = ctx.entries[k];
    if (!ctx.Keeps(k)) continue;
    std::string name = ToUtf8Line(ctx.PathOf(k));
    for (char& c : name)
      if (c == '|') c = '_';
    if (n->IsDeleted()) name += " (deleted)";
    std::int64_t t = EntryTime(ctx, n).value_or(0);
    std::int64_t mtime = ctx.IsFat() ? t : 0, crtime = ctx.IsFat() ? 0 : t;
    StdOut::Get() << "0|" << name << "|" << TextToInt(n->id) << "|"
                  << (ctx.IsFolder(k) ? "d/drwxrwxrwx" : "r/rrwxrwxrwx") << "|0|0|" << SizeOf(n)
                  << "|0|" << mtime << "|0|" << crtime << "\n";
  }
}

void PrintTree(const ScanContext& ctx, const ScanOptions& o, const PrintGuard& guard) {
  StdOut& cout = StdOut::Get();
  const auto& tree = *ctx.result->tree;
  std::unordered_map<const ui::TreeItem*, std::vector<std::size_t>> filesOf;
  // A filter beyond --deleted-only shows only the folders on the way to a kept file.
  const bool prune = NarrowsFiles(ctx.filter);
  std::unordered_set<const ui::TreeItem*> onTheWay;
  for (std::size_t k = ctx.folderCount; k < ctx.entries.size(); ++k) {
    if (!ctx.Keeps(k)) continue;
    const ui::TreeItem* item = ctx.paths->FileItem(ctx.entries[k]);
    filesOf[item].push_back(k);
    if (prune)
      for (const ui::TreeItem* up = item; up && onTheWay.insert(up).second; up = up->parent) {
      }
  }
  cout << ValidUtf8(o.source) << ", partition " << o.partition << " (" << ctx.session.scanFsName
       << ", sectors " << ctx.session.selectedPartitionStart << " to "
       << ctx.session.selectedPartitionEnd << ")\n";
  std::size_t folders = ctx.folderCount, files = ctx.entries.size() - ctx.folderCount;
  // A folder item is marked deleted when every catalogued folder it shows is deleted.
  std::unordered_map<const ui::TreeItem*, bool> deletedItem;
  for (const auto& record : tree.treeFolderList) {
    if (!record.node) continue;
    auto [it, fresh] = deletedItem.emplace(record.treeItem, record.node->IsDeleted());
    if (!fresh) it->second = it->second && record.node->IsDeleted();
  }
  struct Frame {
    const ui::TreeItem* item;
    int depth;
  };
  std::vector<Frame> stack;
  for (auto it = tree.Root()->children.rbegin(); it != tree.Root()->children.rend(); ++it)
    stack.push_back({it->get(), 0});
  while (!stack.empty() && guard.Go()) {
    Frame f = stack.back();
    stack.pop_back();
    if (prune && !onTheWay.count(f.item)) continue;
    std::string indent(static_cast<std::size_t>(f.depth) * 2, ' ');
    auto del = deletedItem.find(f.item);
    if (f.depth > 0)
      cout << indent << ToUtf8Line(f.item->text) << "/"
           << (del != deletedItem.end() && del->second ? "  [deleted]" : "") << "\n";
    else cout << "/\n";
    if (auto it = filesOf.find(f.item); it != filesOf.end())
      for (std::size_t k : it->second) {
        const CatalogueNode* n = ctx.entries[k];
        const std::u16string when = ui::FormatEntryTime(*n, ctx.session.scanFsName);
        cout << indent << "  " << ToUtf8Line(n->name) << "  " << ToUtf8(ui::FormatSize(SizeOf(n)))
             << (when.empty() ? "" : "  ") << ToUtf8(when) << (n->IsDeleted() ? "  [deleted]" : "");
        if (auto mark = EntryMark(n); !mark.empty()) cout << "  [" << mark << "]";
        cout << "  #" << (k + 1) << "\n";
      }
    for (auto it = f.item->children.rbegin(); it != f.item->children.rend(); ++it)
      stack.push_back({it->get(), f.depth + 1});
  }
  cout << folders << " folders, " << files << " files" << IntactSummary(ctx.result->files)
       << UnreadableSummary(ctx.result->unreadable.records) << "\n";
}

bool UnderAny(const std::u16string& path, const std::vector<std::u16string>& prefixes) {
  if (prefixes.empty()) return true;
  for (std::u16string p : prefixes) {
    if (p.empty() || p[0] != u'/') p = u"/" + p;
    while (p.size() > 1 && p.back() == u'/') p.pop_back();
    if (p == u"/" || path == p || (path.size() > p.size() && path.compare(0, p.size(), p) == 0 &&
                                   path[p.size()] == u'/'))
      return true;
  }
  return false;
}

// What `recover` did, for its summary line and its JSON report.
struct RecoverTally {
  std::size_t recovered = 0, failed = 0, partial = 0;
  std::uint64_t bytes = 0, unreadable = 0;
  std::string stoppedAt;  // the file being written when a stop came, if any
  bool stoppedInScan = false;
  bool stopped = false;        // a stop came after the scan
  std::size_t notStarted = 0;  // files the stop kept from being begun
  std::string json;            // the per-file records, with --json
  std::uint64_t unreadableRecords = 0;  // MFT records the scan could not read

  std::string Summary() const {
    std::string line = "recovered " + std::to_string(recovered) + " files (" +
                       std::to_string(bytes) + " bytes), " + std::to_string(failed) + " failed";
    // Sectors are counted only when some could not be read: a file cut by a broken chain or the
    // end of a cut image is partly recovered with none, and "(0 unreadable sectors)" says nothing.
    if (partial > 0) {
      line += ", " + std::to_string(partial) + " partly recovered";
      if (unreadable > 0)
        line += " (" + std::to_string(unreadable) + " unreadable sector" +
                (unreadable == 1 ? "" : "s") + ")";
    }
    line += UnreadableSummary(unreadableRecords);
    if (stoppedInScan) return line + ", stopped during the scan";
    if (!stopped) return line;
    line += ", stopped";
    if (!stoppedAt.empty()) line += " while writing " + stoppedAt;
    return line + ", " + std::to_string(notStarted) + (notStarted == 1 ? " file" : " files") +
           " not started";
  }

  void Print(bool json) const;
};

void FileRecordJson(std::string& out, std::size_t entry, const std::u16string& path,
                    const char* status, const ExtractResult& r) {
  out += out.empty() ? "\n  " : ",\n  ";
  out += "{\"entry\": " + std::to_string(entry);
  JsonField(out, "path", ToUtf8(path));
  JsonField(out, "status", status);
  if (!r.path.empty()) JsonField(out, "output", r.path.string());
  JsonNumber(out, "bytes", static_cast<long long>(r.bytesWritten));
  JsonNumber(out, "unreadableSectors", static_cast<long long>(r.unreadableSectors));
  if (!r.ok) JsonField(out, "error", r.error);
  out += "}";
}

void RecoverTally::Print(bool asJson) const {
  if (!asJson) {
    StdOut::Get() << Summary() << "\n";
    return;
  }
  std::string out = "{\"recovered\": " + std::to_string(recovered);
  JsonNumber(out, "bytes", static_cast<long long>(bytes));
  JsonNumber(out, "failed", static_cast<long long>(failed));
  JsonNumber(out, "partial", static_cast<long long>(partial));
  JsonNumber(out, "unreadableSectors", static_cast<long long>(unreadable));
  if (unreadableRecords > 0)
    JsonNumber(out, "unreadableRecords", static_cast<long long>(unreadableRecords));
  out += stopped || stoppedInScan ? ", \"stopped\": true" : ", \"stopped\": false";
  // Not counted when the scan itself was stopped: what it would have found is unknown.
  if (!stoppedInScan) JsonNumber(out, "notStarted", static_cast<long long>(notStarted));
  JsonField(out, "summary", Summary());
  out += ",\n \"files\": [" + json + "]}\n";
  StdOut::Get() << out;
}

// What went to standard output must have got there: a cut document is an error, never success.
void CheckOutput() {
  if (!StdOut::Get().Flush())
    throw Error{1, "standard output: " + StdOut::Get().Error() + " (the output is cut short)"};
}

// Every --path must name something the scan found, or the user mistyped it: nothing is written.
void CheckPathFilters(const ScanContext& ctx, const std::vector<std::string>& pathFilters) {
  for (const auto& filter : pathFilters) {
    const std::vector<std::u16string> one{FromUtf8(filter)};
    bool found = false;
    for (std::size_t k = 0; k < ctx.entries.size() && !found; ++k) found = UnderAny(ctx.PathOf(k), one);
    if (!found)
      throw Error{2, "--path " + filter + ": no folder or file of this partition is there (see brevant scan)"};
  }
}

// Feeds `recover`'s entries to the recoverer in catalogue order (folders first) and reports
// each outcome as it comes back, in the same order.
class RecoverEntries : public RecoverListener {
 public:
  RecoverEntries(ScanContext& ctx, std::vector<std::u16string> prefixes, bool json,
                 const StopSignal& stop)
      : ctx_(ctx), prefixes_(std::move(prefixes)), json_(json), stop_(stop) {
    // Only --deleted-only and --system say which folders to make; with a filter on files a
    // folder is made for the files kept in it, and none stands empty.
    foldersAsFiles_ = NarrowsFiles(ctx.filter);
  }

  bool NextTask(RecoverTask& task) override {
    if (!Advance(task)) return false;
    if (task.file) ++filesGiven_;
    return true;
  }

  // After a stop: the files given out that were never begun, and those never given out.
  std::size_t NotStarted() {
    std::size_t count = filesGiven_ - filesReported_;
    for (RecoverTask task; Advance(task);)
      if (task.file) ++count;
    return count;
  }

  void FolderMade(const RecoverTask& task, const std::string& error) override {
    if (!error.empty())
      std::cerr << "brevant: folder: " << ToUtf8Line(ctx_.PathOf(task.tag)) << ": " << error
                << "\n";
  }

  void FileRecovered(const RecoverTask& task, const ExtractResult& r) override {
    ++filesReported_;
    Report(task, r);
    if (report) report->Add(task, r);
  }

  bool StopRequested() override { return stop_.Received(); }
  bool WantsDetails() override { return report != nullptr; }

  RecoverTally tally;
  RecoveryReport* report = nullptr;  // --report: every file's record

 private:
  // The next entry the filters let through, as a task.
  bool Advance(RecoverTask& task) {
    for (; next_ < ctx_.entries.size(); ++next_) {
      const std::size_t k = next_;
      const CatalogueNode* n = ctx_.entries[k];
      if (ctx_.IsFolder(k) && foldersAsFiles_) continue;
      if (!ctx_.Keeps(k)) continue;
      if (ctx_.IsFolder(k)) {
        const std::u16string path = ctx_.PathOf(k);
        if (!UnderAny(path, prefixes_)) continue;
        task.file = nullptr;
        task.folder = FolderComponents(path);
      } else {
        const std::u16string folder = ctx_.paths->FileFolder(n);
        if (!prefixes_.empty() &&
            !UnderAny(folder + u"/" + ui::PathComponentText(n->name), prefixes_))
          continue;
        task.file = n;
        task.folder = FolderComponents(folder);
      }
      task.tag = k;
      ++next_;
      return true;
    }
    return false;
  }

  void Report(const RecoverTask& task, const ExtractResult& r) {
    const std::size_t k = task.tag;
    const CatalogueNode* n = task.file;
    // Its path is made only for what names it: most files recover without a word.
    auto path = [&] { return ctx_.PathOf(k); };
    const char* status = r.ok ? "recovered" : !r.path.empty() ? "partial" : "failed";
    if (r.ok) {
      ++tally.recovered;
      tally.bytes += r.bytesWritten;
      if (EntryMark(n) == "no chain")
        std::cerr << "brevant: note: " << ToUtf8Line(path())
                  << ": its cluster chain is gone; read from consecutive clusters (wrong if it "
                     "was fragmented)\n";
    } else if (!r.path.empty()) {
      // Kept in part: named here and counted apart, never passed off as recovered.
      ++tally.partial;
      tally.unreadable += r.unreadableSectors;
      std::cerr << "brevant: partly recovered: " << ToUtf8Line(path()) << " (kept as "
                << r.path.string() << ", " << r.bytesWritten << " of " << SizeOf(n)
                << " bytes): " << r.error << "\n";
    } else {
      ++tally.failed;
      std::cerr << "brevant: failed: " << ToUtf8Line(path()) << ": " << r.error << "\n";
    }
    if (json_) FileRecordJson(tally.json, k + 1, path(), status, r);
    // Two writers may both be stopped in a file: the first in catalogue order is named.
    if (r.stopped && tally.stoppedAt.empty())
      tally.stoppedAt =
          ToUtf8Line(path()) + (r.path.empty() ? " (nothing kept)" : " (kept in part)");
  }

  ScanContext& ctx_;
  std::vector<std::u16string> prefixes_;
  bool json_;
  bool foldersAsFiles_ = false;
  const StopSignal& stop_;
  std::size_t next_ = 0;
  std::size_t filesGiven_ = 0, filesReported_ = 0;
};

int RunRecover(ScanContext& ctx, const fs::path& to, const std::vector<std::string>& pathFilters,
               bool json, const StopSignal& stop, const std::string& reportPath,
               const std::string& commandLine) {
  std::vector<std::u16string> prefixes;
  for (const auto& p : pathFilters) prefixes.push_back(FromUtf8(p));
  std::string error;
  auto recoverer = FileRecoverer::Open(ctx.session, to, &error);
  if (!recoverer) throw Error{2, error};
  std::unique_ptr<RecoveryReport> report;
  if (!reportPath.empty()) {
    report = RecoveryReport::Open(reportPath, *ctx.result, {commandLine, recoverer->Destination()},
                                  &error);
    if (!report) throw Error{2, "--report " + error};
  }
  RecoverEntries entries(ctx, std::move(prefixes), json, stop);
  entries.report = report.get();
  entries.tally.unreadableRecords = ctx.result->unreadable.records;
  recoverer->RecoverAll(entries);
  if (stop.Received()) {
    entries.tally.stopped = true;
    entries.tally.notStarted = entries.NotStarted();
  }
  // Closed whole after a stop too: it records what was done.
  bool reportWritten = true;
  if (report && !report->Finish(stop.Received(), &error)) {
    std::cerr << "brevant: " << error << "\n";
    reportWritten = false;
  }
  entries.tally.Print(json);
  // Files the unreadable records held were never found, so not recovered: no plain success.
  ReportUnreadable(ctx.result->unreadable, "the files they held are not recovered", stderr);
  return reportWritten && entries.tally.failed == 0 && entries.tally.partial == 0 &&
                 ctx.result->unreadable.Empty()
             ? 0
             : 1;
}

int RunCat(ScanContext& ctx, long long entry) {
  if (entry < 1 || static_cast<std::size_t>(entry) > ctx.entries.size())
    throw Error{2, "--entry " + std::to_string(entry) + ": no such entry (this scan has " +
                       std::to_string(ctx.entries.size()) + ")"};
  std::size_t k = static_cast<std::size_t>(entry - 1);
  if (ctx.IsFolder(k)) throw Error{2, "--entry " + std::to_string(entry) + " is a folder"};
  const CatalogueNode* n = ctx.entries[k];
  std::fflush(stdout);
  // Straight to the descriptor: the kernel copies where standard output allows it.
  auto out = platform::StandardOutput();
  OutputFileSink sink(*out);
  ExtractResult r = ExtractCatalogueFileTo(ctx.session, sink, *n);
  if (r.stopped) {
    std::cerr << "brevant: stopped: " << ToUtf8Line(ctx.PathOf(k)) << ": " << r.bytesWritten << " of "
              << SizeOf(n) << " bytes written\n";
    return kStoppedExitStatus;
  }
  if (!r.ok) {
    std::cerr << "brevant: " << ToUtf8Line(ctx.PathOf(k)) << ": " << r.error << "\n";
    return 1;
  }
  return 0;
}

// The command as typed, for the report: each argument quoted for a POSIX shell when it needs it.
std::string CommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i > 0) line += ' ';
    if (!arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789-_./=:,+@%") == std::string_view::npos) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

void AddScanOptions(CLI::App* cmd, ScanOptions& o) {
  cmd->add_option("SOURCE", o.source,
                  "Disk image file or raw device (read only); with --results or --resume, "
                  "another place of the source the file names (an image that moved)");
  o.partitionOption = cmd->add_option("--partition", o.partition,
                                      "Partition number, as `brevant disks` numbers them "
                                      "(required unless --results or --resume)");
  o.codepageOption =
      cmd->add_option("--codepage", o.codepage,
                      "OEM code page of FAT short names (437, 850, 852, 866, ...)")
          ->capture_default_str();
  cmd->add_flag("-q,--quiet", o.quiet, "No progress on standard error");
  o.modeOption = cmd->add_option("--mode", o.mode,
                                 "quick, or extensive: also beyond the MFT or the cluster chains "
                                 "(slower)")
                     ->check(CLI::IsMember({"quick", "extensive"}))
                     ->capture_default_str();
  cmd->add_flag("--search", o.search,
                "Also lost volumes no partition table lists, numbered as `disks --search` does");
  cmd->add_flag("--deep-search", o.deepSearch,
                "The same, looking at every sector, numbered as `disks --deep-search` does");
}

void AddResultsOptions(CLI::App* cmd, ScanOptions& o, bool saveAndResume) {
  cmd->add_option("--results", o.results,
                  "A results file saved by --save-results: its result instead of a scan (the "
                  "data is read from the source it names, or SOURCE, when it is the same)");
  if (!saveAndResume) return;
  cmd->add_option("--save-results", o.saveResults,
                  "Keep the result in this file (SQLite), with checkpoints of a long sweep every "
                  "30 seconds and on a stop");
  cmd->add_option("--resume", o.resume,
                  "Go on with the interrupted run this results file holds (SOURCE optional)");
}

void AddFilterOptions(CLI::App* cmd, FilterOptions& f) {
  cmd->add_option("--name", f.name,
                  "Only files whose name matches this pattern (* any run, ? one character, "
                  "[a-z] one of a set; case-insensitive)");
  cmd->add_option("--min-size", f.minSize, "Only files of at least this size (bytes, or 10K, 1.5M, 2G)");
  cmd->add_option("--max-size", f.maxSize, "Only files of at most this size");
  cmd->add_option("--since", f.since,
                  "Only entries modified at or after this time (ISO 8601: 2024-05-01, "
                  "2024-05-01T13:45)");
  cmd->add_option("--until", f.until,
                  "Only entries modified at or before this time (a date alone: to its end)");
  cmd->add_option("--condition", f.conditions,
                  "Only deleted files in this condition: intact, partly-overwritten, "
                  "overwritten, unknown (repeatable, or a comma list)")
      ->delimiter(',');
  cmd->add_option("--category", f.categories,
                  "Only files of this kind by extension: pictures, documents, audio, video, "
                  "archives, e-mail, other (repeatable, or a comma list)")
      ->delimiter(',');
}

}  // namespace

int Main(int argc, char** argv) {
  CLI::App app{"Calverin Brevant: finds and recovers folders and files, deleted ones included, on " +
               std::string(kFileSystemsText) +
               " volumes of disks and disk images. It never writes to the disk it reads."};
  app.set_version_flag("--version", std::string("brevant ") + BREVANT_VERSION);
  app.require_subcommand(0, 1);

  auto* disks = app.add_subcommand("disks", "List disks, disk images and their partitions");
  std::vector<std::string> images;
  bool disksJson = false;
  disks->add_option("--image", images, "A disk image file to list as a disk (repeatable)");
  disks->add_flag("--json", disksJson, "Print JSON");
  DiskSearch disksSearch;
  disks->add_flag("--search", disksSearch.search,
                  "Also list volumes no partition table lists (found at the usual alignments)");
  disks->add_flag("--deep-search", disksSearch.deep,
                  "The same, looking at every sector (slow; Ctrl-C stops it)");
  disks->add_option("--device", disksSearch.devices,
                    "A block device to search (repeatable); without it the search covers the "
                    "images given, or every disk when no image is given");

  ScanOptions scanOpt;
  std::string format = "tree";
  FilterOptions scanFilter;
  auto* scan = app.add_subcommand("scan", "Find the folders and files of a partition");
  AddScanOptions(scan, scanOpt);
  AddResultsOptions(scan, scanOpt, true);
  scan->add_option("--format", format, "tree, json or body (The Sleuth Kit body file)")
      ->check(CLI::IsMember({"tree", "json", "body"}))
      ->capture_default_str();
  scan->add_flag("--deleted-only", scanFilter.deletedOnly, "Only deleted entries");
  AddFilterOptions(scan, scanFilter);

  ScanOptions recOpt;
  std::string to;
  FilterOptions recFilter;
  std::vector<std::string> pathFilters;
  auto* recover = app.add_subcommand("recover", "Copy found files to another place");
  AddScanOptions(recover, recOpt);
  AddResultsOptions(recover, recOpt, true);
  recover->add_option("--to", to, "Folder to write into (not on the disk being read)")->required();
  recover->add_flag("--deleted-only", recFilter.deletedOnly, "Only deleted files");
  recover->add_option("--path", pathFilters, "Only below this folder of the result (repeatable)");
  AddFilterOptions(recover, recFilter);
  recover->add_flag("--system", recFilter.system,
                    "Also the volume's own metadata files ($MFT, $LogFile, $Secure:$SDS, what "
                    "lies below $Extend, ...), which are otherwise left out");
  std::string reportPath;
  recover->add_option("--report", reportPath,
                      "Also write a report of every file (source path, size, time, SHA-256, "
                      "byte runs, condition, outcome): DFXML for .xml or .dfxml, CSV for .csv");
  recover->footer(
      "Exit status: 0 every file recovered whole; 1 some failed or were recovered only in part "
      "(unreadable sectors written as zeros, a full destination), or the scan could not read "
      "some MFT records; 2 a bad argument or an "
      "unusable --to folder or --report path, or a --results file that cannot be used or whose "
      "source is not the one scanned; 130 stopped by Ctrl-C or SIGTERM.");
  bool recJson = false;
  recover->add_flag("--json", recJson,
                    "Print a JSON report of every file (status, bytes, unreadable sectors) "
                    "instead of the summary line");

  ScanOptions catOpt;
  long long entry = 0;
  auto* cat = app.add_subcommand("cat", "Write one found file to standard output");
  AddScanOptions(cat, catOpt);
  AddResultsOptions(cat, catOpt, false);
  cat->add_option("--entry", entry, "Entry number, as `brevant scan --format json` gives it")
      ->required();
  cat->footer(
      "Exit status: 0 the whole file written; 1 it could not be read whole (unreadable sectors "
      "are written as zeros); 2 a bad argument, or a --results file that cannot be used or whose "
      "source is not the one scanned; 130 stopped by Ctrl-C or SIGTERM.");

  app.footer(kExitStatusHelp);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help, --version
      app.exit(e);
      std::cout.flush();
      if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::cerr << "brevant: standard output: the help could not be written\n";
        return 1;
      }
      return 0;
    }
    // Like every other bad argument: one line and status 2.
    std::string line = e.what();
    for (char& c : line)
      if (c == '\n') c = ' ';
    std::cerr << "brevant: " << line << " (see brevant --help)\n";
    return 2;
  }
  try {
    if (disks->parsed()) return RunDisks(images, disksJson, true, disksSearch);
    StopSignal stop;
    if (scan->parsed()) {
      // A bad filter value is refused before the scan.
      ui::FileFilter filter = scanFilter.Make();
      filter.includeSystem = true;  // scan lists everything, marking the volume's own files
      scanOpt.Check(false);
      std::string error;
      if (!scanOpt.saveResults.empty() &&
          !CheckResultsPath(scanOpt.saveResults, scanOpt.source, &error))
        throw Error{2, "--save-results " + error};
      auto ctx = !scanOpt.results.empty() ? LoadScan(scanOpt, false)
                 : !scanOpt.resume.empty() ? ResumeScan(scanOpt, stop)
                                           : RunScan(scanOpt, stop);
      ctx->filter = std::move(filter);
      PrintGuard guard(stop);
      if (format == "json") PrintJson(*ctx, scanOpt, guard);
      else if (format == "body") PrintBody(*ctx, guard);
      else PrintTree(*ctx, scanOpt, guard);
      CheckOutput();
      if (guard.Cut()) {
        std::cerr << "brevant: stopped: the output was cut short; it lists part of what was "
                     "found\n";
        return kStoppedExitStatus;
      }
      if (!ctx->checkpointNote.empty()) std::cerr << "brevant: " << ctx->checkpointNote << "\n";
      if (!ctx->saveError.empty()) {
        std::cerr << "brevant: --save-results: " << ctx->saveError << "\n";
        return 1;
      }
      if (ctx->fromFile && ctx->outcome == RunOutcome::Stopped)
        std::cerr << "brevant: note: the saved scan was stopped; it lists what was found before "
                     "the stop\n";
      if (ctx->stopped) {
        std::cerr << "brevant: stopped: the output holds everything found before the stop\n";
        return kStoppedExitStatus;
      }
      if (!ctx->result->unreadable.Empty()) {
        ReportUnreadable(ctx->result->unreadable, "the output holds everything else", stderr);
        return 1;
      }
      return 0;
    }
    if (recover->parsed()) {
      ui::FileFilter filter = recFilter.Make();
      recOpt.Check(true);
      // The source a results file names, for the checks of the destination and report.
      std::string error;
      if (recOpt.source.empty() && (!recOpt.results.empty() || !recOpt.resume.empty())) {
        SavedRun saved;
        if (!ReadSavedRun(recOpt.results.empty() ? recOpt.resume : recOpt.results, &saved,
                          &error))
          throw Error{2, error};
        recOpt.source = saved.source.path;
      }
      if (!recOpt.saveResults.empty() &&
          !CheckResultsPath(recOpt.saveResults, recOpt.source, &error))
        throw Error{2, "--save-results " + error};
      // The destination is checked (and made) before a scan that may take hours.
      std::error_code ec;
      const bool existed = fs::exists(to, ec);
      if (!FileRecoverer::OpenDestination(to, recOpt.source, &error)) throw Error{2, error};
      // A folder made for a command that then refuses its input, or whose scan fails, is taken
      // back: nothing is written.
      auto takeBack = [&] {
        std::error_code ignored;
        if (!existed && fs::is_empty(to, ignored)) fs::remove(to, ignored);
      };
      // After the destination is made, so that the report may go inside it.
      if (!reportPath.empty() && !CheckReportPath(reportPath, recOpt.source, &error)) {
        takeBack();
        throw Error{2, error};
      }
      std::unique_ptr<ScanContext> ctx;
      try {
        ctx = !recOpt.results.empty() ? LoadScan(recOpt, true)
              : !recOpt.resume.empty() ? ResumeScan(recOpt, stop)
                                       : RunScan(recOpt, stop);
      } catch (const Error& e) {
        if (e.code == 2 || e.code == 1) takeBack();
        if (e.code != kStoppedExitStatus) throw;
      }
      if (ctx && !ctx->checkpointNote.empty())
        std::cerr << "brevant: " << ctx->checkpointNote << "\n";
      if (ctx && !ctx->saveError.empty())
        std::cerr << "brevant: --save-results: " << ctx->saveError << "\n";
      if (!ctx || (ctx->outcome == RunOutcome::Stopped && !ctx->fromFile)) {
        // Nothing is recovered from a scan that did not end.
        RecoverTally tally;
        tally.stoppedInScan = true;
        tally.Print(recJson);
        CheckOutput();
        return kStoppedExitStatus;
      }
      try {
        CheckPathFilters(*ctx, pathFilters);
      } catch (const Error&) {
        takeBack();
        throw;
      }
      ctx->filter = std::move(filter);
      stop.Watch(&ctx->session);
      int rc = RunRecover(*ctx, to, pathFilters, recJson, stop, reportPath,
                          CommandLine(argc, argv));
      stop.Watch(nullptr);
      CheckOutput();
      if (stop.Received()) return kStoppedExitStatus;
      return ctx->saveError.empty() ? rc : 1;
    }
    if (cat->parsed()) {
      catOpt.quiet = true;
      catOpt.Check(true);
      auto ctx = catOpt.results.empty() ? RunScan(catOpt, stop) : LoadScan(catOpt, true);
      if (ctx->stopped || stop.Received()) return kStoppedExitStatus;
      stop.Watch(&ctx->session);
      int rc = RunCat(*ctx, entry);
      stop.Watch(nullptr);
      return stop.Received() ? kStoppedExitStatus : rc;
    }
  } catch (const Error& e) {
    std::cerr << "brevant: " << e.message << "\n";
    StdOut::Get().Flush();
    return e.code;
  } catch (const std::exception& e) {
    std::cerr << "brevant: " << e.what() << "\n";
    return 1;
  }
  StdOut::Get() << app.help();
  if (!StdOut::Get().Flush()) {
    std::cerr << "brevant: standard output: " << StdOut::Get().Error() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace brevant::cli

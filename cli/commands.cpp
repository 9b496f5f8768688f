#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <unordered_map>

#include "core/output_file.h"
#include "recovery/recovery_worker.h"
#include "core/text.h"
#include "cli/cli_view.h"
#include "cli/cmd_disks.h"
#include "cli/stop_signal.h"
#include "disk/disks.h"
#include "fat/codepage.h"
#include "fat/fat_engine.h"
#include "model/file_listing.h"

namespace brevant::cli {
namespace {

namespace fs = std::filesystem;

struct Error {
  int code;
  std::string message;
};

constexpr const char* kExitStatusHelp =
    "Exit status: 0 done; 1 something failed while reading the source or writing a file (each "
    "failure is named on standard error); 2 bad arguments, or a source or destination that "
    "cannot be used (nothing was written); 130 stopped by Ctrl-C or SIGTERM (the "
    "output holds what was found before the stop).";

struct ScanOptions {
  std::string source;
  int partition = 0;
  std::string mode = "quick";
  int codepage = 850;
  bool quiet = false;
};

// One scanned partition: the same path the window takes, from enumeration to result tree.
struct ScanContext {
  RecoverySession session;
  ui::ResultTree startupTree;
  std::unique_ptr<CliView> view;
  bool stopped = false;
  // Every catalogued entry, folders first, numbered from 1 in this order.
  std::vector<const CatalogueNode*> entries;
  std::size_t folderCount = 0;
  std::unique_ptr<ui::EntryPaths> paths;

  bool IsFat() const { return session.scanFsName == "FAT16" || session.scanFsName == "FAT32"; }
  bool IsFolder(std::size_t k) const { return k < folderCount; }

  std::u16string PathOf(std::size_t k) const {
    const CatalogueNode* n = entries[k];
    if (IsFolder(k)) {
      std::u16string p = paths->FolderPath(n);
      if (!p.empty()) return p;
      if (TextToInt(n->id) == session.resultTree->rootFolderId) return u"/";
      return u"/Lost/" + ui::PathComponentText(n->name);
    }
    return paths->FileFolder(n) + u"/" + ui::PathComponentText(n->name);
  }
};

std::unique_ptr<ScanContext> RunScan(const ScanOptions& options, StopSignal& stop) {
  auto ctx = std::make_unique<ScanContext>();
  std::error_code ec;
  if (!fs::exists(options.source, ec))
    throw Error{2, options.source + ": no such file or device"};
  if (fs::is_directory(options.source, ec))
    throw Error{2, options.source + ": is a directory, not a disk or disk image"};
  auto pages = fat::SupportedOemCodePages();
  if (std::find(pages.begin(), pages.end(), options.codepage) == pages.end()) {
    std::string list;
    for (int p : pages) list += (list.empty() ? "" : ", ") + std::to_string(p);
    throw Error{2, "--codepage: " + std::to_string(options.codepage) +
                       " is not supported (use one of " + list + ")"};
  }
  RecoverySession& s = ctx->session;
  s.oemCodePage = options.codepage;
  EnumerateDisks(s, ctx->startupTree, nullptr, {options.source});
  if (s.diskInfoList.empty()) throw Error{2, options.source + ": cannot be listed as a disk"};
  if (!s.diskInfoList[0].openError.empty()) throw Error{2, s.diskInfoList[0].openError};
  int count = s.driveRecords.empty() ? 0 : s.driveRecords[0].partitionCount;
  if (!SelectPartition(s, 0, options.partition))
    throw Error{2, "partition " + std::to_string(options.partition) + " not found on " +
                       options.source + " (it has " + std::to_string(count) +
                       " FAT16, FAT32 or NTFS partitions; see brevant disks --image)"};
  ReadBootSectorParameters(s);
  s.recoverConfirmed.store(1);
  ctx->view = std::make_unique<CliView>(options.quiet);
  stop.Watch(&s);
  RecoveryWorker(s, *ctx->view);
  stop.Watch(nullptr);
  ctx->view->Finish();
  ctx->stopped = ctx->view->Aborted() || stop.Received();
  if (!s.resultTree) {
    if (!ctx->stopped) throw Error{1, "the scan ended before any result was stored"};
    // Stopped before a tree was built: nothing to list, but the output keeps its form.
    s.resultTree = std::make_shared<ui::ResultTree>();
  }
  for (auto* n = s.catalogue.folderList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    ctx->entries.push_back(n);
  ctx->folderCount = ctx->entries.size();
  for (auto* n = s.catalogue.fileList.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
    ctx->entries.push_back(n);
  ctx->paths = std::make_unique<ui::EntryPaths>(*s.resultTree, s.catalogue);
  return ctx;
}

std::uint64_t SizeOf(const CatalogueNode* n) {
  std::int64_t v = TextToInt(n->size);
  return v < 0 ? 0 : static_cast<std::uint64_t>(v);
}

// JSON is written as it goes: a volume of millions of entries never sits in memory twice.
void JsonString(std::string& out, std::string_view utf8) {
  out += '"';
  std::size_t run = 0;  // start of the bytes that need no escape, appended in one go
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8, run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      }
    }
  }
  out.append(utf8, run, utf8.size() - run);
  out += '"';
}

void JsonField(std::string& out, const char* key, std::string_view utf8, bool first = false) {
  if (!first) out += ", ";
  out += '"';
  out += key;
  out += "\": ";
  JsonString(out, utf8);
}

void JsonNumber(std::string& out, const char* key, long long value) {
  out += ", \"";
  out += key;
  out += "\": ";
  out += std::to_string(value);
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
  JsonNumber(out, "size", static_cast<long long>(SizeOf(n)));
  out += n->IsDeleted() ? ", \"deleted\": true" : ", \"deleted\": false";
  JsonNumber(out, "sector", TextToInt(n->sector));
  JsonField(out, "date", ToUtf8(n->date));
  JsonField(out, "time", ToUtf8(n->time));
  JsonNumber(out, "attributes", TextToInt(n->attributes));
  out += "}";
}

// Modification time for the body file and recovered files (FAT: write date and time).
std::optional<std::int64_t> EntryTime(const ScanContext& ctx, const CatalogueNode* n) {
  if (ctx.IsFat()) return FatEntryModifiedTime(*n);
  std::int64_t ft = TextToInt(n->date);
  if (ft <= 0) return std::nullopt;
  return FileTimeToUnix(ft);
}

// A stop during the output ends the lists early; the document is still closed.
void PrintJson(const ScanContext& ctx, const ScanOptions& o, bool deletedOnly, const StopSignal& stop) {
  std::string out = "{";
  JsonField(out, "source", o.source, true);
  out += ",\n \"partition\": {\"number\": " + std::to_string(o.partition);
  JsonField(out, "fs", ctx.session.scanFsName);
  JsonNumber(out, "start", static_cast<long long>(ctx.session.selectedPartitionStart));
  JsonNumber(out, "end", static_cast<long long>(ctx.session.selectedPartitionEnd));
  out += "}";
  for (int pass = 0; pass < 2; ++pass) {
    out += pass == 0 ? ",\n \"folders\": [" : "],\n \"files\": [";
    bool first = true;
    std::size_t from = pass == 0 ? 0 : ctx.folderCount;
    std::size_t to = pass == 0 ? ctx.folderCount : ctx.entries.size();
    for (std::size_t k = from; k < to && !stop.Received(); ++k) {
      if (deletedOnly && !ctx.entries[k]->IsDeleted()) continue;
      out += first ? "\n  " : ",\n  ";
      first = false;
      EntryJson(out, ctx, k);
      if (out.size() > (1 << 20)) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
      }
    }
  }
  out += "]}\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
}

void PrintBody(const ScanContext& ctx, bool deletedOnly, const StopSignal& stop) {
  // The Sleuth Kit's body format: MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime
  for (std::size_t k = 0; k < ctx.entries.size() && !stop.Received(); ++k) {
    const CatalogueNode* n = ctx.entries[k];
    if (deletedOnly && !n->IsDeleted()) continue;
    std::string name = ToUtf8Line(ctx.PathOf(k));
    for (char& c : name)
      if (c == '|') c = '_';
    if (n->IsDeleted()) name += " (deleted)";
    std::int64_t t = EntryTime(ctx, n).value_or(0);
    std::int64_t mtime = ctx.IsFat() ? t : 0, crtime = ctx.IsFat() ? 0 : t;
    std::cout << "0|" << name << "|" << TextToInt(n->id) << "|"
              << (ctx.IsFolder(k) ? "d/drwxrwxrwx" : "r/rrwxrwxrwx") << "|0|0|" << SizeOf(n)
              << "|0|" << mtime << "|0|" << crtime << "\n";
  }
}

void PrintTree(const ScanContext& ctx, const ScanOptions& o, bool deletedOnly, const StopSignal& stop) {
  const auto& tree = *ctx.session.resultTree;
  std::unordered_map<const ui::TreeItem*, std::vector<std::size_t>> filesOf;
  for (std::size_t k = ctx.folderCount; k < ctx.entries.size(); ++k) {
    if (deletedOnly && !ctx.entries[k]->IsDeleted()) continue;
    filesOf[ctx.paths->FileItem(ctx.entries[k])].push_back(k);
  }
  std::cout << o.source << ", partition " << o.partition << " (" << ctx.session.scanFsName
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
  while (!stack.empty() && !stop.Received()) {
    Frame f = stack.back();
    stack.pop_back();
    std::string indent(static_cast<std::size_t>(f.depth) * 2, ' ');
    auto del = deletedItem.find(f.item);
    if (f.depth > 0)
      std::cout << indent << ToUtf8Line(f.item->text) << "/"
                << (del != deletedItem.end() && del->second ? "  [deleted]" : "") << "\n";
    else std::cout << "/\n";
    if (auto it = filesOf.find(f.item); it != filesOf.end())
      for (std::size_t k : it->second) {
        const CatalogueNode* n = ctx.entries[k];
        std::cout << indent << "  " << ToUtf8Line(n->name) << "  " << SizeOf(n) << " bytes"
                  << (n->IsDeleted() ? "  [deleted]" : "") << "  #" << (k + 1) << "\n";
      }
    for (auto it = f.item->children.rbegin(); it != f.item->children.rend(); ++it)
      stack.push_back({it->get(), f.depth + 1});
  }
  std::cout << folders << " folders, " << files << " files\n";
}

// DIR + the entry's tree path, each component made safe (an empty name stays a folder of its own).
fs::path OutputFolder(const fs::path& root, std::u16string_view slashPath) {
  fs::path out = root;
  if (slashPath.size() <= 1) return out;
  std::size_t begin = 1;
  while (begin <= slashPath.size()) {
    std::size_t slash = slashPath.find(u'/', begin);
    if (slash == std::u16string_view::npos) slash = slashPath.size();
    out /= PathFromText(SanitiseName(slashPath.substr(begin, slash - begin)));
    begin = slash + 1;
  }
  return out;
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

int RunRecover(ScanContext& ctx, const fs::path& to, bool deletedOnly,
               const std::vector<std::string>& pathFilters) {
  std::vector<std::u16string> prefixes;
  for (const auto& p : pathFilters) prefixes.push_back(FromUtf8(p));
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec || !fs::is_directory(to)) throw Error{2, to.string() + ": cannot create the folder"};
  std::size_t recovered = 0, failed = 0;
  std::uint64_t bytes = 0;
  for (std::size_t k = 0; k < ctx.entries.size(); ++k) {
    const CatalogueNode* n = ctx.entries[k];
    std::u16string path = ctx.PathOf(k);
    if (!UnderAny(path, prefixes)) continue;
    if (ctx.IsFolder(k)) {
      if (!deletedOnly || n->IsDeleted()) fs::create_directories(OutputFolder(to, path), ec);
      continue;
    }
    if (deletedOnly && !n->IsDeleted()) continue;
    fs::path folder = OutputFolder(to, ctx.paths->FileFolder(n));
    fs::create_directories(folder, ec);
    // The engine gives the recovered file its modification time.
    ExtractResult r = ExtractCatalogueFile(ctx.session, folder, *n);
    if (r.ok) {
      ++recovered;
      bytes += r.bytesWritten;
    } else {
      ++failed;
      std::cerr << "brevant: failed: " << ToUtf8Line(path) << ": " << r.error << "\n";
    }
  }
  std::cout << "recovered " << recovered << " files (" << bytes << " bytes), " << failed
            << " failed\n";
  return failed == 0 ? 0 : 1;
}

int RunCat(ScanContext& ctx, long long entry) {
  if (entry < 1 || static_cast<std::size_t>(entry) > ctx.entries.size())
    throw Error{2, "--entry " + std::to_string(entry) + ": no such entry (this scan has " +
                       std::to_string(ctx.entries.size()) + ")"};
  std::size_t k = static_cast<std::size_t>(entry - 1);
  if (ctx.IsFolder(k)) throw Error{2, "--entry " + std::to_string(entry) + " is a folder"};
  const CatalogueNode* n = ctx.entries[k];
  FileSink sink(stdout);
  ExtractResult r = ExtractCatalogueFileTo(ctx.session, sink, *n);
  std::fflush(stdout);
  if (!r.ok) {
    std::cerr << "brevant: " << ToUtf8Line(ctx.PathOf(k)) << ": " << r.error << "\n";
    return 1;
  }
  return 0;
}

void AddScanOptions(CLI::App* cmd, ScanOptions& o) {
  cmd->add_option("SOURCE", o.source, "Disk image file or raw device (read only)")->required();
  cmd->add_option("--partition", o.partition, "Partition number, as `brevant disks` numbers them")
      ->required();
  cmd->add_option("--codepage", o.codepage, "OEM code page of FAT short names (437, 850, 852, 866, ...)")
      ->capture_default_str();
  cmd->add_flag("-q,--quiet", o.quiet, "No progress on standard error");
}

}  // namespace

int Main(int argc, char** argv) {
  CLI::App app{"Calverin Brevant: finds and recovers folders and files, deleted ones included, on "
               "FAT16, FAT32 and NTFS volumes of disks and disk images. It never writes to the "
               "disk it reads."};
  app.set_version_flag("--version", std::string("brevant ") + BREVANT_VERSION);
  app.require_subcommand(0, 1);

  auto* disks = app.add_subcommand("disks", "List disks, disk images and their partitions");
  std::vector<std::string> images;
  bool disksJson = false;
  disks->add_option("--image", images, "A disk image file to list as a disk (repeatable)");
  disks->add_flag("--json", disksJson, "Print JSON");

  ScanOptions scanOpt;
  std::string format = "tree";
  bool scanDeletedOnly = false;
  auto* scan = app.add_subcommand("scan", "Find the folders and files of a partition");
  AddScanOptions(scan, scanOpt);
  scan->add_option("--mode", scanOpt.mode, "quick or extensive (both run the full scan)")
      ->check(CLI::IsMember({"quick", "extensive"}))
      ->capture_default_str();
  scan->add_option("--format", format, "tree, json or body (The Sleuth Kit body file)")
      ->check(CLI::IsMember({"tree", "json", "body"}))
      ->capture_default_str();
  scan->add_flag("--deleted-only", scanDeletedOnly, "Only deleted entries");

  ScanOptions recOpt;
  std::string to;
  bool recDeletedOnly = false;
  std::vector<std::string> pathFilters;
  auto* recover = app.add_subcommand("recover", "Copy found files to another place");
  AddScanOptions(recover, recOpt);
  recover->add_option("--to", to, "Folder to write into (not on the disk being read)")->required();
  recover->add_flag("--deleted-only", recDeletedOnly, "Only deleted files");
  recover->add_option("--path", pathFilters, "Only below this folder of the result (repeatable)");

  ScanOptions catOpt;
  long long entry = 0;
  auto* cat = app.add_subcommand("cat", "Write one found file to standard output");
  AddScanOptions(cat, catOpt);
  cat->add_option("--entry", entry, "Entry number, as `brevant scan --format json` gives it")
      ->required();

  app.footer(kExitStatusHelp);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    // Like every other bad argument: one line and status 2.
    std::string line = e.what();
    for (char& c : line)
      if (c == '\n') c = ' ';
    std::cerr << "brevant: " << line << " (see brevant --help)\n";
    return 2;
  }
  try {
    if (disks->parsed()) return RunDisks(images, disksJson, true);
    StopSignal stop;
    if (scan->parsed()) {
      auto ctx = RunScan(scanOpt, stop);
      if (format == "json") PrintJson(*ctx, scanOpt, scanDeletedOnly, stop);
      else if (format == "body") PrintBody(*ctx, scanDeletedOnly, stop);
      else PrintTree(*ctx, scanOpt, scanDeletedOnly, stop);
      std::fflush(stdout);
      if (ctx->stopped || stop.Received()) {
        std::cerr << "brevant: stopped: the output holds what was found before the stop\n";
        return kStoppedExitStatus;
      }
      return 0;
    }
    if (recover->parsed()) {
      auto ctx = RunScan(recOpt, stop);
      if (!ctx->stopped) CheckPathFilters(*ctx, pathFilters);
      int rc = RunRecover(*ctx, to, recDeletedOnly, pathFilters);
      return ctx->stopped || stop.Received() ? kStoppedExitStatus : rc;
    }
    if (cat->parsed()) {
      catOpt.quiet = true;
      auto ctx = RunScan(catOpt, stop);
      return RunCat(*ctx, entry);
    }
  } catch (const Error& e) {
    std::cerr << "brevant: " << e.message << "\n";
    return e.code;
  } catch (const std::exception& e) {
    std::cerr << "brevant: " << e.what() << "\n";
    return 1;
  }
  std::cout << app.help();
  return 0;
}

}  // namespace brevant::cli

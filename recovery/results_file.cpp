#include "recovery/results_file.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/read_sectors.h"
#include "core/sha256.h"
#include "core/text.h"
#include "disk/disks.h"
#include "fat/codepage.h"
#include "model/file_listing.h"
#include "model/result_tree.h"
#include "platform/disk_source.h"
#include "platform/output_folder.h"
#include "platform/sector_device.h"
#include "recovery/recovery_worker.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;

// "BrvR": tells a results file from any other SQLite database.
constexpr std::int32_t kApplicationId = 0x42727652;
constexpr std::uint64_t kMiB = 1 << 20;
// Far beyond any real volume's count; a larger one is a damaged file.
constexpr std::int64_t kMaxEntries = std::int64_t{1} << 32;

const char* const kSchema = R"(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE source(path TEXT NOT NULL, path_bytes BLOB NOT NULL, size_bytes INTEGER NOT NULL,
  model TEXT NOT NULL, serial TEXT NOT NULL, sector_size INTEGER NOT NULL,
  boot_sha256 TEXT NOT NULL, first_mib_sha256 TEXT NOT NULL);
CREATE TABLE run(partition_number INTEGER NOT NULL, mode TEXT NOT NULL, outcome TEXT NOT NULL,
  finished INTEGER NOT NULL, fs_name TEXT NOT NULL, partition_start INTEGER NOT NULL,
  partition_end INTEGER NOT NULL, size_bytes INTEGER NOT NULL, free_bytes INTEGER,
  folders INTEGER NOT NULL, files INTEGER NOT NULL,
  live_files INTEGER NOT NULL, live_bytes INTEGER NOT NULL, deleted_files INTEGER NOT NULL,
  deleted_bytes INTEGER NOT NULL, intact_files INTEGER NOT NULL, intact_bytes INTEGER NOT NULL,
  unreadable_records INTEGER NOT NULL, unreadable_stretches INTEGER NOT NULL,
  oem_codepage INTEGER NOT NULL, search_range_end INTEGER NOT NULL, device_name TEXT NOT NULL,
  mft_run_count INTEGER NOT NULL);
CREATE TABLE parameters(kind TEXT PRIMARY KEY, fs_name TEXT NOT NULL,
  fat_size_sectors INTEGER NOT NULL, sectors_per_cluster INTEGER NOT NULL,
  root_dir_sectors INTEGER NOT NULL, root_dir_start INTEGER NOT NULL,
  reserved_sectors INTEGER NOT NULL, cluster_base INTEGER NOT NULL, fat1_start INTEGER NOT NULL,
  fat2_start INTEGER NOT NULL, mft_start INTEGER NOT NULL, mft_mirr_start INTEGER NOT NULL,
  sectors_per_file_record INTEGER NOT NULL, sectors_per_index_record INTEGER NOT NULL,
  cluster_count INTEGER NOT NULL);
CREATE TABLE mft_extent(seq INTEGER PRIMARY KEY, start_sector INTEGER NOT NULL,
  sectors INTEGER NOT NULL);
CREATE TABLE mft_gap(seq INTEGER PRIMARY KEY, virtual_start INTEGER NOT NULL,
  sectors INTEGER NOT NULL, beyond_end INTEGER NOT NULL, sector INTEGER NOT NULL);
CREATE TABLE unreadable(seq INTEGER PRIMARY KEY, first_record INTEGER NOT NULL,
  records INTEGER NOT NULL, first_sector INTEGER NOT NULL, cause TEXT NOT NULL);
CREATE TABLE entry(entry INTEGER PRIMARY KEY, folder INTEGER NOT NULL, ord INTEGER NOT NULL,
  name TEXT NOT NULL, name_utf16 BLOB, path TEXT, type TEXT NOT NULL, deleted TEXT NOT NULL,
  id TEXT NOT NULL, parent_id TEXT NOT NULL, sector TEXT NOT NULL, size TEXT NOT NULL,
  date TEXT NOT NULL, time TEXT NOT NULL, attributes TEXT NOT NULL, spare_text TEXT NOT NULL,
  stream TEXT NOT NULL, stream_utf16 BLOB, sequence INTEGER NOT NULL, condition TEXT,
  overwritten_bytes INTEGER);
CREATE TABLE checkpoint(sweep TEXT NOT NULL, position INTEGER NOT NULL, end_sector INTEGER NOT NULL,
  state BLOB NOT NULL);
)";

class Db {
 public:
  ~Db() {
    if (db_) sqlite3_close(db_);
  }
  bool Open(const std::string& path, int flags, std::string* error) {
    // One thread uses a connection: SQLite's own locking would only cost time.
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      *error = db_ ? sqlite3_errmsg(db_) : "out of memory";
      return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    return true;
  }
  bool Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    *error = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }
  sqlite3* get() const { return db_; }
  std::string Message() const { return sqlite3_errmsg(db_); }
  // Closes now, reporting a failure (a write that could not be finished).
  bool Close(std::string* error) {
    if (sqlite3_close(db_) != SQLITE_OK) {
      *error = sqlite3_errmsg(db_);
      return false;
    }
    db_ = nullptr;
    return true;
  }

 private:
  sqlite3* db_ = nullptr;
};

class Stmt {
 public:
  Stmt(const Db& db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db.get(), sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool Ok() const { return stmt_ != nullptr; }
  void Int(int col, std::int64_t v) { sqlite3_bind_int64(stmt_, col, v); }
  void U64(int col, std::uint64_t v) { sqlite3_bind_int64(stmt_, col, static_cast<std::int64_t>(v)); }
  void Null(int col) { sqlite3_bind_null(stmt_, col); }
  void Text(int col, std::string_view v) {
    sqlite3_bind_text(stmt_, col, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void Blob(int col, const void* data, std::size_t size) {
    sqlite3_bind_blob(stmt_, col, size ? data : "", static_cast<int>(size), SQLITE_TRANSIENT);
  }
  // Runs an insert; ready for the next row afterwards.
  bool Run() {
    const int rc = sqlite3_step(stmt_);
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return rc == SQLITE_DONE;
  }
  // The next row of a query: 1 a row, 0 the end, -1 an error.
  int Step() {
    const int rc = sqlite3_step(stmt_);
    return rc == SQLITE_ROW ? 1 : rc == SQLITE_DONE ? 0 : -1;
  }
  std::int64_t ColInt(int col) const { return sqlite3_column_int64(stmt_, col); }
  bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
  std::string_view ColText(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
  }
  std::string_view ColBlob(int col) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p ? std::string_view(p, static_cast<std::size_t>(n)) : std::string_view();
  }

 private:
  const Db& db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// A digest of every entry row, kept in `meta`: a byte changed inside a row leaves the database
// whole to SQLite, but not to this.
class RowDigest {
 public:
  void Text(std::string_view v) {
    Length(v.size() + 1);
    buffer_.append(v.data(), v.size());
    Flush(false);
  }
  void Null() { Length(0); }
  void Int(std::int64_t v) {
    for (int i = 0; i < 8; ++i)
      buffer_ += static_cast<char>(static_cast<std::uint64_t>(v) >> (8 * i));
    Flush(false);
  }
  std::string Hex() {
    Flush(true);
    return DigestHex(sha_.Final());
  }

 private:
  void Length(std::uint64_t n) { Int(static_cast<std::int64_t>(n)); }
  // Hashed in large pieces: one call per field would cost more than the hashing.
  void Flush(bool all) {
    if (!all && buffer_.size() < (1 << 16)) return;
    sha_.Update(buffer_.data(), buffer_.size());
    buffer_.clear();
  }
  Sha256 sha_;
  std::string buffer_;
};

// A text the UTF-8 column cannot hold exactly: an unpaired surrogate read from a disk.
bool HasLoneSurrogate(std::u16string_view t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    const char16_t c = t[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF)
      ++i;
    else if (c >= 0xD800 && c <= 0xDFFF)
      return true;
  }
  return false;
}

// Binds `text` as UTF-8 at `col`, and its exact UTF-16LE bytes at `rawCol` when UTF-8 loses some.
void BindName(Stmt& s, int col, int rawCol, std::u16string_view text, RowDigest& digest) {
  const std::string utf8 = ToUtf8(text);
  s.Text(col, utf8);
  digest.Text(utf8);
  if (!HasLoneSurrogate(text)) {
    s.Null(rawCol);
    digest.Null();
    return;
  }
  std::string raw;
  raw.reserve(text.size() * 2);
  for (char16_t c : text) {
    raw += static_cast<char>(c & 0xFF);
    raw += static_cast<char>(c >> 8);
  }
  s.Blob(rawCol, raw.data(), raw.size());
  digest.Text(raw);
}

std::u16string ReadName(const Stmt& s, int col, int rawCol, RowDigest& digest) {
  digest.Text(s.ColText(col));
  if (s.IsNull(rawCol)) digest.Null();
  if (!s.IsNull(rawCol)) {
    const std::string_view raw = s.ColBlob(rawCol);
    digest.Text(raw);
    std::u16string text(raw.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                      (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
    return text;
  }
  return FromUtf8(s.ColText(col));
}

// The digest of every row of the tables beside the entries, column by column, in a fixed order.
bool StateDigest(const Db& db, std::string* hex) {
  static const char* const kQueries[] = {
      "SELECT * FROM source", "SELECT * FROM run", "SELECT * FROM parameters ORDER BY kind",
      "SELECT * FROM mft_extent ORDER BY seq", "SELECT * FROM mft_gap ORDER BY seq",
      "SELECT * FROM unreadable ORDER BY seq", "SELECT * FROM checkpoint"};
  RowDigest digest;
  for (const char* sql : kQueries) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql, -1, &stmt, nullptr) != SQLITE_OK) return false;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
        const int type = sqlite3_column_type(stmt, c);
        digest.Int(type);
        if (type == SQLITE_NULL) continue;
        if (type == SQLITE_INTEGER) {
          digest.Int(sqlite3_column_int64(stmt, c));
          continue;
        }
        const void* p = type == SQLITE_BLOB ? sqlite3_column_blob(stmt, c)
                                            : static_cast<const void*>(sqlite3_column_text(stmt, c));
        const int n = sqlite3_column_bytes(stmt, c);
        digest.Text(p ? std::string_view(static_cast<const char*>(p), static_cast<std::size_t>(n))
                      : std::string_view());
      }
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) return false;
  }
  *hex = digest.Hex();
  return true;
}

std::u16string_view Of(const char16_t* t) { return t ? std::u16string_view(t) : std::u16string_view(); }

const char* OutcomeName(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::Completed: return "completed";
    case RunOutcome::CompletedWithUnreadable: return "completed with unreadable records";
    case RunOutcome::Stopped: return "stopped";
    case RunOutcome::Failed: return "failed";
    case RunOutcome::Refused: return "refused";
  }
  return "completed";
}

std::optional<RunOutcome> OutcomeOf(std::string_view text) {
  for (RunOutcome o : {RunOutcome::Completed, RunOutcome::CompletedWithUnreadable,
                       RunOutcome::Stopped})
    if (text == OutcomeName(o)) return o;
  return std::nullopt;
}

const char* CauseName(UnreadableCause cause) {
  switch (cause) {
    case UnreadableCause::ReadError: return "read error";
    case UnreadableCause::BeyondEnd: return "beyond end";
    case UnreadableCause::Unmapped: return "unmapped";
  }
  return "read error";
}

std::optional<UnreadableCause> CauseOf(std::string_view text) {
  for (UnreadableCause c : {UnreadableCause::ReadError, UnreadableCause::BeyondEnd,
                            UnreadableCause::Unmapped})
    if (text == CauseName(c)) return c;
  return std::nullopt;
}

// Everything a file holds, from a finished result or from a run still going.
struct Snapshot {
  const Catalogue* catalogue = nullptr;
  const RecoverySession* state = nullptr;  // parameters, selection, MFT extents
  const UnreadableIndex* unreadable = nullptr;
  const RunResult* result = nullptr;  // null during a run: no paths, no states yet
  std::string outcome;
  std::string fsName;
  std::uint64_t partitionStart = 0, partitionEnd = 0;
  PartitionFigures figures;
  FileFigures files;
};

bool InsertParameters(const Db& db, const char* kind, const std::string& fsName,
                      const PartitionParameters& p) {
  Stmt s(db, "INSERT INTO parameters VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  if (!s.Ok()) return false;
  s.Text(1, kind);
  s.Text(2, fsName);
  const std::uint64_t values[] = {p.fatSizeSectors, p.sectorsPerCluster, p.rootDirSectors,
                                  p.rootDirStart,   p.reservedSectors,   p.clusterBase,
                                  p.fat1Start,      p.fat2Start,         p.mftStart,
                                  p.mftMirrStart,   p.sectorsPerFileRecord, p.sectorsPerIndexRecord,
                                  p.clusterCount};
  for (int i = 0; i < 13; ++i) s.U64(3 + i, values[i]);
  return s.Run();
}

bool WriteTables(const Db& db, const Snapshot& snap, const SavedRun& run,
                 const SweepCheckpoint* checkpoint, std::string* error) {
  auto fail = [&](const char* what) {
    *error = std::string(what) + ": " + db.Message();
    return false;
  };
  const RecoverySession& st = *snap.state;
  const Catalogue& cat = *snap.catalogue;
  const std::size_t folders = cat.folderList.count.load(), files = cat.fileList.count.load();
  {
    Stmt s(db, "INSERT INTO meta VALUES(?,?)");
    if (!s.Ok()) return fail("meta");
    char created[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm tm {};
    gmtime_r(&now, &tm);
    std::strftime(created, sizeof created, "%Y-%m-%dT%H:%M:%SZ", &tm);
    const std::pair<const char*, std::string> rows[] = {
        {"format", "brevant-results"},
        {"schema", std::to_string(kResultsSchemaVersion)},
        {"program", std::string("brevant ") + BREVANT_VERSION},
        {"created", created}};
    for (const auto& [k, v] : rows) {
      s.Text(1, k);
      s.Text(2, v);
      if (!s.Run()) return fail("meta");
    }
  }
  {
    Stmt s(db, "INSERT INTO source VALUES(?,?,?,?,?,?,?,?)");
    const SourceIdentity& id = run.source;
    if (!s.Ok()) return fail("source");
    s.Text(1, ToUtf8(FromUtf8(id.path)));
    s.Blob(2, id.path.data(), id.path.size());
    s.U64(3, id.sizeBytes);
    s.Text(4, id.model);
    s.Text(5, id.serial);
    s.Int(6, id.sectorSize);
    s.Text(7, id.bootSha256);
    s.Text(8, id.firstMibSha256);
    if (!s.Run()) return fail("source");
  }
  {
    Stmt s(db, "INSERT INTO run VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!s.Ok()) return fail("run");
    s.Int(1, run.partitionNumber);
    s.Text(2, run.mode);
    s.Text(3, snap.outcome);
    s.Int(4, checkpoint ? 0 : 1);
    s.Text(5, snap.fsName);
    s.U64(6, snap.partitionStart);
    s.U64(7, snap.partitionEnd);
    s.U64(8, snap.figures.sizeBytes);
    if (snap.figures.freeBytes) s.U64(9, *snap.figures.freeBytes); else s.Null(9);
    s.U64(10, folders);
    s.U64(11, files);
    s.U64(12, snap.files.liveFiles);
    s.U64(13, snap.files.liveBytes);
    s.U64(14, snap.files.deletedFiles);
    s.U64(15, snap.files.deletedBytes);
    s.U64(16, snap.files.intactFiles);
    s.U64(17, snap.files.intactBytes);
    s.U64(18, snap.unreadable->records);
    s.U64(19, snap.unreadable->stretches);
    s.Int(20, st.oemCodePage);
    s.U64(21, st.searchRangeEnd);
    s.Text(22, st.deviceName);
    s.U64(23, st.mftExtents.mftRunCount);
    if (!s.Run()) return fail("run");
  }
  if (!InsertParameters(db, "partition", st.selectedFsName, st.partParams) ||
      !InsertParameters(db, "scan", st.scanParams.fsName, st.scanParams))
    return fail("parameters");
  {
    Stmt s(db, "INSERT INTO mft_extent VALUES(?,?,?)");
    if (!s.Ok()) return fail("mft_extent");
    const auto& m = st.mftExtents;
    for (std::size_t i = 0; i < m.mftRunStart.size() && i < m.mftRunLength.size(); ++i) {
      s.U64(1, i);
      s.U64(2, m.mftRunStart[i]);
      s.U64(3, m.mftRunLength[i]);
      if (!s.Run()) return fail("mft_extent");
    }
    Stmt g(db, "INSERT INTO mft_gap VALUES(?,?,?,?,?)");
    if (!g.Ok()) return fail("mft_gap");
    for (std::size_t i = 0; i < m.gaps.size(); ++i) {
      g.U64(1, i);
      g.U64(2, m.gaps[i].virtualStart);
      g.U64(3, m.gaps[i].length);
      g.Int(4, m.gaps[i].beyondEnd ? 1 : 0);
      g.U64(5, m.gaps[i].sector);
      if (!g.Run()) return fail("mft_gap");
    }
  }
  {
    Stmt s(db, "INSERT INTO unreadable VALUES(?,?,?,?,?)");
    if (!s.Ok()) return fail("unreadable");
    const auto& named = snap.unreadable->named;
    for (std::size_t i = 0; i < named.size(); ++i) {
      s.U64(1, i);
      s.U64(2, named[i].firstRecord);
      s.U64(3, named[i].count);
      s.U64(4, named[i].firstSector);
      s.Text(5, CauseName(named[i].cause));
      if (!s.Run()) return fail("unreadable");
    }
  }
  {
    // Streamed from the catalogue: one row bound and written at a time.
    Stmt s(db, "INSERT INTO entry VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!s.Ok()) return fail("entry");
    std::uint64_t number = 0;
    RowDigest digest;
    for (int pass = 0; pass < 2; ++pass) {
      const bool folder = pass == 0;
      const CatalogueList<CatalogueNode>& list = folder ? cat.folderList : cat.fileList;
      for (const CatalogueNode* n = list.First(); n; n = CatalogueList<CatalogueNode>::Next(n)) {
        s.U64(1, ++number);
        s.Int(2, folder ? 1 : 0);
        s.U64(3, n->order);
        digest.Int(static_cast<std::int64_t>(number));
        digest.Int(folder ? 1 : 0);
        digest.Int(n->order);
        BindName(s, 4, 5, Of(n->name), digest);
        if (snap.result && snap.result->paths) {
          const std::string path = ToUtf8(snap.result->paths->EntryPath(n));
          s.Text(6, path);
          digest.Text(path);
        } else {
          s.Null(6);
          digest.Null();
        }
        const char16_t* texts[] = {n->type, n->deleted, n->id,   n->parentId,   n->sector,
                                   n->size, n->date,    n->time, n->attributes, n->spareText};
        for (int i = 0; i < 10; ++i) {
          const std::string v = ToUtf8(Of(texts[i]));
          s.Text(7 + i, v);
          digest.Text(v);
        }
        BindName(s, 17, 18, Of(n->stream), digest);
        s.Int(19, n->sequence);
        digest.Int(n->sequence);
        if (snap.result && !folder && n->IsDeleted()) {
          const FileState state = snap.result->StateOf(*n);
          s.Text(20, ConditionText(state.condition));
          s.U64(21, state.overwrittenBytes);
          digest.Text(ConditionText(state.condition));
          digest.Int(static_cast<std::int64_t>(state.overwrittenBytes));
        } else {
          s.Null(20);
          s.Null(21);
          digest.Null();
        }
        if (!s.Run()) return fail("entry");
      }
    }
    Stmt m(db, "INSERT INTO meta VALUES('entries_sha256',?)");
    if (!m.Ok()) return fail("meta");
    m.Text(1, digest.Hex());
    if (!m.Run()) return fail("meta");
  }
  if (checkpoint) {
    Stmt s(db, "INSERT INTO checkpoint VALUES(?,?,?,?)");
    if (!s.Ok()) return fail("checkpoint");
    s.Text(1, checkpoint->sweep);
    s.U64(2, checkpoint->position);
    s.U64(3, checkpoint->end);
    s.Blob(4, checkpoint->state.data(), checkpoint->state.size());
    if (!s.Run()) return fail("checkpoint");
  }
  std::string hex;
  Stmt m(db, "INSERT INTO meta VALUES('state_sha256',?)");
  if (!StateDigest(db, &hex) || !m.Ok()) return fail("meta");
  m.Text(1, hex);
  if (!m.Run()) return fail("meta");
  return true;
}

bool SyncPath(const fs::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Written beside `path` and renamed over it once whole and on the disk: whoever reads `path`
// sees the previous file or this one, never part of one.
bool WriteFile(const fs::path& path, const Snapshot& snap, const SavedRun& run,
               const SweepCheckpoint* checkpoint, std::string* error) {
  // A name of its own beside `path`: never a file someone else keeps there.
  std::string name = path.string() + ".XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    *error = path.string() + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  const fs::path part = name;
  std::error_code ec;
  bool ok = false;
  {
    Db db;
    std::string why;
    ok = db.Open(part.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, &why) &&
         // No journal: the file is not in use until it is renamed into place.
         db.Exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", &why) &&
         db.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId) +
                  "; PRAGMA user_version=" + std::to_string(kResultsSchemaVersion) + ";")
                     .c_str(),
                 &why) &&
         db.Exec("BEGIN", &why) && db.Exec(kSchema, &why) &&
         WriteTables(db, snap, run, checkpoint, &why) && db.Exec("COMMIT", &why) &&
         db.Close(&why);
    if (!ok) *error = path.string() + ": " + why;
  }
  if (ok && !SyncPath(part, O_RDONLY)) {
    *error = path.string() + ": " + std::strerror(errno);
    ok = false;
  }
  if (ok) {
    fs::rename(part, path, ec);
    if (ec) {
      *error = path.string() + ": " + ec.message();
      ok = false;
    }
  }
  if (!ok) {
    fs::remove(part, ec);
    return false;
  }
  fs::path folder = path.parent_path();
  SyncPath(folder.empty() ? fs::path(".") : folder, O_RDONLY | O_DIRECTORY);
  return true;
}

// The first checks of a file to be read: a results file of a schema this build reads, whole.
bool OpenForReading(const fs::path& path, Db& db, std::string* error) {
  const std::string name = path.string();
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) {
    *error = name + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = name + ": not a results file (not a regular file)";
    return false;
  }
  if (st.st_size == 0) {
    *error = name + ": not a results file (it is empty)";
    return false;
  }
  std::string why;
  if (!db.Open(name, SQLITE_OPEN_READONLY, &why)) {
    *error = name + ": cannot be opened: " + why;
    return false;
  }
  Stmt app(db, "PRAGMA application_id");
  if (!app.Ok() || app.Step() != 1) {
    const bool notDb = (sqlite3_errcode(db.get()) & 0xFF) == SQLITE_NOTADB;
    *error = name + (notDb ? ": not a results file (" : ": damaged results file (") +
             db.Message() + ")";
    return false;
  }
  if (app.ColInt(0) != kApplicationId) {
    *error = name + ": not a results file (an SQLite database of another program)";
    return false;
  }
  Stmt version(db, "PRAGMA user_version");
  if (!version.Ok() || version.Step() != 1) {
    *error = name + ": damaged results file (" + db.Message() + ")";
    return false;
  }
  const std::int64_t schema = version.ColInt(0);
  if (schema > kResultsSchemaVersion) {
    *error = name + ": written by a newer Brevant (results schema " + std::to_string(schema) +
             "; this one reads up to " + std::to_string(kResultsSchemaVersion) +
             "): open it with that version";
    return false;
  }
  if (schema < 1) {
    *error = name + ": not a results file (no schema version)";
    return false;
  }
  // Every page is checked before anything is believed: a file cut short or overwritten in part.
  Stmt check(db, "PRAGMA quick_check(1)");
  if (!check.Ok() || check.Step() != 1) {
    *error = name + ": damaged results file (" + db.Message() + ")";
    return false;
  }
  if (check.ColText(0) != "ok") {
    std::string what(check.ColText(0));
    for (char& c : what)
      if (c == '\n' || c == '\r') c = ' ';
    *error = name + ": damaged results file (" + what + ")";
    return false;
  }
  Stmt format(db, "SELECT value FROM meta WHERE key='format'");
  if (!format.Ok() || format.Step() != 1 || format.ColText(0) != "brevant-results") {
    *error = name + ": damaged results file (its meta table does not name the format)";
    return false;
  }
  std::string hex;
  Stmt state(db, "SELECT value FROM meta WHERE key='state_sha256'");
  if (!StateDigest(db, &hex) || !state.Ok() || state.Step() != 1 || state.ColText(0) != hex) {
    *error = name + ": damaged results file (its source, run or parameters do not match their "
                    "digest: some were changed)";
    return false;
  }
  return true;
}

// The run's rows and the source, with what the session needs to read the volume.
struct RunRow {
  RunOutcome outcome = RunOutcome::Completed;
  std::string fsName;
  std::uint64_t start = 0, end = 0;
  PartitionFigures figures;
  std::uint64_t folders = 0, files = 0;
  FileFigures counted;
  std::uint64_t unreadableRecords = 0, unreadableStretches = 0;
};

bool ReadParameters(const Db& db, const char* kind, std::string* fsName, PartitionParameters* p) {
  Stmt s(db, "SELECT * FROM parameters WHERE kind=?");
  if (!s.Ok()) return false;
  s.Text(1, kind);
  if (s.Step() != 1) return false;
  *fsName = std::string(s.ColText(1));
  std::uint64_t* fields[] = {&p->fatSizeSectors, &p->sectorsPerCluster, &p->rootDirSectors,
                             &p->rootDirStart,   &p->reservedSectors,   &p->clusterBase,
                             &p->fat1Start,      &p->fat2Start,         &p->mftStart,
                             &p->mftMirrStart,   &p->sectorsPerFileRecord,
                             &p->sectorsPerIndexRecord, &p->clusterCount};
  for (int i = 0; i < 13; ++i) {
    const std::int64_t v = s.ColInt(2 + i);
    if (v < 0) return false;
    *fields[i] = static_cast<std::uint64_t>(v);
  }
  return true;
}

// Reads everything but the entries into `session` and `run`; `row` keeps the run's figures.
bool ReadState(const Db& db, RecoverySession& session, SavedRun* run, RunRow* row,
               std::string* why) {
  {
    Stmt s(db, "SELECT path_bytes, size_bytes, model, serial, sector_size, boot_sha256, "
               "first_mib_sha256 FROM source");
    if (!s.Ok() || s.Step() != 1) return *why = "no source", false;
    SourceIdentity& id = run->source;
    id.path = std::string(s.ColBlob(0));
    const std::int64_t size = s.ColInt(1), sector = s.ColInt(4);
    if (size < 0 || sector < 512 || sector > 65536 || (sector & (sector - 1)) != 0)
      return *why = "the source's size or sector size is no such value", false;
    id.sizeBytes = static_cast<std::uint64_t>(size);
    id.sectorSize = static_cast<std::uint32_t>(sector);
    id.model = std::string(s.ColText(2));
    id.serial = std::string(s.ColText(3));
    id.bootSha256 = std::string(s.ColText(5));
    id.firstMibSha256 = std::string(s.ColText(6));
  }
  Stmt s(db, "SELECT partition_number, mode, outcome, finished, fs_name, partition_start, "
             "partition_end, size_bytes, free_bytes, folders, files, intact_files, intact_bytes, "
             "unreadable_records, unreadable_stretches, oem_codepage, search_range_end, "
             "device_name, mft_run_count FROM run");
  if (!s.Ok() || s.Step() != 1) return *why = "no run", false;
  for (int col : {0, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 18})
    if (s.ColInt(col) < 0) return *why = "a negative count or sector in the run", false;
  run->partitionNumber = static_cast<int>(std::min<std::int64_t>(s.ColInt(0), 1 << 20));
  run->mode = std::string(s.ColText(1));
  if (run->mode != "quick" && run->mode != "extensive")
    return *why = "the run's mode is neither quick nor extensive", false;
  run->finished = s.ColInt(3) != 0;
  const std::string outcome(s.ColText(2));
  if (run->finished) {
    auto o = OutcomeOf(outcome);
    if (!o) return *why = "the run's outcome " + outcome + " is unknown", false;
    row->outcome = *o;
  }
  row->fsName = std::string(s.ColText(4));
  row->start = static_cast<std::uint64_t>(s.ColInt(5));
  row->end = static_cast<std::uint64_t>(s.ColInt(6));
  if (row->end < row->start) return *why = "the partition ends before it starts", false;
  row->figures.sizeBytes = static_cast<std::uint64_t>(s.ColInt(7));
  if (!s.IsNull(8)) {
    if (s.ColInt(8) < 0) return *why = "a negative free space", false;
    row->figures.freeBytes = static_cast<std::uint64_t>(s.ColInt(8));
  }
  row->folders = static_cast<std::uint64_t>(s.ColInt(9));
  row->files = static_cast<std::uint64_t>(s.ColInt(10));
  if (row->folders > kMaxEntries || row->files > kMaxEntries)
    return *why = "more entries than any volume holds", false;
  row->counted.intactFiles = static_cast<std::uint64_t>(s.ColInt(11));
  row->counted.intactBytes = static_cast<std::uint64_t>(s.ColInt(12));
  row->unreadableRecords = static_cast<std::uint64_t>(s.ColInt(13));
  row->unreadableStretches = static_cast<std::uint64_t>(s.ColInt(14));
  if (!fat::IsSupportedOemCodePage(static_cast<int>(std::min<std::int64_t>(s.ColInt(15), 1 << 16))))
    return *why = "its code page is none this build reads", false;
  session.oemCodePage = static_cast<int>(s.ColInt(15));
  session.searchRangeEnd = static_cast<std::uint64_t>(s.ColInt(16));
  session.deviceName = std::string(s.ColText(17));
  const std::int64_t runCount = s.ColInt(18);

  session.devicePath = {run->source.path};
  session.selectedDisk = 0;
  session.selectedPartitionStart = row->start;
  session.selectedPartitionEnd = row->end;
  session.selectedSectorSize = run->source.sectorSize;
  session.recoveryMode.store(run->mode == "extensive" ? 2 : 1);
  std::string partFs;
  if (!ReadParameters(db, "partition", &partFs, &session.partParams) ||
      !ReadParameters(db, "scan", &session.scanParams.fsName, &session.scanParams))
    return *why = "the partition's parameters are missing or wrong", false;
  session.selectedFsName = partFs;
  session.scanFsName = row->fsName;
  session.SetSelectedFigures(row->figures);

  MftExtentTable& m = session.mftExtents;
  m.Clear();
  {
    Stmt e(db, "SELECT seq, start_sector, sectors FROM mft_extent ORDER BY seq");
    if (!e.Ok()) return *why = db.Message(), false;
    int rc;
    while ((rc = e.Step()) == 1) {
      if (e.ColInt(0) != static_cast<std::int64_t>(m.mftRunStart.size()) || e.ColInt(1) < 0 ||
          e.ColInt(2) < 0)
        return *why = "the MFT extents are out of order or negative", false;
      m.mftRunStart.push_back(static_cast<std::uint64_t>(e.ColInt(1)));
      m.mftRunLength.push_back(static_cast<std::uint64_t>(e.ColInt(2)));
    }
    if (rc < 0) return *why = db.Message(), false;
    if (runCount != static_cast<std::int64_t>(m.mftRunStart.size()))
      return *why = "the MFT extents are not all there", false;
    m.mftRunCount = m.mftRunStart.size();
  }
  {
    Stmt g(db, "SELECT virtual_start, sectors, beyond_end, sector FROM mft_gap ORDER BY seq");
    if (!g.Ok()) return *why = db.Message(), false;
    int rc;
    while ((rc = g.Step()) == 1) {
      if (g.ColInt(0) < 0 || g.ColInt(1) < 0 || g.ColInt(3) < 0)
        return *why = "a negative MFT gap", false;
      m.gaps.push_back({static_cast<std::uint64_t>(g.ColInt(0)),
                        static_cast<std::uint64_t>(g.ColInt(1)), g.ColInt(2) != 0,
                        static_cast<std::uint64_t>(g.ColInt(3))});
    }
    if (rc < 0) return *why = db.Message(), false;
  }
  {
    Stmt u(db, "SELECT first_record, records, first_sector, cause FROM unreadable ORDER BY seq");
    if (!u.Ok()) return *why = db.Message(), false;
    UnreadableIndex index;
    int rc;
    while ((rc = u.Step()) == 1) {
      auto cause = CauseOf(u.ColText(3));
      if (!cause || u.ColInt(0) < 0 || u.ColInt(1) <= 0 || u.ColInt(2) < 0 ||
          index.named.size() >= UnreadableIndex::kNamedStretches)
        return *why = "an unreadable stretch is no such stretch", false;
      index.named.push_back({static_cast<std::uint64_t>(u.ColInt(0)),
                             static_cast<std::uint64_t>(u.ColInt(1)),
                             static_cast<std::uint64_t>(u.ColInt(2)), *cause});
    }
    if (rc < 0) return *why = db.Message(), false;
    index.records = row->unreadableRecords;
    index.stretches = row->unreadableStretches;
    if (index.stretches < index.named.size())
      return *why = "fewer unreadable stretches counted than named", false;
    session.unreadable = std::move(index);
  }
  if (!run->finished) {
    Stmt c(db, "SELECT sweep, position, end_sector, state FROM checkpoint");
    if (!c.Ok() || c.Step() != 1) return *why = "an unfinished run without its checkpoint", false;
    if (c.ColInt(1) < 0 || c.ColInt(2) < 0) return *why = "a negative checkpoint position", false;
    SweepCheckpoint cp;
    cp.sweep = std::string(c.ColText(0));
    cp.position = static_cast<std::uint64_t>(c.ColInt(1));
    cp.end = static_cast<std::uint64_t>(c.ColInt(2));
    const std::string_view state = c.ColBlob(3);
    cp.state.assign(state.begin(), state.end());
    run->checkpoint = std::move(cp);
  }
  return true;
}

// Steps the entry rows into `catalogue` in their saved order (so each node's `order` is what
// it was); the deleted files' states go to `result` when there is one.
bool ReadEntries(const Db& db, Catalogue& catalogue, RunResult* result, const RunRow& row,
                 std::string* why) {
  Stmt s(db, "SELECT entry, folder, ord, name, name_utf16, type, deleted, id, parent_id, sector, "
             "size, date, time, attributes, spare_text, stream, stream_utf16, sequence, "
             "condition, overwritten_bytes, path FROM entry ORDER BY entry");
  if (!s.Ok()) return *why = db.Message(), false;
  std::uint64_t number = 0, folders = 0, files = 0;
  RowDigest digest;
  int rc;
  while ((rc = s.Step()) == 1) {
    const bool folder = s.ColInt(1) != 0;
    for (int col : {0, 1, 2}) digest.Int(s.ColInt(col));
    const std::uint64_t expectedOrder = folder ? folders : files;
    if (s.ColInt(0) != static_cast<std::int64_t>(++number) ||
        s.ColInt(2) != static_cast<std::int64_t>(expectedOrder) || (folder && files > 0))
      return *why = "entry " + std::to_string(number) + " is out of order", false;
    const std::int64_t sequence = s.ColInt(17);
    if (sequence < INT32_MIN || sequence > INT32_MAX)
      return *why = "entry " + std::to_string(number) + " has no such sequence number", false;
    const std::u16string name = ReadName(s, 3, 4, digest);
    // Not read back (the tree gives it), but part of what the digest covers.
    if (s.IsNull(20)) digest.Null(); else digest.Text(s.ColText(20));
    auto t = [&](int col) {
      digest.Text(s.ColText(col));
      return FromUtf8(s.ColText(col));
    };
    const std::u16string type = t(5), deleted = t(6), id = t(7), parentId = t(8), sector = t(9),
                         size = t(10), date = t(11), time = t(12), attributes = t(13),
                         spare = t(14);
    const std::u16string stream = ReadName(s, 15, 16, digest);
    digest.Int(sequence);
    if (s.IsNull(18)) {
      digest.Null();
    } else {
      digest.Text(s.ColText(18));
      digest.Int(s.ColInt(19));
    }
    const CatalogueNode* node;
    if (folder) {
      node = catalogue.AppendFolder(name, sector, id, parentId, date, time, size, attributes,
                                    spare, type, deleted, static_cast<std::int32_t>(sequence));
      ++folders;
    } else {
      node = catalogue.AppendFile(name, sector, id, parentId, date, time, size, attributes, spare,
                                  type, deleted, static_cast<std::int32_t>(sequence), stream);
      ++files;
    }
    if (result && !folder && node->IsDeleted() && !s.IsNull(18)) {
      auto condition = ParseCondition(s.ColText(18));
      if (!condition || *condition == FileCondition::Live || s.ColInt(19) < 0)
        return *why = "entry " + std::to_string(number) + " has no such condition", false;
      result->SetState(*node, {*condition, static_cast<std::uint64_t>(s.ColInt(19))});
    }
  }
  if (rc < 0) return *why = db.Message(), false;
  Stmt m(db, "SELECT value FROM meta WHERE key='entries_sha256'");
  if (!m.Ok() || m.Step() != 1 || m.ColText(0) != digest.Hex())
    return *why = "its entries do not match their digest: some were changed", false;
  if (folders != row.folders || files != row.files)
    return *why = "it lists " + std::to_string(folders) + " folders and " +
                  std::to_string(files) + " files of the " + std::to_string(row.folders) +
                  " and " + std::to_string(row.files) + " its run found",
           false;
  return true;
}

// The tree builders report to no one here.
class QuietView : public RecoveryView {
 public:
  void SetStatusText(const std::u16string&) override {}
  void SetProgress(int) override {}
  void SetStopEnabled(bool) override {}
  bool ShowMessage(const std::u16string&, const std::u16string&, MessageIcon,
                   MessageButtons) override {
    return true;
  }
  void HandOverResult(std::shared_ptr<RunResult>) override {}
  void RunEnded(RunOutcome) override {}
};

// The SQLite header with this program's application id (big-endian at byte 68).
bool HasResultsHeader(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char header[100];
  const bool read = ::pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
  ::close(fd);
  if (!read || std::memcmp(header, "SQLite format 3", 16) != 0) return false;
  const std::uint32_t id = (std::uint32_t{header[68]} << 24) | (std::uint32_t{header[69]} << 16) |
                           (std::uint32_t{header[70]} << 8) | header[71];
  return id == static_cast<std::uint32_t>(kApplicationId);
}

std::string ShortHex(const std::string& hex) { return hex.substr(0, 16) + "..."; }

}  // namespace

bool ReadSourceIdentity(const std::string& path, std::uint64_t partitionStart,
                        std::uint64_t partitionEnd, std::uint32_t sectorSize, SourceIdentity* out,
                        std::string* error) {
  std::string why;
  auto device = platform::DeviceTable::Instance().Get(path, &why);
  if (!device) {
    *error = path + ": " + (why.empty() ? "cannot be opened" : why);
    return false;
  }
  SourceIdentity id;
  id.path = path;
  id.sizeBytes = device->SizeBytes();
  id.sectorSize = sectorSize;
  const platform::DriveIds ids = platform::DriveIdsOf(path);
  id.model = ids.model;
  id.serial = ids.serial;
  const std::uint64_t offset = partitionStart * platform::kSectorSize;
  std::uint64_t span = partitionEnd > partitionStart
                           ? (partitionEnd - partitionStart) * platform::kSectorSize
                           : 0;
  if (offset >= id.sizeBytes) span = 0;
  span = std::min<std::uint64_t>({span, kMiB, id.sizeBytes - std::min(offset, id.sizeBytes)});
  std::vector<unsigned char> bytes(span);
  std::size_t got = 0;
  while (got < span) {
    const std::int64_t n = device->ReadAt(offset + got, bytes.data() + got, span - got);
    if (n <= 0) {
      *error = path + ": the volume's first bytes cannot be read";
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  Sha256 boot, first;
  boot.Update(bytes.data(), std::min<std::size_t>(span, sectorSize));
  first.Update(bytes.data(), span);
  id.bootSha256 = DigestHex(boot.Final());
  id.firstMibSha256 = DigestHex(first.Final());
  *out = std::move(id);
  return true;
}

std::string IdentityMismatch(const SourceIdentity& saved, const SourceIdentity& now) {
  if (saved.sizeBytes != now.sizeBytes)
    return "its size is " + std::to_string(now.sizeBytes) + " bytes, the scanned source's " +
           std::to_string(saved.sizeBytes);
  if (saved.sectorSize != now.sectorSize)
    return "its sector size is " + std::to_string(now.sectorSize) + " bytes, the scanned source's " +
           std::to_string(saved.sectorSize);
  if (!saved.serial.empty() && !now.serial.empty() && saved.serial != now.serial)
    return "it is drive " + now.serial + ", the scanned one was " + saved.serial;
  if (!saved.model.empty() && !now.model.empty() && saved.model != now.model)
    return "it is a " + now.model + ", the scanned drive was a " + saved.model;
  if (saved.bootSha256 != now.bootSha256)
    return "the volume's boot sector differs (SHA-256 " + ShortHex(now.bootSha256) +
           ", scanned " + ShortHex(saved.bootSha256) + ")";
  if (saved.firstMibSha256 != now.firstMibSha256)
    return "the volume's first MiB differs (SHA-256 " + ShortHex(now.firstMibSha256) +
           ", scanned " + ShortHex(saved.firstMibSha256) + ")";
  return {};
}

bool CheckResultsPath(const fs::path& path, const std::string& source, std::string* error) {
  const std::string name = path.string();
  struct stat st {};
  const bool exists = ::stat(name.c_str(), &st) == 0;
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
  if (exists && st.st_size > 0 && !HasResultsHeader(name)) {
    // Only a results file (even a damaged one) is replaced: anything else there is the user's.
    *error = name + ": exists and is not a results file; it is not overwritten";
    return false;
  }
  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  struct stat dir {};
  if (::stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)) {
    *error = name + ": the folder " + folder.string() + " does not exist";
    return false;
  }
  if (::access(folder.c_str(), W_OK) != 0) {
    *error = name + ": " + std::strerror(errno);
    return false;
  }
  if (!source.empty() && platform::SameDevice(folder, source)) {
    *error = name + ": lies on " + source + ", the disk being read; write it to another disk";
    return false;
  }
  return true;
}

bool SaveResults(const fs::path& path, const RunResult& result, const SavedRun& run,
                 std::string* error) {
  Snapshot snap;
  snap.catalogue = &result.catalogue;
  snap.state = &result.Reader();
  snap.unreadable = &result.unreadable;
  snap.result = &result;
  snap.outcome = OutcomeName(result.outcome);
  snap.fsName = result.fsName;
  snap.partitionStart = result.partitionStart;
  snap.partitionEnd = result.partitionEnd;
  snap.figures = result.partition;
  snap.files = result.files;
  return WriteFile(path, snap, run, nullptr, error);
}

bool SaveCheckpoint(const fs::path& path, const RecoverySession& session, const SavedRun& run,
                    const SweepCheckpoint& checkpoint, std::string* error) {
  Snapshot snap;
  snap.catalogue = &session.catalogue;
  snap.state = &session;
  snap.unreadable = &session.unreadable;
  snap.outcome = "unfinished";
  snap.fsName = session.scanFsName;
  snap.partitionStart = session.selectedPartitionStart;
  snap.partitionEnd = session.selectedPartitionEnd;
  snap.figures = session.SelectedFigures();
  snap.files = CountFiles(session.catalogue);
  return WriteFile(path, snap, run, &checkpoint, error);
}

std::shared_ptr<RunResult> LoadResults(const fs::path& path, SavedRun* run, std::string* error) {
  Db db;
  if (!OpenForReading(path, db, error)) return nullptr;
  const std::string name = path.string();
  auto session = std::make_unique<RecoverySession>();
  RunRow row;
  std::string why;
  SavedRun saved;
  if (!ReadState(db, *session, &saved, &row, &why)) {
    *error = name + ": damaged results file (" + why + ")";
    return nullptr;
  }
  if (!saved.finished) {
    *error = name + ": holds a run that did not finish (its checkpoint); go on with --resume";
    return nullptr;
  }
  auto result = std::make_shared<RunResult>();
  result->outcome = row.outcome;
  result->disk = 0;
  result->devicePath = saved.source.path;
  result->partitionStart = row.start;
  result->partitionEnd = row.end;
  result->fsName = row.fsName;
  result->partition = row.figures;
  if (!ReadEntries(db, session->catalogue, result.get(), row, &why)) {
    *error = name + ": damaged results file (" + why + ")";
    return nullptr;
  }
  // The tree, paths and figures as the run made them when it handed its result over.
  auto tree = std::make_shared<ui::ResultTree>();
  QuietView view;
  BuildResultTree(*session, view, *tree);
  AssembleResult(*session, *result, std::move(tree), [&row](RunResult& r) {
    r.files.intactFiles = row.counted.intactFiles;
    r.files.intactBytes = row.counted.intactBytes;
  });
  *run = std::move(saved);
  return result;
}

std::shared_ptr<RunResult> LoadResultsOnSource(const fs::path& path, const std::string& source,
                                               SavedRun* run, std::string* error) {
  SavedRun saved;
  auto result = LoadResults(path, &saved, error);
  if (!result) return nullptr;
  const std::string src = source.empty() ? saved.source.path : source;
  std::error_code ec;
  if (!fs::exists(src, ec)) {
    *error = src + ": no such file or device (the source of " + path.string() + ")";
    return nullptr;
  }
  if (fs::is_directory(src, ec)) {
    *error = src + ": is a directory, not a disk or disk image";
    return nullptr;
  }
  // The sector size as a scan of it would find it.
  RecoverySession probe;
  ui::ResultTree listed;
  EnumerateDisks(probe, listed, nullptr, {src});
  if (probe.diskInfoList.empty()) {
    *error = src + ": cannot be listed as a disk";
    return nullptr;
  }
  if (!probe.diskInfoList[0].openError.empty()) {
    *error = probe.diskInfoList[0].openError;
    return nullptr;
  }
  SourceIdentity now;
  if (!ReadSourceIdentity(src, result->partitionStart, result->partitionEnd,
                          probe.diskInfoList[0].sectorSize, &now, error))
    return nullptr;
  if (const std::string why = IdentityMismatch(saved.source, now); !why.empty()) {
    *error = src + ": not the source the saved result was read from: " + why;
    return nullptr;
  }
  result->devicePath = src;
  RecoverySession reader;
  RestoreReaderState(*result, src, reader);
  result->TakeReaderState(reader);
  *run = std::move(saved);
  return result;
}

bool ReadSavedRun(const fs::path& path, SavedRun* run, std::string* error) {
  Db db;
  if (!OpenForReading(path, db, error)) return false;
  RecoverySession scratch;
  RunRow row;
  std::string why;
  if (!ReadState(db, scratch, run, &row, &why)) {
    *error = path.string() + ": damaged results file (" + why + ")";
    return false;
  }
  return true;
}

bool LoadForResume(const fs::path& path, RecoverySession& session, SavedRun* run,
                   std::string* error) {
  Db db;
  if (!OpenForReading(path, db, error)) return false;
  const std::string name = path.string();
  RunRow row;
  std::string why;
  SavedRun saved;
  session.catalogue.Clear();
  if (!ReadState(db, session, &saved, &row, &why) ||
      (!saved.finished && !ReadEntries(db, session.catalogue, nullptr, row, &why))) {
    session.catalogue.Clear();
    *error = name + ": damaged results file (" + why + ")";
    return false;
  }
  if (saved.finished) {
    *error = name + ": its run finished; there is nothing to resume (see scan --results)";
    return false;
  }
  session.resumeFrom = saved.checkpoint;
  *run = std::move(saved);
  return true;
}

void RestoreReaderState(const RunResult& result, const std::string& devicePath,
                        RecoverySession& session) {
  const RecoverySession& r = result.Reader();
  session.devicePath = {devicePath};
  session.selectedDisk = 0;
  session.selectedPartitionStart = r.selectedPartitionStart;
  session.selectedPartitionEnd = r.selectedPartitionEnd;
  session.selectedFsName = r.selectedFsName;
  session.selectedSectorSize = r.selectedSectorSize;
  session.partParams = r.partParams;
  session.scanFsName = r.scanFsName;
  session.scanParams = r.scanParams;
  session.searchRangeEnd = r.searchRangeEnd;
  session.deviceName = r.deviceName;
  session.mftExtents = r.mftExtents;
  session.oemCodePage = r.oemCodePage;
  session.SetSelectedFigures(result.partition);
}

void ResultsFileSink::Save(const RecoverySession& session, const SweepCheckpoint& checkpoint) {
  std::string error;
  if (SaveCheckpoint(path_, session, run_, checkpoint, &error))
    ++saves_;
  else if (error_.empty())
    error_ = error;
}

}  // namespace brevant

#include "platform/linux/library/catalog.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <optional>
#include <thread>
#include <unordered_set>

#include <glib.h>
#include <sqlite3.h>

namespace vek::linux_library {
namespace {

constexpr int kBusyTimeoutMs = 10'000;

// Each step takes the catalog from the version of its place in the list to
// the next; a new catalog takes them all, so it is the same as one brought
// up to date. A released step never changes: a change is a new step.
constexpr const char* kSchemaSteps[] = {
    R"sql(
  CREATE TABLE asset(
    identifier TEXT PRIMARY KEY NOT NULL,
    path TEXT NOT NULL,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    media_type INTEGER NOT NULL,
    pixel_width INTEGER NOT NULL,
    pixel_height INTEGER NOT NULL,
    creation_date REAL,
    duration REAL NOT NULL,
    UNIQUE(device, inode)
  );
  CREATE TABLE unreadable_file(
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    PRIMARY KEY(device, inode)
  ) WITHOUT ROWID;
)sql",
    // Change times, and the time an asset was first away. Device and inode
    // alone no longer name one asset: a drive comes back under other
    // numbers, FAT numbers inodes afresh at each mount, and an asset away
    // keeps the numbers its drive gave it; with its path they still do.
    // Listings read the assets in path order, beside the walk's sorted files
    // (catalogs of the first helpers lacked an index for it).
    R"sql(
  CREATE TABLE asset_2(
    identifier TEXT PRIMARY KEY NOT NULL,
    path TEXT NOT NULL,
    device INTEGER NOT NULL,
    inode INTEGER NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    ctime_ns INTEGER,
    away_since INTEGER,
    media_type INTEGER NOT NULL,
    pixel_width INTEGER NOT NULL,
    pixel_height INTEGER NOT NULL,
    creation_date REAL,
    duration REAL NOT NULL
  );
  INSERT INTO asset_2(identifier, path, device, inode, size, mtime_ns, media_type, pixel_width, pixel_height,
                      creation_date, duration)
    SELECT identifier, path, device, inode, size, mtime_ns, media_type, pixel_width, pixel_height, creation_date,
           duration FROM asset;
  DROP TABLE asset;
  ALTER TABLE asset_2 RENAME TO asset;
  CREATE UNIQUE INDEX asset_path ON asset(path, device, inode);
)sql",
    // The content identifier that ties a Live Photo's still to its movie:
    // '' for a file that carries none, NULL for one catalogued before
    // identifiers were read (the listing reads it where a partner may be).
    // Lookups find a still's movie by it; few files carry one, and only
    // those are indexed.
    R"sql(
  ALTER TABLE asset ADD COLUMN content_identifier TEXT;
  CREATE INDEX asset_content ON asset(content_identifier) WHERE content_identifier <> '';
)sql",
};
static_assert(std::size(kSchemaSteps) == Catalog::kSchemaVersion);

constexpr const char* kSelectAssets =
    "SELECT identifier, path, device, inode, size, mtime_ns, ctime_ns, away_since, media_type, pixel_width, "
    "pixel_height, creation_date, duration, content_identifier FROM asset";
constexpr const char* kSelectFailures = "SELECT device, inode, size, mtime_ns FROM unreadable_file";

bool isCorruption(int code) {
  int primary = code & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// The disk refused to take a write: full, read-only (where a catalog in
// write-ahead mode cannot even be read without making its shared-memory
// file), or failing to store.
bool isRefusedWrite(int code) {
  switch (code & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
      return true;
    default:
      break;
  }
  switch (code) {
    case SQLITE_IOERR_WRITE:
    case SQLITE_IOERR_FSYNC:
    case SQLITE_IOERR_DIR_FSYNC:
    case SQLITE_IOERR_TRUNCATE:
    case SQLITE_IOERR_SHMOPEN:
    case SQLITE_IOERR_SHMSIZE:
      return true;
    default:
      return false;
  }
}

[[noreturn]] void fail(sqlite3* db, int code, const std::string& what) {
  std::string message = "The photo catalog could not be " + what + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
  if (isCorruption(code)) throw CatalogCorruptError(message);
  if (isRefusedWrite(code)) throw CatalogUnwritableError(message);
  throw std::runtime_error(message);
}

// A URI that names the file as it is, with no option of ours mistaken for
// part of its name.
std::string fileUri(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri.push_back(static_cast<char>(c));
    } else {
      uri += {'%', kHex[c >> 4], kHex[c & 0xF]};
    }
  }
  return uri;
}

sqlite3* openConnection(const std::string& name, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    return nullptr;
  }
  return db;
}

int64_t toColumn(uint64_t value) { return static_cast<int64_t>(value); }
uint64_t fromColumn(int64_t value) { return static_cast<uint64_t>(value); }

std::optional<int64_t> changeTimeColumn(int64_t ctimeNs) {
  if (ctimeNs == kUnknownChangeTime) return std::nullopt;
  return ctimeNs;
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace

class Catalog::Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    int code = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
    if (code != SQLITE_OK) fail(db, code, "read");
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // True while there is a row to read.
  bool step() {
    int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) return false;
    fail(db_, code, "used");
  }
  void run() {
    while (step()) {
    }
    reset();
  }
  void reset() { sqlite3_reset(statement_); }

  void bind(int index, int64_t value) { check(sqlite3_bind_int64(statement_, index, value)); }
  void bind(int index, double value) { check(sqlite3_bind_double(statement_, index, value)); }
  void bind(int index, const std::string& value) {
    check(sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
  }
  void bind(int index, const std::optional<double>& value) {
    check(value ? sqlite3_bind_double(statement_, index, *value) : sqlite3_bind_null(statement_, index));
  }
  void bind(int index, const std::optional<std::string>& value) {
    if (value) return bind(index, *value);
    check(sqlite3_bind_null(statement_, index));
  }
  void bind(int index, const std::optional<int64_t>& value) {
    check(value ? sqlite3_bind_int64(statement_, index, *value) : sqlite3_bind_null(statement_, index));
  }

  int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  double real(int column) const { return sqlite3_column_double(statement_, column); }
  bool isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string text(int column) const {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return bytes != nullptr ? std::string(bytes, static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                            : std::string();
  }

 private:
  void check(int code) {
    if (code != SQLITE_OK) fail(db_, code, "used");
  }

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

namespace {

std::optional<int64_t> optionalInteger(const auto& row, int column) {
  if (row.isNull(column)) return std::nullopt;
  return row.integer(column);
}

CatalogEntry entryFromRow(const auto& row) {
  CatalogEntry entry;
  entry.localIdentifier = row.text(0);
  entry.path = row.text(1);
  entry.stamp = FileStamp{fromColumn(row.integer(2)), fromColumn(row.integer(3)), row.integer(4), row.integer(5),
                          optionalInteger(row, 6).value_or(kUnknownChangeTime)};
  entry.awaySince = optionalInteger(row, 7);
  entry.facts.mediaType = row.integer(8);
  entry.facts.pixelWidth = fromColumn(row.integer(9));
  entry.facts.pixelHeight = fromColumn(row.integer(10));
  if (!row.isNull(11)) entry.facts.creationDate = row.real(11);
  entry.facts.duration = row.real(12);
  entry.contentIdentifierRead = !row.isNull(13);
  if (entry.contentIdentifierRead) entry.facts.contentIdentifier = row.text(13);
  return entry;
}

}  // namespace

Catalog::Catalog(std::string path) : path_(std::move(path)) {
  try {
    size_t slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      std::string folder = path_.substr(0, slash);
      if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) {
        throw CatalogUnwritableError("The folder of the photo catalog could not be made: " + folder);
      }
    }
    open();
  } catch (const CatalogCorruptError&) {
    rebuild();
  } catch (const CatalogUnwritableError&) {
    continueInMemory();
  }
}

Catalog::~Catalog() { close(); }

void Catalog::open() {
  int code = sqlite3_open_v2(path_.c_str(), &db_,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                             nullptr);
  if (code != SQLITE_OK) {
    std::string message = "The photo catalog could not be opened: ";
    message += db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    close();
    if (isRefusedWrite(code)) throw CatalogUnwritableError(message);
    throw std::runtime_error(message);
  }
  try {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    switchToWriteAheadLog();
    // With write-ahead logging, NORMAL still keeps the catalog consistent
    // through a crash; only the last changes may be lost, and they are
    // rebuilt by the next listing.
    exec("PRAGMA synchronous=NORMAL");
    prepareSchema();
  } catch (...) {
    close();
    throw;
  }
}

// Brings the open catalog's schema up to date, and checks it.
void Catalog::prepareSchema() {
  auto userVersion = [this] {
    Statement statement(db_, "PRAGMA user_version");
    return statement.step() ? statement.integer(0) : 0;
  };
  int64_t version = userVersion();
  if (version >= 0 && version < kSchemaVersion) {
    // Another helper may be making or upgrading the same catalog right now.
    WriteTransaction transaction(*this);
    version = userVersion();
    if (version >= 0 && version < kSchemaVersion) {
      upgrade(version);
      version = kSchemaVersion;
    }
    transaction.commit();
  }
  // A later helper's catalog is not this one's to change: another column
  // of it, left behind, would go stale.
  if (version > kSchemaVersion) {
    throw CatalogUnwritableError("The photo catalog was made by a later helper (schema version " +
                                 std::to_string(version) + ").");
  }
  if (version != kSchemaVersion) {
    throw CatalogCorruptError("The photo catalog has schema version " + std::to_string(version) + ".");
  }
  // A catalog that claims our version must also have our columns.
  for (const char* query : {kSelectAssets, kSelectFailures}) {
    sqlite3_stmt* probe = nullptr;
    int prepared = sqlite3_prepare_v2(db_, query, -1, &probe, nullptr);
    sqlite3_finalize(probe);
    if (prepared != SQLITE_OK) throw CatalogCorruptError("The photo catalog does not have the expected tables.");
  }
}

// Runs the schema's steps after `from`, within the caller's transaction.
void Catalog::upgrade(int64_t from) {
  if (from == 0) {
    Statement tables(db_, "SELECT count(*) FROM sqlite_master");
    if (tables.step() && tables.integer(0) != 0) throw CatalogCorruptError("The photo catalog is not ours.");
  }
  for (auto step = static_cast<size_t>(from); step < std::size(kSchemaSteps); ++step) exec(kSchemaSteps[step]);
  exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
}

// The switch takes the file's exclusive lock from within a read, and SQLite
// answers SQLITE_BUSY at once instead of calling the busy handler when
// another connection holds a lock, as waiting there could deadlock. Helpers
// started together on a new catalog meet exactly there, so the switch is
// tried again until the busy timeout has passed.
void Catalog::switchToWriteAheadLog() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    int code = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (code == SQLITE_OK) return;
    if ((code & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) fail(db_, code, "changed");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void Catalog::close() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
  db_ = nullptr;
}

void Catalog::setAside() {
  std::string target = path_ + ".broken-" + std::to_string(std::time(nullptr));
  for (int attempt = 1; exists(target) || exists(target + "-wal"); ++attempt) {
    target = path_ + ".broken-" + std::to_string(std::time(nullptr)) + "-" + std::to_string(attempt);
  }
  if (std::rename(path_.c_str(), target.c_str()) != 0 && errno != ENOENT) {
    throw std::runtime_error("The damaged photo catalog could not be set aside: " + path_);
  }
  // The log belongs to the damaged file; left in place, SQLite would replay
  // it into the new catalog.
  std::string log = path_ + "-wal";
  if (std::rename(log.c_str(), (target + "-wal").c_str()) != 0 && errno != ENOENT) unlink(log.c_str());
  unlink((path_ + "-shm").c_str());
}

void Catalog::rebuild() {
  close();
  if (!inMemory_) {
    try {
      setAside();
      open();
      return;
    } catch (const std::runtime_error&) {
      // A file that cannot be set aside and replaced is left for a helper
      // that can; this one starts afresh in memory.
    }
  }
  inMemory_ = true;
  db_ = openConnection(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (db_ == nullptr) throw std::runtime_error("The photo catalog could not be made, not even in memory.");
  prepareSchema();
}

void Catalog::continueInMemory() {
  // The file as it is now, through the open connection when there is one;
  // else read as an unchanging file, which needs no shared-memory file
  // beside it (on a read-only disk, none can be made).
  sqlite3* source = db_;
  if (source == nullptr) source = openConnection(fileUri(path_) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
  sqlite3* memory = openConnection(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  bool copied = false;
  if (source != nullptr && memory != nullptr) {
    if (sqlite3_backup* backup = sqlite3_backup_init(memory, "main", source, "main")) {
      const bool done = sqlite3_backup_step(backup, -1) == SQLITE_DONE;
      copied = sqlite3_backup_finish(backup) == SQLITE_OK && done;
    }
  }
  if (source != db_) sqlite3_close_v2(source);
  close();
  inMemory_ = true;
  db_ = memory;
  if (copied) {
    try {
      prepareSchema();
      return;
    } catch (const CatalogCorruptError&) {
    } catch (const CatalogUnwritableError&) {
    }
  }
  rebuild();
}

void Catalog::exec(const char* sql) {
  int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) fail(db_, code, "changed");
}

int64_t Catalog::dataVersion() {
  Statement statement(db_, "PRAGMA data_version");
  return statement.step() ? statement.integer(0) : 0;
}

template <typename Read>
auto Catalog::readConsistently(Read&& read) {
  const bool ownTransaction = sqlite3_get_autocommit(db_) != 0;
  if (ownTransaction) exec("BEGIN");
  try {
    auto result = read();
    if (ownTransaction) exec("COMMIT");
    return result;
  } catch (...) {
    if (ownTransaction) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

CatalogState Catalog::read(const std::function<void(CatalogEntry&&)>& visit) {
  return readConsistently([&] {
    Statement assets(db_, (std::string(kSelectAssets) + " ORDER BY path").c_str());
    while (assets.step()) visit(entryFromRow(assets));
    CatalogState state;
    Statement failures(db_, kSelectFailures);
    while (failures.step()) {
      state.failures.push_back(FileStamp{fromColumn(failures.integer(0)), fromColumn(failures.integer(1)),
                                         failures.integer(2), failures.integer(3)});
    }
    state.dataVersion = dataVersion();
    return state;
  });
}

std::vector<CatalogEntry> Catalog::find(const std::vector<std::string>& localIdentifiers,
                                        std::vector<CatalogEntry>* sharingContent) {
  return readConsistently([&] {
    std::vector<CatalogEntry> entries;
    std::unordered_set<std::string> seen;
    Statement statement(db_, (std::string(kSelectAssets) + " WHERE identifier = ?1").c_str());
    for (const std::string& identifier : localIdentifiers) {
      if (!seen.insert(identifier).second) continue;
      statement.bind(1, identifier);
      if (statement.step()) entries.push_back(entryFromRow(statement));
      statement.reset();
    }
    if (sharingContent == nullptr) return entries;
    std::optional<Statement> sharing;  // prepared only when some entry carries an identifier
    std::unordered_set<std::string> asked;
    for (const CatalogEntry& entry : entries) {
      const std::string& content = entry.facts.contentIdentifier;
      if (content.empty() || !asked.insert(content).second) continue;
      // The term on '' lets SQLite use the partial index.
      if (!sharing) {
        sharing.emplace(db_,
                        (std::string(kSelectAssets) + " WHERE content_identifier = ?1 AND content_identifier <> ''")
                            .c_str());
      }
      sharing->bind(1, content);
      while (sharing->step()) sharingContent->push_back(entryFromRow(*sharing));
      sharing->reset();
    }
    return entries;
  });
}

Catalog::WriteTransaction::WriteTransaction(Catalog& catalog) : catalog_(catalog) { catalog_.exec("BEGIN IMMEDIATE"); }

Catalog::WriteTransaction::~WriteTransaction() {
  if (open_) sqlite3_exec(catalog_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Catalog::WriteTransaction::commit() {
  catalog_.exec("COMMIT");
  open_ = false;
}

void Catalog::apply(const CatalogChanges& changes, Existing existing) {
  Statement removeAsset(db_, "DELETE FROM asset WHERE identifier = ?1");
  for (const std::string& identifier : changes.removedAssets) {
    removeAsset.bind(1, identifier);
    removeAsset.run();
  }
  Statement removeFailure(db_, "DELETE FROM unreadable_file WHERE device = ?1 AND inode = ?2");
  for (const FileStamp& stamp : changes.removedFailures) {
    removeFailure.bind(1, toColumn(stamp.device));
    removeFailure.bind(2, toColumn(stamp.inode));
    removeFailure.run();
  }
  constexpr const char* kInsertAsset =
      "INSERT INTO asset(identifier, path, device, inode, size, mtime_ns, ctime_ns, away_since, media_type, "
      "pixel_width, pixel_height, creation_date, duration, content_identifier) ";
  const std::string upsert =
      std::string(kInsertAsset) + "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) " +
      (existing == Existing::kKept
           ? "ON CONFLICT DO NOTHING"
           : "ON CONFLICT(identifier) DO UPDATE SET path = excluded.path, "
             "device = excluded.device, inode = excluded.inode, size = excluded.size, "
             "mtime_ns = excluded.mtime_ns, ctime_ns = excluded.ctime_ns, away_since = excluded.away_since, "
             "media_type = excluded.media_type, pixel_width = excluded.pixel_width, "
             "pixel_height = excluded.pixel_height, creation_date = excluded.creation_date, "
             "duration = excluded.duration, content_identifier = excluded.content_identifier");
  Statement saveAsset(db_, upsert.c_str());
  for (const CatalogEntry& entry : changes.savedAssets) {
    saveAsset.bind(1, entry.localIdentifier);
    saveAsset.bind(2, entry.path);
    saveAsset.bind(3, toColumn(entry.stamp.device));
    saveAsset.bind(4, toColumn(entry.stamp.inode));
    saveAsset.bind(5, entry.stamp.size);
    saveAsset.bind(6, entry.stamp.mtimeNs);
    saveAsset.bind(7, changeTimeColumn(entry.stamp.ctimeNs));
    saveAsset.bind(8, entry.awaySince);
    saveAsset.bind(9, entry.facts.mediaType);
    saveAsset.bind(10, toColumn(entry.facts.pixelWidth));
    saveAsset.bind(11, toColumn(entry.facts.pixelHeight));
    saveAsset.bind(12, entry.facts.creationDate);
    saveAsset.bind(13, entry.facts.duration);
    saveAsset.bind(14, entry.contentIdentifierRead ? std::optional<std::string>(entry.facts.contentIdentifier)
                                                   : std::nullopt);
    saveAsset.run();
  }
  Statement saveFailure(db_, "INSERT OR REPLACE INTO unreadable_file(device, inode, size, mtime_ns) VALUES(?1, ?2, ?3, ?4)");
  for (const FileStamp& stamp : changes.savedFailures) {
    saveFailure.bind(1, toColumn(stamp.device));
    saveFailure.bind(2, toColumn(stamp.inode));
    saveFailure.bind(3, stamp.size);
    saveFailure.bind(4, stamp.mtimeNs);
    saveFailure.run();
  }
}

void Catalog::remove(const std::vector<std::string>& localIdentifiers) {
  WriteTransaction transaction(*this);
  Statement removeAsset(db_, "DELETE FROM asset WHERE identifier = ?1");
  for (const std::string& identifier : localIdentifiers) {
    removeAsset.bind(1, identifier);
    removeAsset.run();
  }
  transaction.commit();
}

}  // namespace vek::linux_library

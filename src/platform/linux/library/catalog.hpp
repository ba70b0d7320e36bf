#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/media_files/file_stamp.hpp"
#include "platform/linux/media_files/media_facts.hpp"

struct sqlite3;

namespace vek::linux_library {

// One asset the catalog remembers.
struct CatalogEntry {
  std::string localIdentifier;
  std::string path;
  FileStamp stamp;  // the file as it was when its facts were read
  MediaFacts facts;
  // Seconds since 1970 when a listing first could not see the file's folder
  // (a drive not mounted, a folder that could not be read); none while the
  // file is listed.
  std::optional<int64_t> awaySince;
  // False for an entry catalogued before content identifiers were read:
  // facts.contentIdentifier is then empty and says nothing.
  bool contentIdentifierRead = true;

  bool operator==(const CatalogEntry&) const = default;
};

// What the catalog holds beside its assets, read with them.
struct CatalogState {
  std::vector<FileStamp> failures;  // files that were not readable media when last seen
  int64_t dataVersion = 0;          // see Catalog::dataVersion()
};

// One change to the catalog, written as a whole.
struct CatalogChanges {
  std::vector<std::string> removedAssets;  // local identifiers
  std::vector<CatalogEntry> savedAssets;   // inserted, or replacing the entry of the same identifier
  std::vector<FileStamp> removedFailures;  // matched by device and inode
  std::vector<FileStamp> savedFailures;    // inserted, or replacing the one of the same device and inode

  bool empty() const {
    return removedAssets.empty() && savedAssets.empty() && removedFailures.empty() && savedFailures.empty();
  }
};

// The catalog file is damaged: its content cannot be trusted any more.
class CatalogCorruptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The catalog on disk cannot be written: its disk is full or read-only, or
// it was made by a later helper.
class CatalogUnwritableError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The SQLite catalog: identifiers and cached facts of the library's files.
// Write-ahead logging and short transactions let several helper processes
// share one catalog, and leave it consistent when a process is killed. One
// thread at a time. Methods throw CatalogCorruptError when the file turns out
// to be damaged (call rebuild() and try again), CatalogUnwritableError when
// the disk refuses a write (call continueInMemory() and try again), and
// std::runtime_error for any other SQLite failure, such as the catalog
// staying locked by another process past the busy timeout.
class Catalog {
 public:
  static constexpr int kSchemaVersion = 3;

  // Opens the catalog at path, creating it (and its folder, mode 0700) on
  // first use. A catalog of an older schema version is brought up to this
  // one, keeping what it holds. A damaged file is renamed aside (path +
  // ".broken-<seconds since 1970>") and a new catalog made. A catalog that
  // cannot be written (a disk full or read-only, a later helper's schema) is
  // read into memory instead, as continueInMemory() does. Throws
  // std::runtime_error only when not even a catalog in memory can be made.
  explicit Catalog(std::string path);
  ~Catalog();
  Catalog(const Catalog&) = delete;
  Catalog& operator=(const Catalog&) = delete;

  // Hands every asset to `visit` in path order (bytewise, as std::string
  // compares) and returns the rest of the catalog, all in one read
  // transaction (or within the open write transaction). The rows are read as
  // they are visited: no copy of the whole catalog is made.
  CatalogState read(const std::function<void(CatalogEntry&&)>& visit);

  // The entries with these identifiers, each once, in the order first named;
  // unknown identifiers are left out. With `sharingContent`, every entry
  // that carries the non-empty content identifier of an entry found (those
  // found too) is added to it, read in the same transaction.
  std::vector<CatalogEntry> find(const std::vector<std::string>& localIdentifiers,
                                 std::vector<CatalogEntry>* sharingContent = nullptr);

  // A write transaction: BEGIN IMMEDIATE, so that it waits for other writers
  // up front instead of failing half way. Rolled back unless committed.
  class WriteTransaction {
   public:
    explicit WriteTransaction(Catalog& catalog);
    ~WriteTransaction();
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    void commit();

   private:
    Catalog& catalog_;
    bool open_ = true;
  };

  // What a saved asset does to an entry of the same identifier, or of the
  // same file (device and inode) at the same path, that is there already.
  enum class Existing {
    kReplaced,  // the same identifier is overwritten; the same file at its path under another identifier is an error
    kKept,      // the saved asset is left out: another helper catalogued it first
  };

  // Writes the change, removals first; call within a WriteTransaction.
  void apply(const CatalogChanges& changes, Existing existing = Existing::kReplaced);

  // Removes the entries with these identifiers, in one transaction.
  void remove(const std::vector<std::string>& localIdentifiers);

  // A number that differs from an earlier one read on this catalog exactly
  // when another connection has committed a change since.
  int64_t dataVersion();

  // Sets the current file aside as damaged and starts a new, empty catalog;
  // in memory when the file cannot be replaced.
  void rebuild();

  // Goes on with a copy in memory of what the catalog on disk holds (an
  // empty catalog when it cannot be read or is not of a schema this helper
  // knows): what this helper records from now on lasts for its own life,
  // and the file is left as it is, consistent, for the next helper.
  void continueInMemory();
  bool inMemory() const { return inMemory_; }

 private:
  class Statement;
  void open();
  void prepareSchema();
  void upgrade(int64_t from);
  void switchToWriteAheadLog();
  void close();
  void setAside();
  void exec(const char* sql);
  // Runs `read` in one read transaction, so it sees one state of the
  // catalog, unless a write transaction is already open around the call.
  template <typename Read>
  auto readConsistently(Read&& read);

  std::string path_;
  sqlite3* db_ = nullptr;
  bool inMemory_ = false;
};

}  // namespace vek::linux_library

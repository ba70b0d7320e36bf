#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "photos/photo_library_port.hpp"
#include "platform/linux/library/catalog.hpp"
#include "platform/linux/library/roots.hpp"
#include "platform/linux/library/scanner.hpp"
#include "platform/linux/media_files/media_facts.hpp"

namespace vek::linux_library {

// The movie of a Live Photo: while paired it is no asset of its own, and
// its file goes where its still's goes.
struct PairedMovie {
  std::string localIdentifier;  // its own, from when it was listed alone
  std::string path;
  FileStamp stamp;

  bool operator==(const PairedMovie&) const = default;
};

struct IndexedAsset {
  vek::PhotoAsset asset;  // localIdentifier is "<UUID>/L0/001"
  std::string path;       // absolute path of the file
  FileStamp stamp;        // the file as catalogued
  std::optional<PairedMovie> movie;  // when the asset is a Live Photo

  bool operator==(const IndexedAsset&) const = default;
};

// An asset of a listing, and its file's place in the walk's path order,
// which orders assets of the same date.
struct ListedAsset {
  vek::PhotoAsset asset;
  size_t walkIndex = 0;
};

// How the index reads the facts of a file it has not seen in this state:
// the media module's probe, or a test's stand-in. Called on many threads at
// once.
class Prober {
 public:
  virtual ~Prober() = default;
  // As probeFile() (probe/probe.hpp) answers.
  virtual ProbeResult probe(const std::string& path, const FileStamp& expected, MediaKind kind) = 0;
  // Called on each extra thread that probed, before it ends.
  virtual void releaseThread() {}
};

// The listing side of the Linux library: which media files the user's folders
// hold, under identifiers that stay with a file across runs, edits in place,
// renames, and drives that go away and come back under other numbers. Used
// from one thread at a time; probing inside list() runs on a pool of threads
// that is gone when list() returns.
class MediaIndex {
 public:
  // Opens (creating on first use) the catalog. A damaged catalog is set
  // aside and rebuilt; one that cannot be written (a disk full or read-only,
  // a later helper's schema) is carried on in memory for this index's life,
  // also when a write is refused later. Files are probed
  // with `prober`, by default the media module's probe (loaded on the first
  // file to probe). Throws std::runtime_error only when no catalog can be
  // made.
  explicit MediaIndex(LibraryLocation location, std::unique_ptr<Prober> prober = nullptr);

  // The authorization status the file system grants on the roots: 3
  // authorized, 4 limited (read only), 2 denied. Asks afresh on every call.
  int64_t authorizationStatus() const;

  // Brings the catalog up to date with the folders (new and changed files are
  // probed, vanished ones forgotten), then returns every listed asset of the
  // media type, by creation date (newest first when newestFirst; no date
  // counts as 0), ties by path. A file at the path of an asset, in the same
  // size, modification and change time, is that asset whatever its device
  // and inode; a file at another path with an asset's device, inode, size
  // and modification time is that asset moved. Assets where the walk could
  // not look (under a missing root, an unmounted drive's mount point, a
  // folder that could not be read) are kept, not listed, for 30 days. New
  // files are committed in pieces as they are probed, so a listing cut short
  // leaves its work to the next one.
  //
  // A Live Photo (pairLivePhotos() over the listed files that carry a
  // content identifier) is its still: the still is listed as any image, and
  // its movie is not listed among the videos. Pairing is decided afresh at
  // every listing from the catalogued identifiers, reading no file. Files
  // catalogued before identifiers were read have theirs read, keeping their
  // identifiers, once a file of the other kind that may pair with them is in
  // their folder.
  //
  // Throws std::runtime_error when the catalog cannot be read, or written
  // for another reason than a refusing disk (for example, locked by another
  // process past the busy timeout).
  std::vector<vek::PhotoAsset> list(int64_t mediaType, bool newestFirst);

  // The catalogued assets with these identifiers, as the catalog stands (no
  // scan): each once, in the order first named. An asset away when last
  // listed, or whose path no longer holds the very file that was catalogued
  // in the state it was catalogued in (isCatalogued: the same device, inode,
  // size and modification time, or the same size, modification and change
  // time under other numbers), reached without a symbolic link, is left
  // out, so an old identifier never reaches a different file. Those that use
  // the file check it again as they open it. A Live Photo's still comes with
  // its movie, paired as a listing pairs the files still in place; a paired
  // movie is left out, as it is not listed. Throws std::runtime_error when
  // the catalog cannot be read.
  std::vector<IndexedAsset> lookup(const std::vector<std::string>& localIdentifiers);

  // Removes the assets from the catalog, in one transaction. Unknown
  // identifiers are ignored. Throws std::runtime_error when the catalog cannot
  // be written.
  void forget(const std::vector<std::string>& localIdentifiers);

 private:
  std::vector<ListedAsset> synchronize(int64_t mediaType);
  template <typename Operation>
  auto withCatalog(Operation operation);

  LibraryLocation location_;
  Catalog catalog_;
  std::unique_ptr<Prober> prober_;
};

}  // namespace vek::linux_library

#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "photos/photo_library_port.hpp"
#include "platform/linux/media_files/file_stamp.hpp"
#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {

// Raise whenever a change to rendering changes the bytes of any reply, so
// that entries made by an older helper are rendered anew.
inline constexpr uint32_t kRenderVersion = 1;

// A rendered reply: the image's size and its JPEG bytes at one compression
// factor, with the stamp the file had before it was rendered.
struct CachedRender {
  ImageSize size;
  double compressionFactor = 0;
  std::string jpeg;
  FileStamp stamp;
};

// Rendered replies kept on disk, one file per asset and box, under
// <folder>/<2 hex>/<32 hex of the identifier's SHA-256>/<box>; `folder` is
// made (with its parents) on the first store. Folders are 0700 and files
// 0600: they are thumbnails of private photos. The cache is used, read as
// well as written, only where `folder` and each folder in it belong to this
// user (those are then closed to others), and only this user's files are
// read; every folder and file in it is opened and removed by its name below
// a folder of ours, never through a symbolic link. An entry is written to a
// temporary file and renamed into place, and holds its identifier, box,
// stamp, render version, length and a SHA-256 of all of it, so a torn,
// truncated or altered entry, or one of another file state, is never
// served. Several helpers may share one folder. When the entries pass the
// cap, the least recently served or written are removed first, down to
// nine tenths of it, and temporary files a dead helper left are cleared.
// Failures to read or write mean no caching, never an error. Thread: any.
class RenderCache {
 public:
  // The cache under $XDG_CACHE_HOME (else ~/.cache), capped by
  // VEK_RENDER_CACHE_MB (mebibytes, default 2048); nullptr when that is 0 or
  // there is no home.
  static std::unique_ptr<RenderCache> fromEnvironment();

  RenderCache(std::string folder, uint64_t capBytes);

  // The entry for the asset at the box, when one is stored for the file in
  // this state (sameVisibleState: also when the drive came back under other
  // device or inode numbers) and checks out; marks it as recently used.
  std::optional<CachedRender> load(const std::string& identifier, int64_t box, const FileStamp& stamp);

  // Whether an entry for the asset at the box is stored for the file in this
  // state, by its header alone: cheaper than load(), which may still refuse
  // it.
  bool holds(const std::string& identifier, int64_t box, const FileStamp& stamp) const;

  // Whether holds() is true for the asset at any box.
  bool holdsAnyBox(const std::string& identifier, const FileStamp& stamp) const;

  // Stores (or replaces) the entry for the asset at the box.
  void store(const std::string& identifier, int64_t box, const CachedRender& render);

  // Removes every entry of these assets.
  void forget(const std::vector<std::string>& identifiers);

  const std::string& folder() const { return folder_; }

 private:
  struct AssetFolder {
    UniqueFd prefix;  // the folder of the hashes' first two digits
    std::string name;
    UniqueFd fd;      // the asset's own, below it
  };
  UniqueFd openTop(bool create) const;
  AssetFolder openAssetFolder(const std::string& identifier, bool create) const;
  void evictIfFull(uint64_t written);
  void sweep(int top);

  const std::string folder_;
  const uint64_t capBytes_;
  std::mutex mutex_;
  bool noteRead_ = false;
  uint64_t bytesAtMost_ = 0;  // what the folder holds, as far as this process knows
  uint64_t unnoted_ = 0;      // written by this process and not yet added to the note
};

}  // namespace vek::linux_library

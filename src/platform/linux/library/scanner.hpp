#pragma once

#include <cstdint>
#include <functional>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek::linux_library {

enum class MediaKind { kImage, kVideo };

// The kind a file name promises by its extension (case-insensitive), or
// nothing when the name is not a media file's.
std::optional<MediaKind> mediaKindForName(std::string_view name);

// One file as the file system shows it. A file keeps its device and inode
// while it is edited in place or renamed; size and modification time tell
// whether its content may have changed.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;  // nanoseconds since 1970-01-01T00:00:00Z

  bool operator==(const FileStamp&) const = default;
};

// One file whatever its names: its device and inode.
struct InodeKey {
  uint64_t device;
  uint64_t inode;
  bool operator==(const InodeKey&) const = default;
};

struct InodeKeyHash {
  size_t operator()(const InodeKey& key) const { return std::hash<uint64_t>()(key.inode * 31 + key.device); }
};

struct FoundFile {
  std::string path;  // absolute
  FileStamp stamp;
  MediaKind kind = MediaKind::kImage;
};

// Walks the roots (absolute paths of folders, as distinctRoots gives them) and
// returns every regular file with a media name that is not hidden, sorted by
// path, one per device and inode (the first path in that order). Hidden: a
// name below a root that starts with '.', or is listed in a `.hidden` file in
// its folder. Symbolic links are not followed, a folder found below itself
// (through a bind mount) is not walked again, and what cannot be read is left
// out, as is a path of PATH_MAX bytes or more (no operation could open it by
// name). Folders are read on `threads` threads (0: one per core). Throws
// std::system_error when file descriptors or kernel memory run out mid-walk,
// rather than return a walk with folders missing; any thread.
std::vector<FoundFile> scanLibrary(const std::vector<std::string>& roots, size_t threads = 0);

}  // namespace vek::linux_library

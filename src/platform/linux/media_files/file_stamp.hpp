#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/linux/posix/byte_fields.hpp"

namespace vek::linux_library {

// One state of one file as the file system shows it. A file keeps its
// device and inode while it is edited in place or renamed; size and
// modification time tell whether its content may have changed, and the
// change time moves with every write too, also an edit that puts back the
// size and modification time (cp -p, rsync -t), since no user can set it.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;  // nanoseconds since 1970-01-01T00:00:00Z
  int64_t ctimeNs = 0;

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

inline InodeKey keyOf(const FileStamp& stamp) { return InodeKey{stamp.device, stamp.inode}; }

// Whether two stamps show one state of a file as its user sees it: the same
// size, modification time and change time. Device and inode are left out: a
// drive mounted again through another device, or a FAT file system that
// numbers its inodes afresh at every mount, changes them with nothing else,
// while a file copied, synced or saved into the place of another has a
// change time of its own, which no user can set.
inline bool sameVisibleState(const FileStamp& a, const FileStamp& b) {
  return a.size == b.size && a.mtimeNs == b.mtimeNs && a.ctimeNs == b.ctimeNs;
}

FileStamp stampOf(const struct stat& info);

// The stamp of the regular file at `path` (symbolic links followed), or
// nullopt when there is none.
std::optional<FileStamp> stampOfFile(const std::string& path);

// The stamp's fields in the byte layout of the render cache's entries and
// the render-ahead workers' frames.
void putStamp(ByteWriter& writer, const FileStamp& stamp);
// False, taking nothing certain, when too few bytes are left.
bool getStamp(ByteReader& reader, FileStamp& stamp);

}  // namespace vek::linux_library

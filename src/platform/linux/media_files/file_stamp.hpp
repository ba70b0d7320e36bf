#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/posix/byte_fields.hpp"
#include "platform/linux/posix/unique_fd.hpp"

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

// The change time of a file catalogued by a helper that kept none.
inline constexpr int64_t kUnknownChangeTime = INT64_MIN;

FileStamp stampOf(const struct stat& info);

// The stamp of the regular file at the absolute `path`, reached without
// following a symbolic link in any component, or nullopt when there is
// none.
std::optional<FileStamp> stampOfFile(const std::string& path);

// Whether the file stamped `now` is the one the catalog stamped
// `catalogued`, in the state it was catalogued in: the same device and
// inode, size and modification time; or, where the catalog knows the
// change time, the same visible state under other numbers (a drive mounted
// again, sameVisibleState). A file edited, or another put in its place,
// is not.
bool isCatalogued(const FileStamp& now, const FileStamp& catalogued);

// A file as the catalog has it: its path, and its stamp when it was
// catalogued. What a lookup gives, so that the file is checked again where
// it is used.
struct CataloguedFile {
  std::string path;  // absolute, reached without a symbolic link
  FileStamp stamp;

  bool operator==(const CataloguedFile&) const = default;
};

// A media file open for reading, reached without following a symbolic link
// in any component of its path: what rendering, export and probing read,
// so that the file used is the file checked. Decoders read the descriptor
// with pread(2) (the offset is shared by every copy).
struct OpenedFile {
  std::shared_ptr<const UniqueFd> fd;  // O_RDONLY | O_NONBLOCK, so a FIFO never blocks
  std::string path;                    // for the file's name (its format's hint) and messages only
  FileStamp stamp;                     // as fstat(2) found it once opened, change time included
};

// Opens the regular file at the absolute `path` without following a link.
// nullopt when there is none, or a link or a FIFO or device stands there or
// on the way.
std::optional<OpenedFile> openMediaFile(const std::string& path);

// Opens the catalogued file, as openMediaFile() does; nullopt also when the
// file found is not the catalogued one (isCatalogued): a file swapped,
// replaced or edited since is treated as gone.
std::optional<OpenedFile> openCatalogued(const CataloguedFile& file);

// The stamp's fields in the byte layout of the render cache's entries and
// the render-ahead workers' frames.
void putStamp(ByteWriter& writer, const FileStamp& stamp);
// False, taking nothing certain, when too few bytes are left.
bool getStamp(ByteReader& reader, FileStamp& stamp);

}  // namespace vek::linux_library

#pragma once

#include <cstdint>
#include <functional>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/media_files/file_stamp.hpp"
#include "platform/linux/media_files/media_names.hpp"

namespace vek::linux_library {

struct FoundFile {
  std::string path;  // absolute
  FileStamp stamp;
  MediaKind kind = MediaKind::kImage;
};

// A folder with no entries at all on the same file system as the folder
// that holds it: what a drive's mount point looks like while the drive is
// not mounted.
struct EmptyFolder {
  std::string path;
  uint64_t device = 0;
};

// What one walk of the library saw, and where it could not look.
struct LibraryWalk {
  std::vector<FoundFile> files;
  // Folders (roots included) whose entries could not all be read this time,
  // for any reason but that the folder is not there (any more) as a folder:
  // no permission, an I/O error, a share that did not answer. What they hold
  // may still be there.
  std::vector<std::string> unreadFolders;
  std::vector<EmptyFolder> emptyFolders;
};

// Walks the roots (absolute paths of folders, as distinctRoots gives them).
// Its files are every regular file with a media name that is not hidden and
// not in a folder kept by the system, sorted by path, one per device and
// inode (the first path in that order). Hidden: a name below a root that
// starts with '.', or is listed in a `.hidden` file in its folder. Kept by
// the system: a folder named as in isSystemFolder(), at any depth, and a
// folder holding a `.nomedia` entry, each with everything below it. Symbolic
// links are not followed, a folder found below itself (through a bind mount)
// is not walked again, and a path of PATH_MAX bytes or more is left out (no
// operation could open it by name). Folders are read on `threads` threads
// (0: one per core). Throws std::system_error when file descriptors or
// kernel memory run out mid-walk, rather than return a walk with folders
// missing; any thread.
LibraryWalk walkLibrary(const std::vector<std::string>& roots, size_t threads = 0);

// The files of walkLibrary() alone.
std::vector<FoundFile> scanLibrary(const std::vector<std::string>& roots, size_t threads = 0);

// Folders that NAS systems and other operating systems keep for themselves
// beside the user's files: Synology's thumbnails (`@eaDir`), recycle bin and
// snapshots, Windows' recycle bin and restore points, ext4's `lost+found`.
bool isSystemFolder(std::string_view name);

}  // namespace vek::linux_library

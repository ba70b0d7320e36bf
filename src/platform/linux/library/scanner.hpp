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

#pragma once

#include <string>

#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {

// Opens the absolute `path` without following a symbolic link in any of its
// components, the last one included, so that a folder on the way swapped
// for a link leads nowhere: with openat2(2) and RESOLVE_NO_SYMLINKS where
// the kernel has it (Linux 5.6), else one O_NOFOLLOW step per folder from
// the root. `flags` are open(2)'s; O_CLOEXEC, O_NOCTTY and O_NOFOLLOW are
// added. With O_PATH a link at the end is refused too, not opened. An empty
// descriptor, with errno set, when the path is not absolute, holds an empty,
// "." or ".." component (ENOENT), passes through a link (ELOOP or ENOTDIR),
// or cannot be opened.
UniqueFd openWithoutLinks(const std::string& path, int flags);

// The same, one step per folder whatever the kernel has: the way taken
// where openat2(2) is missing.
UniqueFd openWithoutLinksStepwise(const std::string& path, int flags);

}  // namespace vek::linux_library

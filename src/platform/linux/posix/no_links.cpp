#include "platform/linux/posix/no_links.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string_view>

namespace vek::linux_library {
namespace {

// openat2(2) refuses any other flag beside O_PATH.
int withOurFlags(int flags) { return flags | O_CLOEXEC | O_NOFOLLOW | ((flags & O_PATH) != 0 ? 0 : O_NOCTTY); }

// The catalog and the Trash name files by absolute paths of plain parts:
// anything else is not a path this library made.
bool isPlainAbsolutePath(std::string_view path) {
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string_view::npos) return false;
  if (path == "/") return true;
  for (size_t start = 1;;) {
    const size_t end = path.find('/', start);
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

// O_PATH with O_NOFOLLOW opens a link at the end as the link itself.
UniqueFd refusingALinkAtTheEnd(UniqueFd fd, int flags) {
  if (!fd || (flags & O_PATH) == 0) return fd;
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) return UniqueFd();
  if (S_ISLNK(info.st_mode)) {
    errno = ELOOP;
    return UniqueFd();
  }
  return fd;
}

}  // namespace

UniqueFd openWithoutLinksStepwise(const std::string& path, int flags) {
  if (!isPlainAbsolutePath(path)) {
    errno = ENOENT;
    return UniqueFd();
  }
  UniqueFd folder(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return folder;
  size_t start = 1;
  for (size_t end; (end = path.find('/', start)) != std::string::npos; start = end + 1) {
    // O_PATH: a folder that may be searched but not read is passed through,
    // as a path lookup passes it.
    UniqueFd next(openat(folder.get(), path.substr(start, end - start).c_str(),
                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return next;
    folder = std::move(next);
  }
  const std::string last = start < path.size() ? path.substr(start) : ".";
  return refusingALinkAtTheEnd(UniqueFd(openat(folder.get(), last.c_str(), withOurFlags(flags))), flags);
}

UniqueFd openWithoutLinks(const std::string& path, int flags) {
  // A kernel or a sandbox without the call says so once for all.
  static std::atomic<bool> missing = false;
  if (!missing.load(std::memory_order_relaxed)) {
    if (!isPlainAbsolutePath(path)) {
      errno = ENOENT;
      return UniqueFd();
    }
    open_how how{};
    how.flags = static_cast<uint64_t>(withOurFlags(flags));
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) return refusingALinkAtTheEnd(UniqueFd(static_cast<int>(fd)), flags);
    // Sandboxes that filter system calls they do not know answer EPERM.
    if (errno != ENOSYS && errno != EPERM) return UniqueFd();
    missing.store(true, std::memory_order_relaxed);
  }
  return openWithoutLinksStepwise(path, flags);
}

}  // namespace vek::linux_library

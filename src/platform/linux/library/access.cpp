#include "platform/linux/library/access.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "photos/photo_library_port.hpp"

namespace vek::linux_library {
namespace {

// The effective IDs are the ones the listing and the Trash will act with.
bool allowed(const std::string& path, int mode) {
  return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

}  // namespace

int64_t authorizationStatusForRoots(const std::vector<std::string>& roots) {
  bool writable = true;
  for (const std::string& root : roots) {
    struct stat info {};
    if (stat(root.c_str(), &info) != 0) {
      // A root behind a folder we may not search exists as far as we know.
      if (errno == EACCES) return kAuthorizationStatusDenied;
      continue;
    }
    if (!S_ISDIR(info.st_mode)) continue;
    if (!allowed(root, R_OK | X_OK)) return kAuthorizationStatusDenied;
    if (!allowed(root, W_OK)) writable = false;
  }
  return writable ? kAuthorizationStatusAuthorized : kAuthorizationStatusLimited;
}

}  // namespace vek::linux_library

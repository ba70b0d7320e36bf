#include "platform/linux/trash/directory.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "platform/linux/posix/io.hpp"
#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {
namespace {

[[noreturn]] void failWithErrno(const std::string& what) {
  throw std::runtime_error(what + " (" + errnoText() + ")");
}

std::string childPath(const std::string& folder, const std::string& name) {
  return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

// Opens the folder name below parentFd, making it when missing. A symbolic
// link is refused: in a shared trash it could lead our files anywhere.
UniqueFd openFolder(int parentFd, const std::string& name, const std::string& path) {
  if (mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) failWithErrno("cannot create " + path);
  UniqueFd fd(openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) failWithErrno("cannot open " + path);
  // Root passes every permission check except a read-only or immutable
  // folder's, which only access(2) reports before a file is written.
  if (faccessat(parentFd, name.c_str(), W_OK | X_OK, 0) != 0) failWithErrno("cannot write to " + path);
  return fd;
}

TrashDirectory openFilesAndInfo(int trashFd, const std::string& path, const std::string& topdir) {
  UniqueFd files = openFolder(trashFd, "files", childPath(path, "files"));
  UniqueFd info = openFolder(trashFd, "info", childPath(path, "info"));
  return TrashDirectory(path, topdir, files.release(), info.release());
}

TrashDirectory openUserTrash(int parentFd, const std::string& parentPath, const std::string& name,
                             const std::string& topdir, uid_t uid) {
  std::string path = childPath(parentPath, name);
  UniqueFd trash = openFolder(parentFd, name, path);
  struct stat status {};
  if (fstat(trash.get(), &status) != 0) failWithErrno("cannot read " + path);
  if (status.st_uid != uid) throw std::runtime_error(path + " belongs to another user");
  return openFilesAndInfo(trash.get(), path, topdir);
}

}  // namespace

TrashDirectory::TrashDirectory(std::string path, std::string topdir, int filesFd, int infoFd)
    : path_(std::move(path)), topdir_(std::move(topdir)), filesFd_(filesFd), infoFd_(infoFd) {}

TrashDirectory::TrashDirectory(TrashDirectory&& other) noexcept
    : path_(std::move(other.path_)),
      topdir_(std::move(other.topdir_)),
      filesFd_(std::exchange(other.filesFd_, -1)),
      infoFd_(std::exchange(other.infoFd_, -1)) {}

TrashDirectory::~TrashDirectory() {
  if (filesFd_ >= 0) close(filesFd_);
  if (infoFd_ >= 0) close(infoFd_);
}

TrashDirectory openHomeTrash(const std::string& path) {
  if (g_mkdir_with_parents(path.c_str(), 0700) != 0) failWithErrno("cannot create " + path);
  UniqueFd trash(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (trash.get() < 0) failWithErrno("cannot open " + path);
  return openFilesAndInfo(trash.get(), path, "");
}

TrashDirectory openTopdirTrash(const std::string& topdir, uid_t uid) {
  UniqueFd top(open(topdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (top.get() < 0) failWithErrno("cannot open " + topdir);
  std::string uidText = std::to_string(uid);
  // Only an administrator's sticky .Trash keeps users from removing each
  // other's folders in it; anything else there is not trusted.
  struct stat shared {};
  if (fstatat(top.get(), ".Trash", &shared, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(shared.st_mode) &&
      (shared.st_mode & S_ISVTX) != 0) {
    UniqueFd sharedFd(openat(top.get(), ".Trash", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sharedFd.get() >= 0) {
      try {
        return openUserTrash(sharedFd.get(), childPath(topdir, ".Trash"), uidText, topdir, uid);
      } catch (const std::runtime_error&) {
        // An unusable folder in the shared trash leaves the per-user trash.
      }
    }
  }
  return openUserTrash(top.get(), topdir, ".Trash-" + uidText, topdir, uid);
}

}  // namespace vek::linux_library

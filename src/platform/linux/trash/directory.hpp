#pragma once

#include <sys/types.h>

#include <string>

namespace vek::linux_library {

// A trash directory opened for adding files. Its files and info folders are
// held open, so every name is resolved below the folders that were checked.
// Owns both descriptors.
class TrashDirectory {
 public:
  TrashDirectory(std::string path, std::string topdir, int filesFd, int infoFd);
  ~TrashDirectory();
  TrashDirectory(TrashDirectory&& other) noexcept;
  TrashDirectory& operator=(TrashDirectory&&) = delete;

  // The trash directory itself, for messages.
  const std::string& path() const { return path_; }
  // The mount point that the info files' locations are relative to, or empty
  // when they are absolute (the home trash).
  const std::string& topdir() const { return topdir_; }
  int filesFd() const { return filesFd_; }
  int infoFd() const { return infoFd_; }

 private:
  std::string path_;
  std::string topdir_;
  int filesFd_;
  int infoFd_;
};

// Opens the home trash at path (absolute), creating it and any missing
// parent with mode 0700, and its files and info folders. Throws
// std::runtime_error naming what could not be made, opened or written.
TrashDirectory openHomeTrash(const std::string& path);

// Opens this user's trash at the top of a mounted file system: topdir/.Trash/uid
// when topdir/.Trash is a real directory with the sticky bit set and that
// folder is usable, else topdir/.Trash-uid. Missing folders are made with
// mode 0700; a per-user folder that is a symbolic link or belongs to someone
// else is not used. Throws std::runtime_error naming why when neither can be
// used.
TrashDirectory openTopdirTrash(const std::string& topdir, uid_t uid);

}  // namespace vek::linux_library

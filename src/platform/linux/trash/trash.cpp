#include "platform/linux/trash/trash.hpp"

#include <fcntl.h>
#include <glib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "platform/linux/posix/io.hpp"
#include "platform/linux/posix/no_links.hpp"
#include "platform/linux/posix/unique_fd.hpp"
#include "platform/linux/trash/directory.hpp"
#include "platform/linux/trash/info.hpp"
#include "platform/linux/trash/journal.hpp"
#include "platform/linux/xdg/folders.hpp"

namespace vek::linux_library {
namespace {

// Up to this many files each info file is flushed on its own, which never
// waits for other programs' unwritten data. Beyond it one flush of the whole
// file system is far cheaper than a journal commit per file.
constexpr size_t kFlushEachUpTo = 16;

// What rename(2) needs to be shared: the device, and the mount where the
// kernel reports it (a bind mount of the same device is another mount).
using FileSystemKey = std::tuple<uint32_t, uint32_t, uint64_t>;

FileSystemKey fileSystemOf(const struct statx& status) {
  return {status.stx_dev_major, status.stx_dev_minor, (status.stx_mask & STATX_MNT_ID) ? status.stx_mnt_id : 0};
}

int statFollowing(const std::string& path, struct statx& status) {
  return statx(AT_FDCWD, path.c_str(), 0, STATX_MODE | STATX_UID | STATX_INO | STATX_MNT_ID, &status);
}

std::string parentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool isPlainAbsolutePath(const std::string& path) {
  if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
  size_t start = 1;
  while (true) {
    size_t end = path.find('/', start);
    std::string_view part = std::string_view(path).substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// Refuses to replace an existing file. Some network file systems (NFS) cannot
// refuse, which they say with EINVAL; there the destination is checked to be
// free just before a plain rename.
int renameWithoutReplacing(int fromFd, const std::string& from, int toFd, const std::string& to) {
  if (renameat2(fromFd, from.c_str(), toFd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return -1;
  struct stat existing {};
  if (fstatat(toFd, to.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return renameat(fromFd, from.c_str(), toFd, to.c_str());
}

struct Folder {
  std::string canonical;  // as named: reached without a symbolic link, it is its real path
  UniqueFd fd;            // O_PATH, opened without following a link
  FileSystemKey fileSystem;
  uint64_t inode = 0;
  uint16_t mode = 0;
  uid_t owner = 0;
  TrashDirectory* trash = nullptr;
};

struct Item {
  std::string path;
  std::string name;
  FileStamp expected;
  const Folder* folder = nullptr;
  std::string trashName;  // set once its info file exists
  bool moved = false;
};

// One call of moveToTrash: every file is checked and given its trash before
// anything is written, then info files are written and flushed, then the
// files are renamed, and a failure undoes what was done.
class TrashMove {
 public:
  TrashMove(const TrashSettings& settings, TrashJournal& journal) : settings_(settings), journal_(journal) {}

  // Why the file cannot be trashed, or nullopt once it is planned.
  std::optional<TrashFailure> plan(const TrashItem& item) {
    const std::string& path = item.path;
    auto refuse = [&](const std::string& why, bool gone = false) {
      return TrashFailure{gone, "Cannot move \"" + path + "\" to the trash: " + why + "."};
    };
    if (!isPlainAbsolutePath(path)) return refuse("it is not an absolute path to a file");
    size_t slash = path.rfind('/');
    std::string name = path.substr(slash + 1);

    auto [entry, added] = folders_.try_emplace(slash == 0 ? "/" : path.substr(0, slash));
    Folder& folder = entry->second;
    if (added) {
      if (auto failure = inspectFolder(entry->first, folder)) return refuse(failure->reason, failure->gone);
    }

    struct stat found {};
    struct statx status {};
    if (fstatat(folder.fd.get(), name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0 ||
        statx(folder.fd.get(), name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_UID, &status) != 0) {
      if (errno == ENOENT) return refuse("it does not exist", true);
      return refuse("it cannot be read (" + errnoText() + ")");
    }
    if (!isCatalogued(stampOf(found), item.expected)) {
      return refuse("it is no longer the file that was chosen (replaced or changed)", true);
    }
    if (S_ISDIR(status.stx_mode)) return refuse("it is a folder");
    if (!S_ISREG(status.stx_mode) && !S_ISLNK(status.stx_mode)) return refuse("it is not a regular file");
    if ((status.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0) {
      return refuse("it is immutable or append-only");
    }
    if ((status.stx_attributes_mask & status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
      return refuse("it is a mount point");
    }
    // In a sticky folder only the file's owner, the folder's owner or root may rename it.
    if ((folder.mode & S_ISVTX) != 0 && user_ != 0 && status.stx_uid != user_ && folder.owner != user_) {
      return refuse("it belongs to another user in a shared folder");
    }

    if (!planned_.emplace(folder.fileSystem, folder.inode, name).second) return std::nullopt;
    items_.push_back(Item{path, std::move(name), item.expected, &folder, {}, false});
    return std::nullopt;
  }

  std::optional<TrashFailure> run() {
    try {
      return runSteps();
    } catch (...) {
      undo();
      throw;
    }
  }

 private:
  // A folder on the way swapped for a link is not followed: the file is no
  // longer where it was chosen.
  std::optional<TrashFailure> inspectFolder(const std::string& path, Folder& folder) {
    folder.canonical = path;
    folder.fd = openWithoutLinks(path, O_PATH | O_DIRECTORY);
    if (!folder.fd) {
      const bool gone = errno == ENOENT || errno == ELOOP || errno == ENOTDIR;
      return TrashFailure{gone, gone ? "its folder is gone or reached through a symbolic link"
                                     : "its folder cannot be reached (" + errnoText() + ")"};
    }
    struct statx status {};
    if (statx(folder.fd.get(), "", AT_EMPTY_PATH, STATX_MODE | STATX_UID | STATX_INO | STATX_MNT_ID, &status) != 0) {
      return TrashFailure{false, "its folder cannot be read (" + errnoText() + ")"};
    }
    if ((status.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0) {
      return TrashFailure{false, "its folder is immutable or append-only"};
    }
    if (faccessat(folder.fd.get(), ".", W_OK | X_OK, 0) != 0) {
      return TrashFailure{false, "its folder is not writable (" + errnoText() + ")"};
    }
    folder.fileSystem = fileSystemOf(status);
    folder.inode = status.stx_ino;
    folder.mode = status.stx_mode;
    folder.owner = status.stx_uid;
    try {
      folder.trash = &trashFor(folder);
    } catch (const std::runtime_error& error) {
      return TrashFailure{false, std::string("there is no usable trash on its file system: ") + error.what()};
    }
    return std::nullopt;
  }

  TrashDirectory& trashFor(const Folder& folder) {
    auto found = trashes_.find(folder.fileSystem);
    if (found != trashes_.end()) return found->second;
    if (folder.fileSystem == homeFileSystem()) {
      return trashes_.emplace(folder.fileSystem, openHomeTrash(settings_.homeTrash)).first->second;
    }
    std::string topdir = mountPointOf(folder);
    return trashes_.emplace(folder.fileSystem, openTopdirTrash(topdir, settings_.uid)).first->second;
  }

  // The file system of the home trash, or of its nearest parent that exists
  // when it is still to be made.
  FileSystemKey homeFileSystem() {
    if (!homeFileSystem_) {
      std::string path = settings_.homeTrash;
      struct statx status {};
      while (statFollowing(path, status) != 0 && path != "/") path = parentOf(path);
      homeFileSystem_ = fileSystemOf(status);
    }
    return *homeFileSystem_;
  }

  // The highest folder above the given one on the same file system.
  static std::string mountPointOf(const Folder& folder) {
    std::string top = folder.canonical;
    while (top != "/") {
      std::string parent = parentOf(top);
      struct statx status {};
      if (statFollowing(parent, status) != 0)
        throw std::runtime_error("cannot read " + parent + " (" + errnoText() + ")");
      if (fileSystemOf(status) != folder.fileSystem) break;
      top = std::move(parent);
    }
    return top;
  }

  std::optional<TrashFailure> runSteps() {
    std::string deletionDate = trashDeletionDate(std::time(nullptr));
    bool flushEach = items_.size() <= kFlushEachUpTo;
    for (Item& item : items_) {
      if (auto why = writeInfo(item, deletionDate, flushEach)) return fail(item, *why);
    }
    // The info files must be on disk before any rename is, or a power cut
    // could leave a trashed file without its info.
    journal_.flush();
    for (const Item& item : items_) {
      const TrashDirectory& trash = *item.folder->trash;
      if (!flushed_.insert(&trash).second) continue;
      if ((flushEach ? fsync(trash.infoFd()) : syncfs(trash.infoFd())) != 0) {
        return fail(item, "its info file cannot be written to " + trash.path() + " (" + errnoText() + ")");
      }
    }
    for (Item& item : items_) {
      const TrashDirectory& trash = *item.folder->trash;
      if (renameWithoutReplacing(item.folder->fd.get(), item.name, trash.filesFd(), item.trashName) != 0) {
        if (errno == ENOENT) return fail(item, "it no longer exists", true);
        return fail(item, "it cannot be renamed into " + trash.path() + " (" + errnoText() + ")");
      }
      item.moved = true;
      // Checked before, but another program may have put a file in its
      // place just before the rename: that one goes back where it was.
      struct stat moved {};
      if (fstatat(trash.filesFd(), item.trashName.c_str(), &moved, AT_SYMLINK_NOFOLLOW) != 0 ||
          !isCatalogued(stampOf(moved), item.expected)) {
        return fail(item, "it was replaced just as it was moved", true);
      }
    }
    return std::nullopt;
  }

  // Takes the first free name in the trash: neither in files nor reserved by
  // an info file, which O_EXCL claims against every other program.
  std::optional<std::string> writeInfo(Item& item, const std::string& deletionDate, bool flush) {
    TrashDirectory& trash = *item.folder->trash;
    unsigned& candidate = nextCandidate_.try_emplace({&trash, item.name}, 1).first->second;
    for (;; ++candidate) {
      std::string name = trashNameCandidate(item.name, candidate);
      struct stat existing {};
      if (fstatat(trash.filesFd(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) continue;
      if (errno != ENOENT) return "cannot look into " + trash.path() + " (" + errnoText() + ")";
      int fd = openat(trash.infoFd(), (name + ".trashinfo").c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return "cannot create its info file in " + trash.path() + " (" + errnoText() + ")";
      journal_.noteInfoFile(trash, name, fd);
      item.trashName = std::move(name);
      ++candidate;
      bool written =
          writeAll(fd, trashInfoText(originalLocation(item), deletionDate)) && (!flush || fdatasync(fd) == 0);
      std::string error = written ? "" : errnoText();
      // Network file systems may report a failed write only when closing.
      if (close(fd) != 0 && errno != EINTR && written) {
        written = false;
        error = errnoText();
      }
      if (!written) return "cannot write its info file in " + trash.path() + " (" + error + ")";
      return std::nullopt;
    }
  }

  // Absolute for the home trash; below the mount point for a mount's own
  // trash, which keeps working wherever the disk is mounted next time.
  static std::string originalLocation(const Item& item) {
    const std::string& topdir = item.folder->trash->topdir();
    if (topdir.empty()) return item.path;
    const std::string& folder = item.folder->canonical;
    if (folder == topdir) return item.name;
    return folder.substr(topdir == "/" ? 1 : topdir.size() + 1) + "/" + item.name;
  }

  TrashFailure fail(const Item& item, const std::string& why, bool gone = false) {
    std::vector<std::string> stuck = undo();
    std::string reason = "Cannot move \"" + item.path + "\" to the trash: " + why + ".";
    if (!stuck.empty()) {
      reason += " These files were moved before and could not be put back, so they stay in the trash:";
      for (const std::string& path : stuck) reason += " \"" + path + "\"";
    }
    return TrashFailure{gone && stuck.empty(), std::move(reason)};
  }

  // Puts moved files back and removes the info files written, newest first.
  // A file that cannot go back keeps its info, so it stays restorable.
  std::vector<std::string> undo() {
    std::vector<std::string> stuck;
    for (auto item = items_.rbegin(); item != items_.rend(); ++item) {
      if (item->trashName.empty()) continue;
      const TrashDirectory& trash = *item->folder->trash;
      if (item->moved) {
        if (renameWithoutReplacing(trash.filesFd(), item->trashName, item->folder->fd.get(), item->name) != 0) {
          stuck.push_back(item->path);
          continue;
        }
        item->moved = false;
      }
      unlinkat(trash.infoFd(), (item->trashName + ".trashinfo").c_str(), 0);
      item->trashName.clear();
    }
    return stuck;
  }

  const TrashSettings& settings_;
  TrashJournal& journal_;
  const uid_t user_ = geteuid();
  std::map<std::string, Folder> folders_;
  std::map<FileSystemKey, TrashDirectory> trashes_;
  std::optional<FileSystemKey> homeFileSystem_;
  std::set<std::tuple<FileSystemKey, uint64_t, std::string>> planned_;
  std::map<std::pair<const TrashDirectory*, std::string>, unsigned> nextCandidate_;
  std::vector<Item> items_;
  std::set<const TrashDirectory*> flushed_;
};

std::string displayable(const std::string& text) {
  std::unique_ptr<char, decltype(&g_free)> valid(g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size())),
                                                 &g_free);
  return valid.get();
}

}  // namespace

TrashSettings trashSettingsFromEnvironment() {
  TrashSettings settings;
  settings.uid = getuid();
  const std::string data = dataHome();
  settings.homeTrash = data + "/Trash";
  settings.journalFolder = data + "/vek-photokit-helper/trash-moves";
  return settings;
}

void clearInterruptedMoves(const TrashSettings& settings) { clearInterruptedBatches(settings.journalFolder); }

std::optional<TrashFailure> moveToTrash(const std::vector<TrashItem>& items, const TrashSettings& settings) {
  clearInterruptedMoves(settings);
  TrashJournal journal(settings.journalFolder);
  TrashMove move(settings, journal);
  auto displayed = [](TrashFailure failure) {
    failure.reason = displayable(failure.reason);
    return failure;
  };
  for (const TrashItem& item : items) {
    if (auto failure = move.plan(item)) return displayed(std::move(*failure));
  }
  if (auto failure = move.run()) return displayed(std::move(*failure));
  return std::nullopt;
}

}  // namespace vek::linux_library

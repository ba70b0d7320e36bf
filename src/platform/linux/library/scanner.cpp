#include "platform/linux/library/scanner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cerrno>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "platform/linux/posix/io.hpp"

namespace vek::linux_library {
namespace {

constexpr size_t kMaxHiddenListBytes = 1 << 20;

constexpr std::string_view kSystemFolders[] = {
    "@eaDir", "#recycle", "#snapshot", "$RECYCLE.BIN", "System Volume Information", "lost+found",
};

// The names a `.hidden` file lists, one exact name per line, as the desktop
// file managers read it. A FIFO or a huge file under that name cannot stall
// a walk.
std::unordered_set<std::string> readHiddenNames(int dirFd) {
  std::unordered_set<std::string> names;
  const std::string content = readSmallFile(dirFd, ".hidden", kMaxHiddenListBytes, false).value_or("");
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    if (end > start) names.emplace(content, start, end - start);
    start = end + 1;
  }
  return names;
}

// The folders found so far and not yet read, shared by the walking threads.
// A folder's output keeps its place in its parent's, so the result comes out
// in path order whichever thread read which folder.
class Walker {
 public:
  explicit Walker(const std::vector<std::string>& roots) {
    for (const std::string& root : roots) {
      std::string path = root;
      while (!path.empty() && path.back() == '/') path.pop_back();
      tops_.push_back(std::make_unique<Folder>());
      pending_.push_back(Task{nullptr, nullptr, root, std::move(path), tops_.back().get(), 0});
    }
    unfinished_ = pending_.size();
  }

  // Reads every folder, on this thread and up to extraThreads more.
  void run(size_t extraThreads) {
    std::vector<std::thread> helpers;
    helpers.reserve(extraThreads);
    for (size_t t = 0; t < extraThreads; ++t) {
      try {
        helpers.emplace_back([this] { work(); });
      } catch (...) {
        break;  // fewer threads do the same work
      }
    }
    work();
    for (std::thread& thread : helpers) thread.join();
    if (failure_) std::rethrow_exception(failure_);
  }

  LibraryWalk take() {
    LibraryWalk walk;
    walk.files = takeFiles();
    walk.unreadFolders = std::move(unread_);
    walk.emptyFolders = std::move(empty_);
    return walk;
  }

 private:
  std::vector<FoundFile> takeFiles() {
    std::vector<FoundFile> files;
    files.reserve(fileCount_);
    for (auto& top : tops_) flatten(*top, files);
    return files;
  }

  struct Entry {
    std::string name;
    unsigned char type;
  };

  // An open folder, kept open while any of its subfolders waits to be opened
  // relative to it.
  struct OpenFolder {
    explicit OpenFolder(DIR* dir) : dir(dir) {}
    ~OpenFolder() { closedir(dir); }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    DIR* dir;
  };

  // What one folder holds: its files in order, and its subfolders, each with
  // the index of the file it comes before.
  struct Folder {
    std::vector<FoundFile> files;
    std::vector<std::pair<size_t, std::unique_ptr<Folder>>> subfolders;
  };

  // The folders above one, by device and inode: a folder found below itself
  // (through a bind mount) is not walked again.
  struct Ancestry {
    InodeKey folder;
    std::shared_ptr<const Ancestry> above;
    bool contains(const InodeKey& key) const {
      for (const Ancestry* node = this; node != nullptr; node = node->above.get()) {
        if (node->folder == key) return true;
      }
      return false;
    }
  };

  struct Task {
    std::shared_ptr<OpenFolder> parent;  // null for a root
    std::shared_ptr<const Ancestry> ancestry;
    std::string name;                    // relative to parent, or the root's path
    std::string path;                    // the folder's path as listed
    Folder* output;
    uint64_t parentDevice;               // of the folder that listed it; unknown for a root
  };

  // The order of full paths: a folder's entries sort as if its name ended in
  // '/', so reading each folder in this order yields paths already sorted.
  static bool before(const Entry& a, const Entry& b) {
    size_t common = std::min(a.name.size(), b.name.size());
    int order = std::memcmp(a.name.data(), b.name.data(), common);
    if (order != 0) return order < 0;
    auto next = [common](const Entry& entry) {
      if (entry.name.size() > common) return static_cast<int>(static_cast<unsigned char>(entry.name[common]));
      return entry.type == DT_DIR ? static_cast<int>('/') : -1;
    };
    return next(a) < next(b);
  }

  void work() {
    try {
      std::unique_lock lock(mutex_);
      while (true) {
        changed_.wait(lock, [this] { return !pending_.empty() || unfinished_ == 0 || failure_; });
        if (pending_.empty() || failure_) return;
        // The newest task first: the walk stays close to depth first, so few
        // folders are held open at once.
        Task task = std::move(pending_.back());
        pending_.pop_back();
        lock.unlock();
        read(std::move(task));
        lock.lock();
        if (--unfinished_ == 0) changed_.notify_all();
      }
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      changed_.notify_all();
    }
  }

  // Opens the folder relative to the folder that listed it, so a folder
  // swapped for a link in the meantime is refused rather than followed. A
  // root may be a link the user made on purpose: only below a root are links
  // never followed.
  void read(Task task) {
    const bool root = !task.parent;
    int fd = root ? open(task.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                  : openat(dirfd(task.parent->dir), task.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    task.parent.reset();
    if (fd < 0) {
      const int error = errno;
      failOnShortage(error);
      // A folder that went, or became a file or a link, since its parent was
      // read is not there; a root was there a moment ago.
      if (root || (error != ENOENT && error != ENOTDIR && error != ELOOP)) noteUnread(std::move(task.path));
      return;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0) {
      close(fd);
      noteUnread(std::move(task.path));
      return;
    }
    if (root) {
      // Above a mount point, ".." is on the file system it is mounted on.
      struct stat above {};
      task.parentDevice = fstatat(fd, "..", &above, 0) == 0 ? static_cast<uint64_t>(above.st_dev) : ~uint64_t{0};
    }
    const InodeKey key{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    if (task.ancestry && task.ancestry->contains(key)) {
      close(fd);
      return;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      const int error = errno;
      close(fd);
      failOnShortage(error);
      noteUnread(std::move(task.path));
      return;
    }
    std::shared_ptr<OpenFolder> folder;
    try {
      folder = std::make_shared<OpenFolder>(dir);
    } catch (...) {
      closedir(dir);
      throw;
    }
    const int dirFd = dirfd(dir);
    auto ancestry = std::make_shared<const Ancestry>(Ancestry{key, std::move(task.ancestry)});

    std::vector<Entry> entries;
    bool hasHiddenList = false;
    bool noMedia = false;
    bool unread = false;
    size_t count = 0;
    while (true) {
      errno = 0;
      const dirent* entry = readdir(dir);
      if (entry == nullptr) {
        // What was read before an error still counts; the rest may be there.
        unread = errno != 0;
        failOnShortage(errno);
        break;
      }
      if (entry->d_name[0] == '.') {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        hasHiddenList = hasHiddenList || std::strcmp(entry->d_name, ".hidden") == 0;
        noMedia = noMedia || std::strcmp(entry->d_name, ".nomedia") == 0;
        ++count;
        continue;
      }
      ++count;
      entries.push_back(Entry{entry->d_name, entry->d_type});
    }
    if (count == 0 && !unread && static_cast<uint64_t>(info.st_dev) == task.parentDevice) {
      noteEmpty(EmptyFolder{task.path, static_cast<uint64_t>(info.st_dev)});
    }
    // Android's convention: such a folder and everything below it is not
    // media (messengers' caches, sent copies).
    if (noMedia) return;
    std::unordered_set<std::string> hidden;
    if (hasHiddenList) hidden = readHiddenNames(dirFd);
    std::sort(entries.begin(), entries.end(), before);

    Folder& output = *task.output;
    std::vector<Task> subfolders;
    // A path the system cannot open by name is of no use to the operations
    // that open an asset by its path; leaving such folders out also bounds
    // how deep the walk goes.
    auto usable = [](const std::string& path) { return path.size() < PATH_MAX; };
    auto subfolder = [&](std::string&& name) {
      if (isSystemFolder(name)) return;
      std::string path = task.path + "/" + name;
      if (!usable(path)) return;
      output.subfolders.emplace_back(output.files.size(), std::make_unique<Folder>());
      subfolders.push_back(Task{folder, ancestry, std::move(name), std::move(path),
                                output.subfolders.back().second.get(), static_cast<uint64_t>(info.st_dev)});
    };
    for (Entry& entry : entries) {
      if (!hidden.empty() && hidden.contains(entry.name)) continue;
      if (entry.type == DT_DIR) {
        subfolder(std::move(entry.name));
        continue;
      }
      if (entry.type != DT_REG && entry.type != DT_UNKNOWN) continue;
      std::optional<MediaKind> kind = mediaKindForName(entry.name);
      // Only a media name, or a file system that does not report types, is
      // worth a stat.
      if (!kind && entry.type != DT_UNKNOWN) continue;
      struct stat fileInfo {};
      if (fstatat(dirFd, entry.name.c_str(), &fileInfo, AT_SYMLINK_NOFOLLOW) != 0) {
        // A file that cannot be looked at (a folder readable but not
        // searchable) may still be there.
        failOnShortage(errno);
        unread = unread || errno != ENOENT;
        continue;
      }
      if (S_ISDIR(fileInfo.st_mode)) {
        subfolder(std::move(entry.name));
      } else if (S_ISREG(fileInfo.st_mode) && kind) {
        std::string path = task.path + "/" + entry.name;
        if (usable(path)) output.files.push_back(FoundFile{std::move(path), stampOf(fileInfo), *kind});
      }
    }
    fileCount_ += output.files.size();
    if (unread) noteUnread(task.path);
    if (subfolders.empty()) return;
    std::lock_guard lock(mutex_);
    unfinished_ += subfolders.size();
    // Reversed, so the first subfolder is taken next.
    std::move(subfolders.rbegin(), subfolders.rend(), std::back_inserter(pending_));
    changed_.notify_all();
  }

  void noteUnread(std::string path) {
    std::lock_guard lock(mutex_);
    unread_.push_back(std::move(path));
  }

  void noteEmpty(EmptyFolder folder) {
    std::lock_guard lock(mutex_);
    empty_.push_back(std::move(folder));
  }

  // A folder left out for want of file descriptors or kernel memory would
  // look deleted, and the catalog would forget its files: the whole walk
  // fails instead.
  static void failOnShortage(int error) {
    if (error == EMFILE || error == ENFILE || error == ENOMEM) {
      throw std::system_error(error, std::generic_category(), "cannot open a folder of the library");
    }
  }

  // Folder trees can be deep: flattened with a stack of its own rather than
  // by recursion.
  static void flatten(Folder& top, std::vector<FoundFile>& files) {
    struct Place {
      Folder* folder;
      size_t file = 0;
      size_t subfolder = 0;
    };
    std::vector<Place> stack{{&top}};
    while (!stack.empty()) {
      Place& place = stack.back();
      Folder& folder = *place.folder;
      if (place.subfolder < folder.subfolders.size() && folder.subfolders[place.subfolder].first == place.file) {
        Folder* next = folder.subfolders[place.subfolder++].second.get();
        stack.push_back(Place{next});
      } else if (place.file < folder.files.size()) {
        files.push_back(std::move(folder.files[place.file++]));
      } else {
        // Emptied: freed now, so the walk is never held twice.
        std::vector<FoundFile>().swap(folder.files);
        stack.pop_back();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Task> pending_;
  size_t unfinished_ = 0;  // tasks pending or being read
  std::atomic<size_t> fileCount_{0};
  std::exception_ptr failure_;
  std::vector<std::unique_ptr<Folder>> tops_;
  std::vector<std::string> unread_;
  std::vector<EmptyFolder> empty_;
};

}  // namespace

LibraryWalk walkLibrary(const std::vector<std::string>& roots, size_t threads) {
  Walker walker(roots);
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  walker.run(threads - 1);
  LibraryWalk walk = walker.take();
  std::vector<FoundFile>& files = walk.files;
  auto byPath = [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; };
  // Only roots that sort apart from their own contents, or a file system
  // that hides entry types, leave the walk out of order.
  if (!std::is_sorted(files.begin(), files.end(), byPath)) std::sort(files.begin(), files.end(), byPath);
  // Hard links, and folders reached twice through bind mounts: the first
  // path in sorted order stands for the file, so the choice does not depend
  // on the order folders happen to be read in.
  std::unordered_set<InodeKey, InodeKeyHash> seen;
  seen.reserve(files.size());
  size_t kept = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!seen.insert(InodeKey{files[i].stamp.device, files[i].stamp.inode}).second) continue;
    if (kept != i) files[kept] = std::move(files[i]);
    ++kept;
  }
  files.resize(kept);
  return walk;
}

std::vector<FoundFile> scanLibrary(const std::vector<std::string>& roots, size_t threads) {
  return walkLibrary(roots, threads).files;
}

bool isSystemFolder(std::string_view name) {
  return std::find(std::begin(kSystemFolders), std::end(kSystemFolders), name) != std::end(kSystemFolders);
}

}  // namespace vek::linux_library

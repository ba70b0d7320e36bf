#include "platform/linux/scanner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <unordered_set>

namespace vek::linux_library {
namespace {

constexpr std::array<std::string_view, 10> kImageExtensions = {"jpg",  "jpeg", "png", "heic", "heif",
                                                               "avif", "webp", "gif", "tif",  "tiff"};
constexpr std::array<std::string_view, 10> kVideoExtensions = {"mp4", "mov", "m4v",  "3gp", "mkv",
                                                               "webm", "avi", "mts", "m2ts", "ts"};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

FileStamp stampOf(const struct stat& info) {
  return FileStamp{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino),
                   static_cast<int64_t>(info.st_size),
                   static_cast<int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

// The names a `.hidden` file lists, one exact name per line, as the desktop
// file managers read it. Opened without blocking and only read when it is a
// regular file, so a FIFO or a huge file under that name cannot stall a walk.
std::unordered_set<std::string> readHiddenNames(int dirFd) {
  constexpr size_t kMaxBytes = 1 << 20;
  std::unordered_set<std::string> names;
  int fd = openat(dirFd, ".hidden", O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return names;
  std::string content;
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    char buffer[8192];
    ssize_t count;
    while (content.size() < kMaxBytes && (count = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, count);
  }
  close(fd);
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    if (end > start) names.emplace(content, start, end - start);
    start = end + 1;
  }
  return names;
}

class Walker {
 public:
  void walkRoot(const std::string& root) {
    // A user may have made a root a link on purpose; only what lies below
    // a root is taken without following links.
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    std::string path = root;
    while (!path.empty() && path.back() == '/') path.pop_back();
    walk(fd, path);
  }

  std::vector<FoundFile> takeFiles() { return std::move(files_); }

 private:
  struct Entry {
    std::string name;
    unsigned char type;
  };

  // The order of full paths: a folder's entries sort as if its name ended in
  // '/', so walking each folder in this order yields paths already sorted.
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

  // Takes ownership of fd. Keeps the folder open while walking below it, so
  // each child is opened relative to the folder that listed it and a folder
  // swapped for a link in the meantime is refused rather than followed.
  void walk(int fd, std::string& path) {
    struct stat info {};
    if (fstat(fd, &info) != 0 ||
        !visited_.insert(InodeKey{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)}).second) {
      close(fd);
      return;
    }
    DirHandle dir(fdopendir(fd));
    if (!dir) {
      close(fd);
      return;
    }
    const int dirFd = dirfd(dir.get());

    std::vector<Entry> entries;
    bool hasHiddenList = false;
    while (dirent* entry = readdir(dir.get())) {
      if (entry->d_name[0] == '.') {
        hasHiddenList = hasHiddenList || std::strcmp(entry->d_name, ".hidden") == 0;
        continue;
      }
      entries.push_back(Entry{entry->d_name, entry->d_type});
    }
    std::unordered_set<std::string> hidden;
    if (hasHiddenList) hidden = readHiddenNames(dirFd);
    std::sort(entries.begin(), entries.end(), before);

    for (const Entry& entry : entries) {
      if (!hidden.empty() && hidden.contains(entry.name)) continue;
      if (entry.type == DT_DIR) {
        descend(dirFd, entry.name, path);
        continue;
      }
      if (entry.type != DT_REG && entry.type != DT_UNKNOWN) continue;
      std::optional<MediaKind> kind = mediaKindForName(entry.name);
      // Only a media name, or a file system that does not report types, is
      // worth a stat.
      if (!kind && entry.type != DT_UNKNOWN) continue;
      struct stat fileInfo {};
      if (fstatat(dirFd, entry.name.c_str(), &fileInfo, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(fileInfo.st_mode)) {
        descend(dirFd, entry.name, path);
      } else if (S_ISREG(fileInfo.st_mode) && kind) {
        files_.push_back(FoundFile{path + "/" + entry.name, stampOf(fileInfo), *kind});
      }
    }
  }

  void descend(int dirFd, const std::string& name, std::string& path) {
    int child = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) return;
    const size_t base = path.size();
    path.append("/").append(name);
    walk(child, path);
    path.resize(base);
  }

  std::unordered_set<InodeKey, InodeKeyHash> visited_;
  std::vector<FoundFile> files_;
};

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
  return text.size() == lowerCase.size() &&
         std::equal(text.begin(), text.end(), lowerCase.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
         });
}

}  // namespace

std::optional<MediaKind> mediaKindForName(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  std::string_view extension = name.substr(dot + 1);
  for (std::string_view candidate : kImageExtensions) {
    if (equalsIgnoringCase(extension, candidate)) return MediaKind::kImage;
  }
  for (std::string_view candidate : kVideoExtensions) {
    if (equalsIgnoringCase(extension, candidate)) return MediaKind::kVideo;
  }
  return std::nullopt;
}

std::vector<FoundFile> scanLibrary(const std::vector<std::string>& roots) {
  Walker walker;
  for (const std::string& root : roots) walker.walkRoot(root);
  std::vector<FoundFile> files = walker.takeFiles();
  auto byPath = [](const FoundFile& a, const FoundFile& b) { return a.path < b.path; };
  // Only roots that sort apart from their own contents, or a file system
  // that hides entry types, leave the walk out of order.
  if (!std::is_sorted(files.begin(), files.end(), byPath)) std::sort(files.begin(), files.end(), byPath);
  // Hard links: the first path in sorted order stands for the file, so the
  // choice does not depend on the order folders happen to be read in.
  std::unordered_set<InodeKey, InodeKeyHash> seen;
  seen.reserve(files.size());
  size_t kept = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!seen.insert(InodeKey{files[i].stamp.device, files[i].stamp.inode}).second) continue;
    if (kept != i) files[kept] = std::move(files[i]);
    ++kept;
  }
  files.resize(kept);
  return files;
}

}  // namespace vek::linux_library

#include "platform/linux/replies/render_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include <glib.h>

#include "platform/linux/posix/byte_fields.hpp"
#include "platform/linux/posix/io.hpp"
#include "platform/linux/xdg/folders.hpp"

namespace vek::linux_library {
namespace {

constexpr uint64_t kDefaultCapMiB = 2048;
constexpr uint32_t kMagic = 0x56454B52;  // also tells a cache written in the other byte order
constexpr size_t kChecksumBytes = 32;     // SHA-256
// Larger renders are not kept; a full-size render of a 100-megapixel photo
// stays well below this.
constexpr size_t kMaxEntryBytes = 256 << 20;
// A temporary file this old was left by a helper that died while writing it.
constexpr auto kAbandonedAfter = std::chrono::hours(1);
// Beside the entries' folders: the total the last sweep found.
constexpr const char* kUsageName = "usage";

std::string sha256(std::string_view bytes) {
  GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
  g_checksum_update(checksum, reinterpret_cast<const guchar*>(bytes.data()), static_cast<gssize>(bytes.size()));
  std::string digest(kChecksumBytes, '\0');
  gsize length = digest.size();
  g_checksum_get_digest(checksum, reinterpret_cast<guint8*>(digest.data()), &length);
  g_checksum_free(checksum);
  return digest;
}

std::string hexSha256(const std::string& text) {
  gchar* hex = g_compute_checksum_for_string(G_CHECKSUM_SHA256, text.data(), static_cast<gssize>(text.size()));
  std::string result(hex);
  g_free(hex);
  return result;
}

std::string entryBytes(const std::string& identifier, int64_t box, const CachedRender& render) {
  ByteWriter writer;
  writer.put(kMagic).put(kRenderVersion).put(box);
  putStamp(writer, render.stamp);
  writer.put(render.size.width).put(render.size.height).put(render.compressionFactor);
  writer.put(static_cast<uint64_t>(identifier.size())).put(static_cast<uint64_t>(render.jpeg.size()));
  writer.put(identifier).put(render.jpeg);
  writer.bytes += sha256(writer.bytes);
  return std::move(writer.bytes);
}

std::optional<CachedRender> parseEntry(std::string_view bytes, const std::string& identifier, int64_t box,
                                       const FileStamp& stamp) {
  if (bytes.size() < kChecksumBytes) return std::nullopt;
  const std::string_view body = bytes.substr(0, bytes.size() - kChecksumBytes);
  ByteReader reader(body);
  uint32_t magic = 0, version = 0;
  int64_t storedBox = 0;
  uint64_t identifierLength = 0, jpegLength = 0;
  CachedRender render;
  if (!reader.get(magic) || magic != kMagic || !reader.get(version) || version != kRenderVersion ||
      !reader.get(storedBox) || storedBox != box || !getStamp(reader, render.stamp) || !sameVisibleState(render.stamp, stamp) ||
      !reader.get(render.size.width) || !reader.get(render.size.height) || !reader.get(render.compressionFactor) ||
      !reader.get(identifierLength) || !reader.get(jpegLength) ||
      identifierLength + jpegLength != reader.left()) {
    return std::nullopt;
  }
  std::string_view storedIdentifier, jpeg;
  if (!reader.take(identifierLength, storedIdentifier) || storedIdentifier != identifier ||
      !reader.take(jpegLength, jpeg) || jpeg.empty()) {
    return std::nullopt;
  }
  if (sha256(body) != bytes.substr(body.size())) return std::nullopt;
  render.jpeg = std::string(jpeg);
  return render;
}

// The file's bytes, or nullopt when it is not a regular file of a sensible
// size or cannot be read whole.
std::optional<std::string> readEntry(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<uint64_t>(info.st_size) > kMaxEntryBytes) {
    return std::nullopt;
  }
  std::string bytes(static_cast<size_t>(info.st_size), '\0');
  if (readAt(fd, bytes.data(), bytes.size(), 0) != bytes.size()) return std::nullopt;
  return bytes;
}

// The folder `name` below `parent`, made (0700) when missing and `create`,
// opened without following a link; only when it belongs to this user, and
// then closed to everyone else. Anything else there is not ours: another
// user's folder, or a link, would let others read our thumbnails or plant
// their own, or lead our writes and removals out of the cache.
UniqueFd openOwnFolder(int parent, const std::string& name, bool create) {
  if (create && mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) return UniqueFd();
  UniqueFd folder(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!folder || fstat(folder.get(), &info) != 0 || info.st_uid != geteuid()) return UniqueFd();
  if ((info.st_mode & 077) != 0 && fchmod(folder.get(), 0700) != 0) return UniqueFd();
  return folder;
}

// An entry (or a temporary file) of ours below `folder`, opened for
// reading, never through a link.
UniqueFd openOwnFile(int folder, const std::string& name) {
  UniqueFd file(openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat info {};
  if (!file || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    return UniqueFd();
  }
  return file;
}

std::string boxName(int64_t box) { return std::to_string(box); }

uint64_t readNumber(int folder, const std::string& name) {
  const std::optional<std::string> digits = readSmallFile(folder, name, 23, false);
  return digits ? strtoull(digits->c_str(), nullptr, 10) : 0;
}

std::string temporaryName(int64_t box) {
  static thread_local std::mt19937_64 random(std::random_device{}() ^ static_cast<uint64_t>(getpid()));
  char suffix[17];
  snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  // Appended rather than `"." + boxName(box)`, on which GCC 12 gives a false
  // -Wrestrict in optimised builds (GCC bug 105651).
  std::string name = ".";
  name += boxName(box);
  name += '.';
  name += suffix;
  name += ".tmp";
  return name;
}

// Written to a temporary file of its own and renamed into place, so a
// reader never sees part of it.
bool replaceFile(int folder, const std::string& name, std::string_view bytes, int64_t box) {
  const std::string temporary = temporaryName(box);
  const int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes);
  if (close(fd) != 0 || !written || renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    unlinkat(folder, temporary.c_str(), 0);
    return false;
  }
  return true;
}

std::optional<uint64_t> capFromEnvironment() {
  const char* value = std::getenv("VEK_RENDER_CACHE_MB");
  if (value == nullptr || value[0] == '\0') return kDefaultCapMiB << 20;
  char* end = nullptr;
  errno = 0;
  const unsigned long long mebibytes = strtoull(value, &end, 10);
  // A value that is not a plain number leaves the default in place.
  if (errno != 0 || *end != '\0' || value[0] == '-') return kDefaultCapMiB << 20;
  if (mebibytes == 0) return std::nullopt;
  return std::min<unsigned long long>(mebibytes, 1ULL << 40) << 20;
}

}  // namespace

std::unique_ptr<RenderCache> RenderCache::fromEnvironment() {
  const std::optional<uint64_t> cap = capFromEnvironment();
  if (!cap) return nullptr;
  std::string home;
  try {
    home = cacheHome();
  } catch (const std::runtime_error&) {
    return nullptr;
  }
  return std::make_unique<RenderCache>(home + "/vek-photokit-helper", *cap);
}

RenderCache::RenderCache(std::string folder, uint64_t capBytes) : folder_(std::move(folder)), capBytes_(capBytes) {}

// The folders above are the user's, and may well be links (a cache kept on
// another disk); the cache's own folder must be ours.
UniqueFd RenderCache::openTop(bool create) const {
  const size_t slash = folder_.rfind('/');
  const std::string parent = slash == 0 ? "/" : folder_.substr(0, slash);
  if (create && g_mkdir_with_parents(parent.c_str(), 0700) != 0) return UniqueFd();
  const UniqueFd parentFd(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parentFd) return UniqueFd();
  return openOwnFolder(parentFd.get(), folder_.substr(slash + 1), create);
}

RenderCache::AssetFolder RenderCache::openAssetFolder(const std::string& identifier, bool create) const {
  AssetFolder folder;
  const std::string hash = hexSha256(identifier).substr(0, 32);
  const UniqueFd top = openTop(create);
  if (!top) return folder;
  folder.prefix = openOwnFolder(top.get(), hash.substr(0, 2), create);
  if (!folder.prefix) return folder;
  folder.name = hash;
  folder.fd = openOwnFolder(folder.prefix.get(), hash, create);
  return folder;
}

bool RenderCache::holds(const std::string& identifier, int64_t box, const FileStamp& stamp) const {
  const AssetFolder folder = openAssetFolder(identifier, false);
  if (!folder.fd) return false;
  const UniqueFd entry = openOwnFile(folder.fd.get(), boxName(box));
  if (!entry) return false;
  // The magic, version, box and the five fields of the stamp.
  char header[sizeof kMagic + sizeof kRenderVersion + sizeof box + 5 * sizeof(int64_t)];
  if (readAt(entry.get(), header, sizeof header, 0) != sizeof header) return false;
  ByteReader reader(std::string_view(header, sizeof header));
  uint32_t magic = 0, version = 0;
  int64_t storedBox = 0;
  FileStamp storedStamp;
  return reader.get(magic) && magic == kMagic && reader.get(version) && version == kRenderVersion &&
         reader.get(storedBox) && storedBox == box && getStamp(reader, storedStamp) && sameVisibleState(storedStamp, stamp);
}

bool RenderCache::holdsAnyBox(const std::string& identifier, const FileStamp& stamp) const {
  const AssetFolder folder = openAssetFolder(identifier, false);
  if (!folder.fd) return false;
  for (const std::string& name : namesInFolder(folder.fd.get())) {
    char* end = nullptr;
    const long long box = strtoll(name.c_str(), &end, 10);
    if (end != name.c_str() && *end == '\0' && name == boxName(box) && holds(identifier, box, stamp)) return true;
  }
  return false;
}

std::optional<CachedRender> RenderCache::load(const std::string& identifier, int64_t box,
                                              const FileStamp& stamp) {
  const AssetFolder folder = openAssetFolder(identifier, false);
  if (!folder.fd) return std::nullopt;
  const UniqueFd entry = openOwnFile(folder.fd.get(), boxName(box));
  if (!entry) return std::nullopt;
  std::optional<CachedRender> render;
  if (std::optional<std::string> bytes = readEntry(entry.get())) render = parseEntry(*bytes, identifier, box, stamp);
  // The modification time is the entry's last use, for eviction.
  if (render) futimens(entry.get(), nullptr);
  return render;
}

void RenderCache::store(const std::string& identifier, int64_t box, const CachedRender& render) {
  const std::string bytes = entryBytes(identifier, box, render);
  if (bytes.size() > kMaxEntryBytes) return;
  const AssetFolder folder = openAssetFolder(identifier, true);
  if (!folder.fd || !replaceFile(folder.fd.get(), boxName(box), bytes, box)) return;
  evictIfFull(bytes.size());
}

// Only files are removed, each by its name in the folder: a link put among
// them goes, never what it leads to.
void RenderCache::forget(const std::vector<std::string>& identifiers) {
  for (const auto& identifier : identifiers) {
    const AssetFolder folder = openAssetFolder(identifier, false);
    if (!folder.prefix) continue;
    if (folder.fd) {
      for (const std::string& name : namesInFolder(folder.fd.get())) unlinkat(folder.fd.get(), name.c_str(), 0);
      unlinkat(folder.prefix.get(), folder.name.c_str(), AT_REMOVEDIR);
    } else {
      unlinkat(folder.prefix.get(), folder.name.c_str(), 0);
    }
  }
}

// Walking a full cache takes a large fraction of a second, so the total is
// kept in a note beside the entries: each helper adds what it writes, every
// 1/64 of the cap, and walks the folder for the truth only once the total
// passes the cap. Two helpers adding at once may lose one's share until the
// next walk; a helper killed loses at most its last 1/64.
void RenderCache::evictIfFull(uint64_t written) {
  std::lock_guard lock(mutex_);
  const UniqueFd top = openTop(false);
  if (!top) return;
  if (!noteRead_) {
    noteRead_ = true;
    bytesAtMost_ = readNumber(top.get(), kUsageName);
  }
  bytesAtMost_ += written;
  unnoted_ += written;
  if (bytesAtMost_ > capBytes_) {
    sweep(top.get());
    replaceFile(top.get(), kUsageName, std::to_string(bytesAtMost_), 0);
    unnoted_ = 0;
  } else if (unnoted_ > capBytes_ / 64) {
    bytesAtMost_ = std::max(bytesAtMost_, readNumber(top.get(), kUsageName) + unnoted_);
    replaceFile(top.get(), kUsageName, std::to_string(bytesAtMost_), 0);
    unnoted_ = 0;
  }
}

// Walks every entry, oldest use first out, down to nine tenths of the cap,
// and clears away what dead helpers left half-written. Folders are opened
// and files removed by their names below folders of ours, never through a
// link.
void RenderCache::sweep(int top) {
  struct Entry {
    timespec used;
    uint64_t bytes;
    std::string prefix, asset, name;
  };
  std::vector<Entry> entries;
  uint64_t total = 0;
  const time_t abandoned = time(nullptr) - std::chrono::seconds(kAbandonedAfter).count();
  // Temporary files lie beside the entries, and the usage note's beside it.
  auto clearAbandoned = [&](int folder, const std::string& name) {
    struct stat info {};
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) return;
    if (info.st_mtim.tv_sec < abandoned) {
      unlinkat(folder, name.c_str(), 0);
    } else {
      total += static_cast<uint64_t>(info.st_size);
    }
  };
  for (const std::string& prefix : namesInFolder(top)) {
    if (prefix.starts_with(".")) {
      clearAbandoned(top, prefix);
      continue;
    }
    const UniqueFd prefixFd = prefix.size() == 2 ? openOwnFolder(top, prefix, false) : UniqueFd();
    if (!prefixFd) continue;
    for (const std::string& asset : namesInFolder(prefixFd.get())) {
      const UniqueFd assetFd = openOwnFolder(prefixFd.get(), asset, false);
      if (!assetFd) continue;
      for (const std::string& name : namesInFolder(assetFd.get())) {
        if (name.starts_with(".")) {
          clearAbandoned(assetFd.get(), name);
          continue;
        }
        struct stat info {};
        if (fstatat(assetFd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
        total += static_cast<uint64_t>(info.st_size);
        entries.push_back({info.st_mtim, static_cast<uint64_t>(info.st_size), prefix, asset, name});
      }
    }
  }
  if (total > capBytes_) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      return a.used.tv_sec != b.used.tv_sec ? a.used.tv_sec < b.used.tv_sec : a.used.tv_nsec < b.used.tv_nsec;
    });
    const uint64_t target = capBytes_ / 10 * 9;
    for (const Entry& entry : entries) {
      if (total <= target) break;
      const UniqueFd prefixFd = openOwnFolder(top, entry.prefix, false);
      const UniqueFd assetFd = prefixFd ? openOwnFolder(prefixFd.get(), entry.asset, false) : UniqueFd();
      if (!assetFd || unlinkat(assetFd.get(), entry.name.c_str(), 0) != 0) continue;
      total -= entry.bytes;
      // An asset folder left empty goes too; one another helper just wrote
      // into stays.
      unlinkat(prefixFd.get(), entry.asset.c_str(), AT_REMOVEDIR);
    }
  }
  bytesAtMost_ = total;
}

}  // namespace vek::linux_library

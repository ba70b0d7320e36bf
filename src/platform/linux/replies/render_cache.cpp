#include "platform/linux/replies/render_cache.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

bool makeFolder(const std::string& path) { return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST; }

bool makePrivateFolder(const std::string& path) {
  if (!makeFolder(path)) return false;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return false;
  return (info.st_mode & 077) == 0 || chmod(path.c_str(), 0700) == 0;
}

std::string boxName(int64_t box) { return std::to_string(box); }

uint64_t readNumber(const std::string& path) {
  const std::optional<std::string> digits = readSmallFile(AT_FDCWD, path, 23, false);
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

// Replaced whole, like an entry, so a reader never sees half a number.
void writeNumber(const std::string& path, uint64_t number) {
  const std::string temporary = path.substr(0, path.rfind('/') + 1) + temporaryName(0);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  const bool written = writeAll(fd, std::to_string(number));
  if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) unlink(temporary.c_str());
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

std::string RenderCache::assetFolder(const std::string& identifier) const {
  const std::string hash = hexSha256(identifier).substr(0, 32);
  return folder_ + "/" + hash.substr(0, 2) + "/" + hash;
}

bool RenderCache::holds(const std::string& identifier, int64_t box, const FileStamp& stamp) const {
  const std::string path = assetFolder(identifier) + "/" + boxName(box);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  // The magic, version, box and the five fields of the stamp.
  char header[sizeof kMagic + sizeof kRenderVersion + sizeof box + 5 * sizeof(int64_t)];
  const ssize_t got = pread(fd, header, sizeof header, 0);
  close(fd);
  if (got != static_cast<ssize_t>(sizeof header)) return false;
  ByteReader reader(std::string_view(header, sizeof header));
  uint32_t magic = 0, version = 0;
  int64_t storedBox = 0;
  FileStamp storedStamp;
  return reader.get(magic) && magic == kMagic && reader.get(version) && version == kRenderVersion &&
         reader.get(storedBox) && storedBox == box && getStamp(reader, storedStamp) && sameVisibleState(storedStamp, stamp);
}

std::optional<CachedRender> RenderCache::load(const std::string& identifier, int64_t box,
                                              const FileStamp& stamp) {
  const std::string path = assetFolder(identifier) + "/" + boxName(box);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<CachedRender> render;
  if (std::optional<std::string> bytes = readEntry(fd)) render = parseEntry(*bytes, identifier, box, stamp);
  // The modification time is the entry's last use, for eviction.
  if (render) futimens(fd, nullptr);
  close(fd);
  return render;
}

void RenderCache::store(const std::string& identifier, int64_t box, const CachedRender& render) {
  const std::string bytes = entryBytes(identifier, box, render);
  if (bytes.size() > kMaxEntryBytes) return;
  const std::string folder = assetFolder(identifier);
  if (!makeFolders(folder)) return;
  const std::string temporary = folder + "/" + temporaryName(box);
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  const bool written = writeAll(fd, bytes);
  if (close(fd) != 0 || !written || rename(temporary.c_str(), (folder + "/" + boxName(box)).c_str()) != 0) {
    unlink(temporary.c_str());
    return;
  }
  evictIfFull(bytes.size());
}

// The cache's own folder is made private even when something else made it
// first with looser modes; the folders above it are the user's.
bool RenderCache::makeFolders(const std::string& assetFolder) const {
  const std::string parent = folder_.substr(0, folder_.rfind('/'));
  return g_mkdir_with_parents(parent.c_str(), 0700) == 0 && makePrivateFolder(folder_) &&
         makeFolder(assetFolder.substr(0, assetFolder.rfind('/'))) && makeFolder(assetFolder);
}

void RenderCache::forget(const std::vector<std::string>& identifiers) {
  for (const auto& identifier : identifiers) {
    std::error_code error;
    std::filesystem::remove_all(assetFolder(identifier), error);
  }
}

// Walking a full cache takes a large fraction of a second, so the total is
// kept in a note beside the entries: each helper adds what it writes, every
// 1/64 of the cap, and walks the folder for the truth only once the total
// passes the cap. Two helpers adding at once may lose one's share until the
// next walk; a helper killed loses at most its last 1/64.
void RenderCache::evictIfFull(uint64_t written) {
  std::lock_guard lock(mutex_);
  const std::string note = folder_ + "/" + kUsageName;
  if (!noteRead_) {
    noteRead_ = true;
    bytesAtMost_ = readNumber(note);
  }
  bytesAtMost_ += written;
  unnoted_ += written;
  if (bytesAtMost_ > capBytes_) {
    sweep();
    writeNumber(note, bytesAtMost_);
    unnoted_ = 0;
  } else if (unnoted_ > capBytes_ / 64) {
    bytesAtMost_ = std::max(bytesAtMost_, readNumber(note) + unnoted_);
    writeNumber(note, bytesAtMost_);
    unnoted_ = 0;
  }
}

// Walks every entry, oldest use first out, down to nine tenths of the cap,
// and clears away what dead helpers left half-written.
void RenderCache::sweep() {
  struct Entry {
    std::filesystem::file_time_type used;
    uint64_t bytes;
    std::filesystem::path path;
  };
  std::vector<Entry> entries;
  uint64_t total = 0;
  const auto abandoned = std::filesystem::file_time_type::clock::now() - kAbandonedAfter;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder_, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    // Entries lie three levels down; the usage note is at the top, where
    // only a dead helper's temporary note is of interest.
    std::error_code statError;
    const bool temporary = it->path().filename().string().starts_with(".");
    if ((it.depth() != 2 && !(it.depth() == 0 && temporary)) || !it->is_regular_file(statError)) continue;
    const uint64_t bytes = it->file_size(statError);
    const auto used = it->last_write_time(statError);
    if (statError) continue;
    if (temporary && used < abandoned) {
      std::filesystem::remove(it->path(), statError);
      continue;
    }
    total += bytes;
    if (!temporary) entries.push_back({used, bytes, it->path()});
  }
  if (total > capBytes_) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.used < b.used; });
    const uint64_t target = capBytes_ / 10 * 9;
    for (const Entry& entry : entries) {
      if (total <= target) break;
      std::error_code removeError;
      if (!std::filesystem::remove(entry.path, removeError)) continue;
      total -= entry.bytes;
      // An asset folder left empty goes too; one another helper just wrote
      // into stays.
      rmdir(entry.path.parent_path().c_str());
    }
  }
  bytesAtMost_ = total;
}

}  // namespace vek::linux_library

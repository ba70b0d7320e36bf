#include "platform/linux/export/output.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string_view>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "platform/linux/posix/io.hpp"

namespace vek::linux_library {
namespace {

// Few, large writes: the muxer passes every packet through this buffer.
constexpr int kWriteBufferSize = 1024 * 1024;
constexpr int kHiddenNameAttempts = 100;

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int64_t sizeOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return AVERROR(errno);
  return st.st_size;
}

}  // namespace

MovieFile::Created MovieFile::create(const std::string& path, Staging staging) {
  std::unique_ptr<MovieFile> movie(new MovieFile());
  size_t slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  movie->name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  if (movie->name_.empty() || movie->name_ == "." || movie->name_ == "..") return {nullptr, AVERROR(EINVAL)};

  // Every later step works relative to this descriptor, so the directory
  // cannot be swapped for another between them.
  movie->directory_ = UniqueFd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!movie->directory_) return {nullptr, AVERROR(errno)};

  // Publishing refuses an existing name anyway; asking first spares a whole
  // remux that could only fail.
  struct stat existing {};
  if (::fstatat(movie->directory_.get(), movie->name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    return {nullptr, AVERROR(EEXIST)};
  }
  if (errno != ENOENT) return {nullptr, AVERROR(errno)};

  int error = staging == Staging::kUnnamed ? movie->openUnnamed() : -1;
  // Whatever keeps the unnamed kind from working (kernel, file system, no
  // /proc) leaves the hidden name, whose own failure is the one reported.
  if (error != 0) error = movie->openHidden();
  if (error == 0) error = movie->allocateIo();
  if (error != 0) return {nullptr, error};
  return {std::move(movie), 0};
}

MovieFile::~MovieFile() {
  if (io_ != nullptr) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  // An unnamed file vanishes when its descriptor closes.
  if (!stagingName_.empty()) ::unlinkat(directory_.get(), stagingName_.c_str(), 0);
}

int MovieFile::openUnnamed() {
  UniqueFd file(::openat(directory_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (!file) return AVERROR(errno);
  // Without privileges an unnamed file gets its name only through /proc;
  // where /proc is missing it could be written but never published.
  struct stat viaProc {};
  struct stat direct {};
  if (::stat(procPath(file.get()).c_str(), &viaProc) != 0 || ::fstat(file.get(), &direct) != 0 ||
      viaProc.st_dev != direct.st_dev || viaProc.st_ino != direct.st_ino) {
    return AVERROR(ENOENT);
  }
  file_ = std::move(file);
  return 0;
}

int MovieFile::openHidden() {
  std::random_device random;
  for (int attempt = 0; attempt < kHiddenNameAttempts; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x", random(), random());
    std::string candidate = "." + name_ + suffix;
    // O_EXCL: the temporary directory is shared, and a name someone else
    // prepared (a link to their file, say) must never be written through.
    int fd = ::openat(directory_.get(), candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) {
      file_ = UniqueFd(fd);
      stagingName_ = std::move(candidate);
      return 0;
    }
    if (errno != EEXIST) return AVERROR(errno);
  }
  return AVERROR(EEXIST);
}

int MovieFile::allocateIo() {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kWriteBufferSize));
  if (buffer == nullptr) return AVERROR(ENOMEM);

  auto write = [](void* opaque, uint8_t* data, int size) -> int {
    auto* movie = static_cast<MovieFile*>(opaque);
    errno = 0;
    if (!writeAll(movie->file_.get(), std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(size)))) {
      if (movie->writeError_ == 0) movie->writeError_ = errno != 0 ? AVERROR(errno) : AVERROR(EIO);
      return movie->writeError_;
    }
    return size;
  };
  auto seek = [](void* opaque, int64_t offset, int whence) -> int64_t {
    int fd = static_cast<MovieFile*>(opaque)->file_.get();
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return sizeOf(fd);
    off_t position = ::lseek(fd, offset, whence);
    return position < 0 ? AVERROR(errno) : position;
  };

  io_ = avio_alloc_context(buffer, kWriteBufferSize, 1, this, nullptr, write, seek);
  if (io_ == nullptr) {
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  return 0;
}

int MovieFile::publish() {
  avio_flush(io_);
  if (writeError_ != 0) return writeError_;
  if (io_->error < 0) return io_->error;

  if (stagingName_.empty()) {
    // linkat never replaces an existing name.
    if (::linkat(AT_FDCWD, procPath(file_.get()).c_str(), directory_.get(), name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return AVERROR(errno);
    }
    return 0;
  }
  if (::renameat2(directory_.get(), stagingName_.c_str(), directory_.get(), name_.c_str(), RENAME_NOREPLACE) != 0) {
    // Some file systems lack RENAME_NOREPLACE; a hard link refuses an
    // existing name just the same.
    if (errno != EINVAL && errno != ENOSYS) return AVERROR(errno);
    if (::linkat(directory_.get(), stagingName_.c_str(), directory_.get(), name_.c_str(), 0) != 0) {
      return AVERROR(errno);
    }
    ::unlinkat(directory_.get(), stagingName_.c_str(), 0);
  }
  stagingName_.clear();
  return 0;
}

}  // namespace vek::linux_library

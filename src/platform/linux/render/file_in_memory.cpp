#include "platform/linux/render/file_in_memory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/linux/posix/io.hpp"

namespace vek::linux_library {
namespace {

// The first piece is small, for whoever only wants the start of the file.
// Later pieces are large enough to cost few reads and short enough that a
// thread waiting for one is not held up long.
constexpr size_t kFirstPieceBytes = 64 << 10;
constexpr size_t kPieceBytes = 512 << 10;

}  // namespace

std::unique_ptr<FileInMemory> FileInMemory::open(int fd, size_t maxBytes) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
      static_cast<unsigned long long>(info.st_size) > maxBytes) {
    return nullptr;
  }
  // Its own descriptor: the file may outlive the caller's.
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  return std::unique_ptr<FileInMemory>(new FileInMemory(own, static_cast<size_t>(info.st_size)));
}

FileInMemory::FileInMemory(int fd, size_t size) : fd_(fd), size_(size), bytes_(new unsigned char[size]) {}

FileInMemory::~FileInMemory() { close(fd_); }

size_t FileInMemory::readPast(size_t have) {
  std::lock_guard lock(mutex_);
  while (!ended_ && !stopped_ && read_ <= have) {
    const size_t piece = std::min(read_ == 0 ? kFirstPieceBytes : kPieceBytes, size_ - read_);
    const size_t n = readAt(fd_, bytes_.get() + read_, piece, static_cast<off_t>(read_));
    read_ += n;
    // A piece read short met the end of a file cut short, or an error.
    ended_ = n < piece || read_ == size_;
  }
  return read_;
}

void FileInMemory::readAll() {
  size_t read = 0;
  for (;;) {
    const size_t now = readPast(read);
    if (now == read) return;
    read = now;
  }
}

}  // namespace vek::linux_library

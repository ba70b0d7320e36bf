#include "platform/linux/posix/io.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <system_error>

#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {
namespace {

template <typename Write>
bool writeAllWith(std::string_view bytes, Write&& write) {
  while (!bytes.empty()) {
    const ssize_t written = write(bytes);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

std::string errnoText(int error) { return std::generic_category().message(error); }

bool writeAll(int fd, std::string_view bytes) {
  return writeAllWith(bytes, [fd](std::string_view rest) { return ::write(fd, rest.data(), rest.size()); });
}

bool sendAll(int socket, std::string_view bytes) {
  return writeAllWith(bytes,
                      [socket](std::string_view rest) { return ::send(socket, rest.data(), rest.size(), MSG_NOSIGNAL); });
}

ssize_t readSome(int fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t count = ::read(fd, buffer, size);
    if (count >= 0 || errno != EINTR) return count;
  }
}

bool readExactly(int fd, void* buffer, size_t size) {
  auto* into = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t count = readSome(fd, into, size);
    if (count <= 0) return false;
    into += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

size_t readAt(int fd, void* buffer, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t count = ::pread(fd, static_cast<char*>(buffer) + done, size - done, offset + static_cast<off_t>(done));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<size_t>(count);
  }
  return done;
}

std::optional<std::string> readSmallFile(int dirFd, const std::string& name, size_t maxBytes, bool followLinks) {
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (followLinks ? 0 : O_NOFOLLOW);
  const UniqueFd fd(::openat(dirFd, name.c_str(), flags));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  std::string content;
  char buffer[8192];
  while (content.size() < maxBytes) {
    const ssize_t count = readSome(fd.get(), buffer, sizeof buffer);
    if (count <= 0) break;
    content.append(buffer, static_cast<size_t>(count));
  }
  if (content.size() > maxBytes) content.resize(maxBytes);
  return content;
}

std::vector<std::string> namesInFolder(int dirFd) {
  std::vector<std::string> names;
  // A descriptor of its own, since readdir moves the offset of the one it
  // reads and closedir closes it. O_RDONLY, as an O_PATH descriptor cannot
  // be read.
  const int own = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = own >= 0 ? fdopendir(own) : nullptr;
  if (listing == nullptr) {
    if (own >= 0) close(own);
    return names;
  }
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
  }
  closedir(listing);
  return names;
}

}  // namespace vek::linux_library

#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek::linux_library {

// The system's words for an errno value ("No such file or directory").
std::string errnoText(int error = errno);

// Writes all of `bytes`, going on after interruptions and short writes.
// False, with errno set, when a write fails or writes nothing.
bool writeAll(int fd, std::string_view bytes);

// The same on a stream socket, without raising SIGPIPE when the peer has
// gone.
bool sendAll(int socket, std::string_view bytes);

// read(2) that goes on after an interruption: the count read, 0 at the end,
// -1 with errno set on an error.
ssize_t readSome(int fd, void* buffer, size_t size);

// Reads exactly `size` bytes; false at the end of the stream or on an error.
bool readExactly(int fd, void* buffer, size_t size);

// Reads up to `size` bytes at `offset` with pread(2), leaving the
// descriptor's own offset alone; fewer only at the end of the file or on an
// error.
size_t readAt(int fd, void* buffer, size_t size, off_t offset);

// The content of the file `name` below the folder `dirFd` (or AT_FDCWD), at
// most its first `maxBytes`; nullopt when it cannot be opened or is not a
// regular file. Opened without blocking, so a FIFO or device put under that
// name cannot stall the caller; a symbolic link is followed only with
// `followLinks`.
std::optional<std::string> readSmallFile(int dirFd, const std::string& name, size_t maxBytes, bool followLinks);

// The names in the folder open at `dirFd`, but "." and "..", in the order
// the file system gives them; none when it cannot be read. The descriptor
// stays the caller's, and its offset is left alone.
std::vector<std::string> namesInFolder(int dirFd);

}  // namespace vek::linux_library

#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace vek::fuzzing {

// A private folder under TMPDIR for the fuzzer's input file, removed at exit.
inline const std::string& workDirectory() {
  static const std::string directory = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vek-media-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) __builtin_trap();
    // Its real path: the library opens files without following links.
    char* real = realpath(pattern.c_str(), nullptr);
    if (real == nullptr) __builtin_trap();
    std::string folder = real;
    free(real);
    return folder;
  }();
  static const int removal = std::atexit([] { rmdir(workDirectory().c_str()); });
  (void)removal;
  return directory;
}

inline void writeFile(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) __builtin_trap();
  size_t written = 0;
  while (written < size) {
    const ssize_t n = write(fd, data + written, size - written);
    if (n <= 0) __builtin_trap();
    written += size_t(n);
  }
  close(fd);
}

}  // namespace vek::fuzzing

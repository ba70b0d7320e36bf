#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

namespace vek::linux_library {

// A regular file read into memory a piece at a time, so that one thread can
// consume the start while another reads the rest. Read bytes never move.
// Thread: any; reads are one at a time.
class FileInMemory {
 public:
  // The regular file open at `fd` (read through a duplicate of the
  // descriptor) when it is not empty and at most `maxBytes` long; nullptr
  // otherwise. Nothing is read yet.
  static std::unique_ptr<FileInMemory> open(int fd, size_t maxBytes);

  ~FileInMemory();
  FileInMemory(const FileInMemory&) = delete;
  FileInMemory& operator=(const FileInMemory&) = delete;

  // How many bytes from the start are read, first reading on, a piece at a
  // time, until that is more than `have` or the file has no more. A file
  // cut short, or one that cannot be read on, keeps what was read.
  size_t readPast(size_t have);

  // Reads the whole file, a piece at a time, so that another thread's
  // readPast waits for one piece at most. Returns early once reading stops.
  void readAll();

  // Nothing more is read after the piece being read now, if any.
  void stopReading() { stopped_ = true; }

  const unsigned char* bytes() const { return bytes_.get(); }

 private:
  FileInMemory(int fd, size_t size);

  std::mutex mutex_;
  int fd_;
  size_t size_;
  std::unique_ptr<unsigned char[]> bytes_;  // left uninitialised: only bytes read are looked at
  size_t read_ = 0;
  bool ended_ = false;
  std::atomic<bool> stopped_ = false;
};

}  // namespace vek::linux_library

#pragma once

#include <libraw/libraw_datastream.h>

#include <cstdint>
#include <vector>

namespace vek::linux_library {

// LibRaw's input over an open file descriptor (not owned), read with
// pread() through a buffer. LibRaw's own file input opens a path, which
// would follow a symbolic link put in the file's place and block on a FIFO;
// and a mapped file truncated meanwhile would kill the process. A read past
// the end reads less, as stdio does. Not for concurrent use.
class RawReadStream final : public LibRaw_abstract_datastream {
 public:
  // `size`: the file's size when it was opened; reads stop there.
  RawReadStream(int fd, int64_t size);

  int valid() override { return 1; }
  int read(void* out, size_t size, size_t count) override;
  int seek(INT64 offset, int whence) override;
  INT64 tell() override { return position_; }
  INT64 size() override { return size_; }
  int get_char() override;
  char* gets(char* out, int capacity) override;
  int scanf_one(const char* format, void* value) override;
  int eof() override { return position_ >= size_; }
  // JPEG 2000 raw data (RED cameras) is not read.
  void* make_jas_stream() override { return nullptr; }

 private:
  // Makes the buffer hold the byte at position_; false at the end of the file.
  bool fill();

  int fd_;
  int64_t size_;
  int64_t position_ = 0;
  std::vector<unsigned char> buffer_;
  int64_t bufferStart_ = 0;  // file offset of buffer_[0]
  size_t bufferLength_ = 0;
};

}  // namespace vek::linux_library

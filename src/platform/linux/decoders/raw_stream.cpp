#include "platform/linux/decoders/raw_stream.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/linux/posix/io.hpp"

namespace vek::linux_library {
namespace {

// LibRaw reads compressed raw data a byte at a time; whole tiles and strips
// of uncompressed data go straight to their destination instead.
constexpr size_t kBufferBytes = 64 << 10;

}  // namespace

RawReadStream::RawReadStream(int fd, int64_t size) : fd_(fd), size_(std::max<int64_t>(size, 0)) {}

bool RawReadStream::fill() {
  if (position_ >= size_) return false;
  if (position_ >= bufferStart_ && position_ < bufferStart_ + static_cast<int64_t>(bufferLength_)) return true;
  buffer_.resize(kBufferBytes);
  const size_t wanted = static_cast<size_t>(std::min<int64_t>(kBufferBytes, size_ - position_));
  bufferStart_ = position_;
  bufferLength_ = readAt(fd_, buffer_.data(), wanted, position_);
  // A file cut short since it was opened ends where its data ends.
  if (bufferLength_ < wanted) size_ = position_ + static_cast<int64_t>(bufferLength_);
  return bufferLength_ > 0;
}

int RawReadStream::read(void* out, size_t size, size_t count) {
  if (size == 0 || count == 0) return 0;
  if (count > static_cast<size_t>(size_) / size) count = static_cast<size_t>(size_) / size + 1;
  const size_t wanted = size * count;
  size_t done = 0;
  auto* bytes = static_cast<unsigned char*>(out);
  while (done < wanted && fill()) {
    const auto inBuffer = static_cast<size_t>(position_ - bufferStart_);
    const size_t take = std::min(wanted - done, bufferLength_ - inBuffer);
    std::memcpy(bytes + done, buffer_.data() + inBuffer, take);
    done += take;
    position_ += static_cast<int64_t>(take);
    if (wanted - done >= kBufferBytes) {
      const size_t direct = readAt(fd_, bytes + done, wanted - done, position_);
      done += direct;
      position_ += static_cast<int64_t>(direct);
      break;
    }
  }
  return static_cast<int>(done / size);
}

int RawReadStream::seek(INT64 offset, int whence) {
  int64_t base = 0;
  if (whence == SEEK_CUR) base = position_;
  if (whence == SEEK_END) base = size_;
  // Like LibRaw's own buffer input: a position outside the file is held at
  // its nearest end, where reads find nothing.
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target)) target = offset < 0 ? 0 : size_;
  position_ = std::clamp<int64_t>(target, 0, size_);
  return 0;
}

int RawReadStream::get_char() {
  if (!fill()) return -1;
  return buffer_[static_cast<size_t>(position_++ - bufferStart_)];
}

char* RawReadStream::gets(char* out, int capacity) {
  if (capacity <= 0) return nullptr;
  int length = 0;
  while (length < capacity - 1) {
    const int c = get_char();
    if (c < 0) break;
    out[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  out[length] = '\0';
  return length > 0 ? out : nullptr;
}

// LibRaw asks for one number in text ("%d", "%f") at a time, and expects the
// input to move past it.
int RawReadStream::scanf_one(const char* format, void* value) {
  char text[32] = {};
  const int64_t start = position_;
  read(text, 1, sizeof text - 1);
  position_ = start;
  const int result = std::sscanf(text, format, value);
  if (result > 0) {
    size_t used = 0;
    while (used < sizeof text - 1 && text[used] == ' ') ++used;
    while (used < sizeof text - 1 && text[used] != '\0' && text[used] != ' ' && text[used] != '\t' &&
           text[used] != '\n')
      ++used;
    position_ = std::min<int64_t>(start + static_cast<int64_t>(used), size_);
  }
  return result;
}

}  // namespace vek::linux_library

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vek {

// Collects input bytes and cuts them into lines at 0x0A, and only there (a
// 0x0D stays part of its line). No I/O.
class LineBuffer {
 public:
  void append(std::string_view bytes);
  // The next complete line without its 0x0A (possibly empty), or nullopt
  // when the bytes held end in a partial line. The view stays valid until
  // the next call of either function.
  std::optional<std::string_view> nextLine();
  // Bytes held that no 0x0A has ended yet.
  size_t pendingSize() const { return buffer_.size() - start_; }
  // The room held for bytes. Room of more than 4 MiB, grown for a long line,
  // is given back by the first append after that line was taken, unless the
  // bytes then held need much of it.
  size_t capacity() const { return buffer_.capacity(); }

 private:
  std::string buffer_;
  size_t start_ = 0;    // where the first line not yet handed out begins
  size_t scanned_ = 0;  // bytes before this hold no 0x0A past start_
};

}  // namespace vek

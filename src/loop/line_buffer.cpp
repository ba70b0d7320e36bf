#include "loop/line_buffer.hpp"

#include <cstring>

namespace vek {
namespace {

// Room kept after a long line has gone; more is given back, so that one huge
// request does not pin its memory for the rest of the run.
constexpr size_t kCapacityKept = size_t(4) << 20;

}  // namespace

void LineBuffer::append(std::string_view bytes) {
  if (start_ > 0) {
    buffer_.erase(0, start_);
    scanned_ -= start_;
    start_ = 0;
    if (buffer_.capacity() > kCapacityKept && buffer_.size() + bytes.size() < kCapacityKept / 2) {
      buffer_.shrink_to_fit();
    }
  }
  buffer_.append(bytes);
}

std::optional<std::string_view> LineBuffer::nextLine() {
  // Searching on from where the last search stopped keeps a line that
  // arrives in many chunks linear to collect.
  const size_t from = scanned_ > start_ ? scanned_ : start_;
  const void* found = std::memchr(buffer_.data() + from, '\n', buffer_.size() - from);
  if (found == nullptr) {
    scanned_ = buffer_.size();
    return std::nullopt;
  }
  const size_t end = static_cast<size_t>(static_cast<const char*>(found) - buffer_.data());
  std::string_view line(buffer_.data() + start_, end - start_);
  start_ = end + 1;
  scanned_ = start_;
  return line;
}

}  // namespace vek

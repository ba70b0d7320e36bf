#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace vek::linux_library {

// Fixed-width numbers in this machine's byte order, and raw bytes, one after
// another: the layout of the render cache's entries and of the frames between
// the helper and its render-ahead workers. Only this machine reads them back
// (a cache entry written in the other byte order fails its magic number).
class ByteWriter {
 public:
  template <typename Number>
    requires std::is_arithmetic_v<Number>
  ByteWriter& put(Number value) {
    bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    return *this;
  }
  ByteWriter& put(std::string_view raw) {
    bytes.append(raw);
    return *this;
  }
  // Text of any length, its length first.
  ByteWriter& putText(std::string_view text) { return put(static_cast<uint64_t>(text.size())).put(text); }
  std::string bytes;
};

// Reads what ByteWriter wrote; each read fails, taking nothing, when too few
// bytes are left.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : rest_(bytes) {}
  template <typename Number>
    requires std::is_arithmetic_v<Number>
  bool get(Number& value) {
    if (rest_.size() < sizeof value) return false;
    std::memcpy(&value, rest_.data(), sizeof value);
    rest_.remove_prefix(sizeof value);
    return true;
  }
  bool take(size_t length, std::string_view& part) {
    if (rest_.size() < length) return false;
    part = rest_.substr(0, length);
    rest_.remove_prefix(length);
    return true;
  }
  // Reads what putText wrote.
  bool getText(std::string& text) {
    uint64_t length = 0;
    std::string_view part;
    if (!get(length) || !take(length, part)) return false;
    text.assign(part);
    return true;
  }
  size_t left() const { return rest_.size(); }

 private:
  std::string_view rest_;
};

}  // namespace vek::linux_library

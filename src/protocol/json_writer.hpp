#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vek {

// Thrown when a value has no JSON form (a NaN or an infinite double).
class JsonEncodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Takes the first part of a long text while the rest is being written.
using JsonSpill = std::function<void(std::string_view part)>;

// Writes one compact JSON text as it goes, without building a tree.
// Strings: quotation mark, reverse solidus, solidus and control characters
// are escaped, everything else is written as it is; bytes that are not valid
// UTF-8 are replaced by U+FFFD, so every text written is valid UTF-8.
// Integers are plain digits; doubles the shortest text that reads back as
// the same double.
class JsonWriter {
 public:
  JsonWriter() = default;
  // Hands what is written so far to `spill` whenever an object ends with a
  // megabyte or more held, so a long text never stands whole in memory;
  // take() gives the rest.
  explicit JsonWriter(JsonSpill spill) : spill_(std::move(spill)) {}

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  // Starts an object member; the next value written is its value.
  void key(std::string_view name);

  void value(std::string_view text);
  void value(const char* text) { value(std::string_view(text)); }
  void value(int64_t number);
  void value(uint64_t number);
  // Throws JsonEncodingError for NaN and infinities.
  void value(double number);
  void value(bool flag);

  template <typename T>
  void field(std::string_view name, const T& v) {
    key(name);
    value(v);
  }

  // Reserves room for a text of about `bytes` bytes.
  void reserve(size_t bytes) { out_.reserve(bytes); }
  std::string take() { return std::move(out_); }

 private:
  void separate();
  void writeEscaped(std::string_view validUtf8);

  JsonSpill spill_;
  std::string out_;
  bool needComma_ = false;
};

}  // namespace vek

#include "protocol/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include <glib.h>
#include <simdjson.h>

namespace vek {
namespace {

// 0: written as it is; 'u': written as \u00XX; any other: written as \ and it.
constexpr std::array<char, 256> kEscapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  table['/'] = '/';
  return table;
}();

}  // namespace

void JsonWriter::separate() {
  if (needComma_) out_.push_back(',');
  needComma_ = true;
}

void JsonWriter::beginObject() {
  separate();
  out_.push_back('{');
  needComma_ = false;
}

void JsonWriter::endObject() {
  out_.push_back('}');
  needComma_ = true;
  constexpr size_t kSpillBytes = 1 << 20;
  if (spill_ && out_.size() >= kSpillBytes) {
    spill_(out_);
    out_.clear();
  }
}

void JsonWriter::beginArray() {
  separate();
  out_.push_back('[');
  needComma_ = false;
}

void JsonWriter::endArray() {
  out_.push_back(']');
  needComma_ = true;
}

void JsonWriter::key(std::string_view name) {
  value(name);
  out_.push_back(':');
  needComma_ = false;
}

void JsonWriter::value(std::string_view text) {
  separate();
  out_.push_back('"');
  if (simdjson::validate_utf8(text.data(), text.size())) {
    writeEscaped(text);
  } else {
    gchar* valid = g_utf8_make_valid(text.data(), gssize(text.size()));
    writeEscaped(valid);
    g_free(valid);
  }
  out_.push_back('"');
}

void JsonWriter::writeEscaped(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t runStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char escape = kEscapes[static_cast<unsigned char>(text[i])];
    if (escape == 0) continue;
    out_.append(text.data() + runStart, i - runStart);
    out_.push_back('\\');
    if (escape == 'u') {
      const auto byte = static_cast<unsigned char>(text[i]);
      out_.append("u00");
      out_.push_back(kHex[byte >> 4]);
      out_.push_back(kHex[byte & 0xF]);
    } else {
      out_.push_back(escape);
    }
    runStart = i + 1;
  }
  out_.append(text.data() + runStart, text.size() - runStart);
}

void JsonWriter::value(int64_t number) {
  separate();
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out_.append(digits, end);
}

void JsonWriter::value(uint64_t number) {
  separate();
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out_.append(digits, end);
}

void JsonWriter::value(double number) {
  if (!std::isfinite(number)) throw JsonEncodingError("The reply holds a number that is not finite.");
  separate();
  // Without a precision, to_chars gives the shortest text that reads back
  // as the same double.
  char digits[32];
  auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out_.append(digits, end);
}

void JsonWriter::value(bool flag) {
  separate();
  out_.append(flag ? "true" : "false");
}

}  // namespace vek

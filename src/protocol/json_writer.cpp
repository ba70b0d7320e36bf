#include "protocol/json_writer.hpp"

#include <array>
#include <charconv>
#include <cmath>

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

// The length of the well-formed UTF-8 sequence at the start of `text`: no
// overlong forms, no surrogates, nothing above U+10FFFF; 0 when there is
// none.
size_t sequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// Each byte that does not begin a well-formed sequence becomes U+FFFD, so
// a name in a legacy encoding still comes out readable where it can.
std::string withReplacementCharacters(std::string_view text) {
  std::string valid;
  valid.reserve(text.size() + 16);
  while (!text.empty()) {
    const size_t length = sequenceLength(text);
    if (length == 0) {
      valid.append("\xEF\xBF\xBD");
      text.remove_prefix(1);
    } else {
      valid.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return valid;
}

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
    writeEscaped(withReplacementCharacters(text));
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

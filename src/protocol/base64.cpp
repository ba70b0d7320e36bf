#include "protocol/base64.hpp"

namespace vek {

// Written here rather than taken from GLib so that the core builds and is
// tested without any platform library; it writes straight into the
// result, one pass, no copy of a multi-megabyte text.
std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text((bytes.size() + 2) / 3 * 4, '=');
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* out = text.data();
  size_t left = bytes.size();
  for (; left >= 3; left -= 3, in += 3, out += 4) {
    const unsigned group = unsigned(in[0]) << 16 | unsigned(in[1]) << 8 | in[2];
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    out[2] = kAlphabet[(group >> 6) & 63];
    out[3] = kAlphabet[group & 63];
  }
  if (left > 0) {
    const unsigned group = unsigned(in[0]) << 16 | (left == 2 ? unsigned(in[1]) << 8 : 0u);
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    if (left == 2) out[2] = kAlphabet[(group >> 6) & 63];
  }
  return text;
}

}  // namespace vek

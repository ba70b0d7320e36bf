#include "photos/uuid.hpp"

#include <array>
#include <cstdint>
#include <random>

namespace vek {

std::string newUuidString() {
  // random_device draws from the kernel's generator on Linux, so names are
  // unpredictable as well as unique.
  std::random_device device;
  std::array<uint8_t, 16> bytes;
  for (size_t i = 0; i < bytes.size(); i += 4) {
    const uint32_t word = device();
    for (size_t j = 0; j < 4; ++j) bytes[i + j] = uint8_t(word >> (8 * j));
  }
  bytes[6] = uint8_t((bytes[6] & 0x0F) | 0x40);
  bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[bytes[i] >> 4]);
    text.push_back(kHex[bytes[i] & 0xF]);
  }
  return text;
}

}  // namespace vek

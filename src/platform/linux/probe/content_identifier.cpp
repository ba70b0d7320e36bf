#include "platform/linux/probe/content_identifier.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/linux/media_files/media_facts.hpp"

namespace vek::linux_library {
namespace {

constexpr unsigned char kAppleSignature[] = {'A', 'p', 'p', 'l', 'e', ' ', 'i', 'O', 'S', '\0'};
constexpr size_t kByteOrderAt = sizeof kAppleSignature + 2;  // after the version
constexpr size_t kDirectoryAt = kByteOrderAt + 2;
constexpr size_t kEntrySize = 12;
constexpr uint16_t kContentIdentifierTag = 0x0011;
constexpr uint16_t kAsciiType = 2;

}  // namespace

bool isPlausibleContentIdentifier(std::string_view text) {
  return !text.empty() && text.size() <= kMaxContentIdentifierLength &&
         std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

std::string_view appleContentIdentifier(const unsigned char* makerNote, size_t size) {
  if (makerNote == nullptr || size < kDirectoryAt + 2 ||
      std::memcmp(makerNote, kAppleSignature, sizeof kAppleSignature) != 0) {
    return {};
  }
  const unsigned char* order = makerNote + kByteOrderAt;
  if (order[0] != order[1] || (order[0] != 'M' && order[0] != 'I')) return {};
  const bool bigEndian = order[0] == 'M';
  // Only ever called on bytes already checked to lie inside the note.
  auto number = [&](size_t at, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value = (value << 8) | makerNote[at + (bigEndian ? i : width - 1 - i)];
    return value;
  };
  const size_t entries = number(kDirectoryAt, 2);
  for (size_t i = 0; i < entries; ++i) {
    const size_t entry = kDirectoryAt + 2 + i * kEntrySize;
    if (entry + kEntrySize > size) return {};
    if (number(entry, 2) != kContentIdentifierTag) continue;
    const uint32_t length = number(entry + 4, 4);
    // The count includes the terminating NUL; more than a kept identifier
    // and its NUL is not one.
    if (number(entry + 2, 2) != kAsciiType || length == 0 || length > kMaxContentIdentifierLength + 1) return {};
    const size_t at = length <= 4 ? entry + 8 : number(entry + 8, 4);
    if (at > size || length > size - at) return {};
    std::string_view value(reinterpret_cast<const char*>(makerNote + at), length);
    value = value.substr(0, value.find('\0'));
    return isPlausibleContentIdentifier(value) ? value : std::string_view();
  }
  return {};
}

}  // namespace vek::linux_library

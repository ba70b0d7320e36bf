#pragma once

#include <cstddef>
#include <string_view>

namespace vek::linux_library {

// True when `text` may be kept as a content identifier: 1 to
// kMaxContentIdentifierLength printable ASCII characters, no space. Anything
// else in a file's identifier field is damage, or not Apple's. Thread: any.
bool isPlausibleContentIdentifier(std::string_view text);

// The content identifier in the `size` bytes of an EXIF MakerNote value, when
// they are Apple's and hold one; else empty. Apple's note is "Apple iOS\0", a
// two-byte version, a byte order mark ("MM" or "II") and one TIFF directory
// whose value offsets count from the note's first byte; the identifier is
// its tag 0x0011, ASCII. Reads nothing outside the bytes given; the view
// points into them. Thread: any.
std::string_view appleContentIdentifier(const unsigned char* makerNote, size_t size);

}  // namespace vek::linux_library

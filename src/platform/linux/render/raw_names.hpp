#pragma once

#include <algorithm>
#include <array>
#include <string_view>

namespace vek::linux_library {

// The extensions (lower case) of the camera RAW files the library reads
// with LibRaw rather than libvips: DNG and the makers' own formats.
inline constexpr std::array<std::string_view, 19> kCameraRawExtensions = {
    "dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "sr2", "srf", "orf",
    "rw2", "raf", "pef", "srw", "3fr", "iiq", "erf", "mrw", "x3f"};

// True when the file name (or path) ends in a camera RAW extension, in any
// case. Thread: any.
inline bool isCameraRawName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos) return false;
  const std::string_view extension = name.substr(dot + 1);
  return std::any_of(kCameraRawExtensions.begin(), kCameraRawExtensions.end(), [&](std::string_view candidate) {
    return extension.size() == candidate.size() &&
           std::equal(extension.begin(), extension.end(), candidate.begin(), [](char a, char b) {
             return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
  });
}

}  // namespace vek::linux_library

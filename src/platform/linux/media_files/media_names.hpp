#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace vek::linux_library {

enum class MediaKind { kImage, kVideo };

// The extensions (lower case) of the camera RAW files the library reads
// with LibRaw rather than libvips: DNG and the makers' own formats.
inline constexpr std::array<std::string_view, 19> kCameraRawExtensions = {
    "dng", "cr2", "cr3", "crw", "nef", "nrw", "arw", "sr2", "srf", "orf",
    "rw2", "raf", "pef", "srw", "3fr", "iiq", "erf", "mrw", "x3f"};

// The kind a file name (or path) promises by its extension, in any case, or
// nothing when the name is not a media file's. Thread: any.
std::optional<MediaKind> mediaKindForName(std::string_view name);

// True when the file name (or path) ends in a camera RAW extension, in any
// case. Thread: any.
bool isCameraRawName(std::string_view name);

}  // namespace vek::linux_library

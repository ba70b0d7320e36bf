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

// True when a file of this name may carry a Live Photo's content
// identifier: a still whose format holds EXIF (not GIF, not RAW, whose
// maker notes the probe does not read) or a movie of the QuickTime family
// (MOV, MP4, M4V, 3GP), in any case. Thread: any.
bool mayCarryContentIdentifier(std::string_view name);

}  // namespace vek::linux_library

#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "photos/photo_library_port.hpp"
#include "platform/linux/media_files/file_stamp.hpp"

namespace vek::linux_library {

// Renders the image file open at `file` (any format libvips may open for an
// untrusted file; the first frame of an animation), read through its
// descriptor alone (its path only tells a camera RAW file by its name),
// fitted into a box x box square without enlarging it, upright by its
// orientation tag, in sRGB with alpha flattened onto white. A box of 0 or less gives the full-size image.
// The file is decoded before this returns; the image holds its pixels in
// memory and no longer reads the file. Returns nullptr when the file cannot
// be decoded (truncated or damaged data included) or declares more than
// kMaxDecodedPixels. Starts the media libraries if needed. Thread: any.
std::shared_ptr<vek::PlatformImage> renderImageFile(const OpenedFile& file, int64_t box);

// Renders the first frame of the video file open at `file`, rotated as
// displayed, fitted the same way. nullptr when no frame can be decoded.
// Thread: any.
std::shared_ptr<vek::PlatformImage> renderVideoPoster(const OpenedFile& file, int64_t box);

// Every later render runs on its calling thread alone: libvips with one
// thread, JPEGs decoded inline rather than on the decode thread. Thread:
// any, before the renders it is to govern.
void renderOnCallingThread();

}  // namespace vek::linux_library

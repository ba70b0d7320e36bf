#pragma once

#include <optional>

#include "platform/linux/vips_image_ptr.hpp"

namespace vek::linux_library {

// Decodes the JPEG file at `path` with libjpeg-turbo at 1/shrink of its size
// (shrink 2, 4 or 8) into memory, the whole file read at once. libvips feeds
// libjpeg 4 KiB at a time, which keeps libjpeg-turbo off its fast Huffman
// decoder for most of a photo; a whole-file source keeps it on, a sixth less
// time for a 12-megapixel photo. `header` is libvips' reading of the same
// file's header: its orientation and ICC profile go with the pixels.
//
// nullopt when this decoder does not take the file (not YCbCr, RGB or
// greyscale, larger than it reads at once, or not a regular file); the
// caller then decodes it with libvips. A null image when the file is
// truncated or cannot be decoded. Thread: any.
std::optional<VipsImagePtr> decodeJpegShrunk(const char* path, int shrink, VipsImage* header);

}  // namespace vek::linux_library

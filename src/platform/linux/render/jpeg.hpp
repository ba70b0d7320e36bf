#pragma once

#include <optional>

#include "platform/linux/decoders/vips_image_ptr.hpp"

namespace vek::linux_library {

// True when the file open at `fd` starts like a JPEG: the marker libvips'
// own JPEG loader looks for. Thread: any.
bool startsLikeJpeg(int fd);

// An image whose rows libjpeg-turbo decodes from the file open at `fd` at
// 1/shrink of its size (shrink 2, 4 or 8) on the decode thread, starting at
// once; a row asked for waits until it is decoded, and decoded rows are
// kept. The calling thread reads the rest of the file into memory while the
// decode runs, and libjpeg gets as much of it at a time as is read: libvips
// feeds libjpeg 4 KiB at a time, which keeps libjpeg-turbo off its fast
// Huffman decoder for most of a photo, a sixth more time for a 12-megapixel
// photo. `header` is libvips' reading of the file's header: its orientation
// and ICC profile go with the pixels, and a file whose decoded size does not
// match it (replaced in between) fails.
//
// nullopt when this decoder does not take the file (not a regular file of
// at most 256 MB, or not YCbCr, RGB or greyscale); the caller then decodes
// it with libvips. A null image when the header cannot be decoded. A file
// found truncated or damaged further on fails every computation of the
// image's rows from then on. Thread: any; the rows may be computed on any
// threads.
std::optional<VipsImagePtr> decodeJpegShrunk(int fd, int shrink, VipsImage* header);

}  // namespace vek::linux_library

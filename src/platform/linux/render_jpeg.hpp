#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "platform/linux/vips_image_ptr.hpp"

namespace vek::linux_library {

// True when the file at `path` starts like a JPEG: the marker libvips' own
// JPEG loader looks for. Thread: any.
bool startsLikeJpeg(const char* path);

// A JPEG file read whole, for the decoder below.
struct JpegFile {
  std::unique_ptr<unsigned char[]> bytes;
  size_t size = 0;
};

// The regular file at `path` read whole when it is at most 256 MB; nullptr
// otherwise, for libvips to stream. A file cut short while it is read keeps
// what was read, and decodes as truncated. Thread: any.
std::unique_ptr<JpegFile> readJpegFile(const char* path);

// An image whose rows libjpeg-turbo decodes from `file` at 1/shrink of its
// size (shrink 2, 4 or 8) on the decode thread, starting at once; a row
// asked for waits until it is decoded, and decoded rows are kept. libvips
// feeds libjpeg 4 KiB at a time, which keeps libjpeg-turbo off its fast
// Huffman decoder for most of a photo; the whole file in memory keeps it on,
// a sixth less time for a 12-megapixel photo. `header` is libvips' reading
// of the file's header: its orientation and ICC profile go with the pixels,
// and a file whose decoded size does not match it (replaced in between)
// fails.
//
// nullopt when this decoder does not take the file (not YCbCr, RGB or
// greyscale); the caller then decodes it with libvips. A null image when the
// header cannot be decoded. A file found truncated or damaged further on
// fails every computation of the image's rows from then on. Thread: any;
// the rows may be computed on any threads.
std::optional<VipsImagePtr> decodeJpegShrunk(std::unique_ptr<JpegFile> file, int shrink, VipsImage* header);

}  // namespace vek::linux_library

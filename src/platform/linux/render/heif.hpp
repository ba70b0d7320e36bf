#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/render/fit.hpp"

namespace vek::linux_library {

// Opens the primary image of the HEIF or AVIF file open at `fd` for a render
// into a box x box square, through libheif. The stored thumbnail is decoded
// instead when it is larger than the fitted size and shows the same
// picture. Otherwise the primary image is decoded in full, its grid tiles
// on libvips' number of threads; a plain rotation is left to the fitting
// pipeline as an orientation tag, so that only the shrunk image is turned,
// while a mirror or crop is applied by libheif. The file's ICC profile goes
// with the image; its EXIF orientation is ignored, since the file's own
// transformations already describe it. Returns an empty image when the file
// cannot be decoded or is larger than kMaxDecodedPixels. Thread: any.
LoadedImage loadHeifForBox(int fd, int64_t box);

}  // namespace vek::linux_library

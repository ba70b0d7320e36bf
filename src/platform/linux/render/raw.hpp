#pragma once

#include <cstdint>

#include "platform/linux/render/fit.hpp"

namespace vek::linux_library {

// Loads the camera RAW file open at `fd` for a render into a box x box square.
// When the file's embedded JPEG preview shows the whole picture (its aspect
// is the developed picture's) and is at least as large as the box needs,
// that preview is decoded, reduced while decoding where it can be; else the
// raw data is developed with LibRaw: the camera's white balance, sRGB, at
// half size when that still leaves the resize a margin. A box of 0 or less
// always develops the full-size picture. Either way the image carries the
// RAW's orientation and a target computed from the developed size, so both
// paths give the same size, and its pixels are in memory. A null image when
// the file cannot be read or developed (damaged or cut short included).
// Thread: any.
LoadedImage loadRaw(int fd, int64_t box);

}  // namespace vek::linux_library

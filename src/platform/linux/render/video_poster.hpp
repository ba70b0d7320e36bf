#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/decoders/vips_image_ptr.hpp"
#include "platform/linux/media_files/file_stamp.hpp"

namespace vek::linux_library {

// The first displayed frame of the video file open at `file`, decoded with
// libavcodec into an 8-bit sRGB image in memory, at its stored size, with
// the stream's display rotation as its orientation tag (so the fitting
// pipeline turns it upright after shrinking). nullptr when the file has no
// video stream, no frame can be decoded, or the frame is larger than
// kMaxDecodedPixels. Only the containers of the photo library are opened,
// and only from the open file. Thread: any.
VipsImagePtr decodeVideoPoster(const OpenedFile& file);

// The EXIF-style orientation (1 to 8) that shows a frame the way the
// libavutil display matrix `matrix` (9 entries) does, to the nearest quarter
// turn. 1 when the matrix is degenerate.
int orientationFromDisplayMatrix(const int32_t* matrix);

}  // namespace vek::linux_library

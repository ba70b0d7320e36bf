#pragma once

#include <cstdint>

#include "platform/linux/decoders/vips_image_ptr.hpp"
#include "platform/linux/media_files/picture_size.hpp"

namespace vek::linux_library {

// An image as its loader opened it (stored orientation, possibly decoded
// at a reduced scale), and the size it is to have before it is turned
// upright.
struct LoadedImage {
  VipsImagePtr image;
  PixelSize target;
  // True when the pixels are computed from memory, never from the file, and
  // may be computed again in any order.
  bool fromMemory = false;
};

// The size `stored` takes when fitted into a box x box square: the longer
// side becomes `box` and the other keeps the aspect (at least 1), unless the
// image is already no larger than the box, or `box` <= 0, when it keeps its
// own size. Rotation never changes the longer side, so the result holds for
// stored and displayed sizes alike.
PixelSize fittedSize(PixelSize stored, int64_t box);

// The scale (at most 1) for a loader that scales freely while decoding
// (WebP) to decode `stored` at when the result is to be `target`, with the
// same margin as jpegShrinkFor and never below the target on either side.
double preShrinkScale(PixelSize stored, PixelSize target);

// The JPEG DCT scaling denominator (1, 2, 4 or 8) to decode `stored` at when
// the result is to be `target`: the largest that still leaves a margin of
// pixels for the final resize to keep the image sharp.
int jpegShrinkFor(PixelSize stored, PixelSize target);

// Finishes a loaded image for delivery: alpha flattened onto white, resized
// to exactly `target` (which the caller computed from the full-size image,
// so a pre-shrunk `loaded` ends at the same size), converted to 8-bit sRGB
// through its embedded ICC profile when it has one, decoded into memory, and
// turned upright by its orientation tag. The result no longer reads the
// file. Returns nullptr when the pixels cannot be decoded (a truncated or
// damaged file) or a step cannot be built. With `fromMemory`, what is left
// is computed as it is encoded instead, and damage found then fails the
// encoding. Thread: any.
VipsImagePtr finishImage(VipsImagePtr loaded, PixelSize target, bool fromMemory);

}  // namespace vek::linux_library

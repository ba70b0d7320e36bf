#pragma once

#include <cmath>
#include <cstdint>

namespace vek::linux_library {

struct PixelSize {
  int width = 0;
  int height = 0;

  bool operator==(const PixelSize&) const = default;
};

// The largest image, in pixels, that is ever decoded. Anything bigger is
// refused from its header, before a single pixel is allocated.
inline constexpr int64_t kMaxDecodedPixels = 200'000'000;

// True when an image of `size` may be decoded: both sides positive and
// their product within kMaxDecodedPixels.
inline bool isDecodable(PixelSize size) {
  return size.width > 0 && size.height > 0 &&
         static_cast<int64_t>(size.width) * static_cast<int64_t>(size.height) <= kMaxDecodedPixels;
}

// True when a picture of size `a` shows the whole of one of size `b`: the
// same aspect within a percent, which covers the few columns of border that
// encoders and camera makers crop differently.
inline bool sameAspect(PixelSize a, PixelSize b) {
  return std::abs(static_cast<double>(a.width) * b.height - static_cast<double>(a.height) * b.width) <=
         0.01 * static_cast<double>(b.width) * a.height;
}

}  // namespace vek::linux_library

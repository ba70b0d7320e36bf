#pragma once

#include <optional>
#include <string>

#include "photos/photo_library_port.hpp"
#include "platform/linux/decoders/vips_image_ptr.hpp"

namespace vek::linux_library {

// A rendered image held as a libvips image. Encoding evaluates the image,
// so one that is still a pipeline over a file can fail then and gives
// nullopt. Owns its image; not for concurrent use.
class VipsPlatformImage final : public PlatformImage {
 public:
  // `image` must be 8-bit sRGB (1 or 3 bands), already upright.
  explicit VipsPlatformImage(VipsImagePtr image);

  // The image's width and height in pixels.
  ImageSize size() const override;
  // Baseline JPEG at quality round(compressionFactor * 100), clamped to
  // 1..100, without metadata; nullopt when the pixels cannot be produced or
  // the factor is not a number.
  std::optional<std::string> jpegRepresentation(double compressionFactor) const override;

 private:
  VipsImagePtr image_;
};

}  // namespace vek::linux_library

#include "platform/linux/render/vips_platform_image.hpp"

#include <algorithm>
#include <cmath>

namespace vek::linux_library {

VipsPlatformImage::VipsPlatformImage(VipsImagePtr image) : image_(std::move(image)) {}

ImageSize VipsPlatformImage::size() const {
  return {static_cast<double>(image_->Xsize), static_cast<double>(image_->Ysize)};
}

std::optional<std::string> VipsPlatformImage::jpegRepresentation(double compressionFactor) const {
  if (!std::isfinite(compressionFactor)) return std::nullopt;
  const int quality = std::max(1, static_cast<int>(std::lround(std::clamp(compressionFactor, 0.0, 1.0) * 100)));
  void* buffer = nullptr;
  size_t length = 0;
  if (vips_jpegsave_buffer(image_.get(), &buffer, &length, "Q", quality, "strip", TRUE, nullptr) != 0) {
    g_free(buffer);
    vips_error_clear();
    return std::nullopt;
  }
  std::string bytes(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return bytes;
}

}  // namespace vek::linux_library

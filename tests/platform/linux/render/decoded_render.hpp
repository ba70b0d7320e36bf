#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/linux/decoders/vips_image_ptr.hpp"
#include "platform/linux/opened_files.hpp"
#include "platform/linux/render/render.hpp"

namespace vek::linux_library {

// A JPEG decoded into memory; null when it does not decode.
inline VipsImagePtr decodeJpeg(const std::string& jpeg) {
  VipsImagePtr lazy = vipsResult(
      [&](VipsImage** out) { return vips_jpegload_buffer(const_cast<char*>(jpeg.data()), jpeg.size(), out, nullptr); });
  return lazy ? VipsImagePtr(vips_image_copy_memory(lazy.get())) : nullptr;
}

// The image's JPEG as a reply carries it, decoded back into memory; the
// image's reported size must be the JPEG's.
inline VipsImagePtr delivered(const std::shared_ptr<PlatformImage>& image) {
  std::optional<std::string> jpeg = image ? image->jpegRepresentation(0.85) : std::nullopt;
  VipsImagePtr decoded = jpeg ? decodeJpeg(*jpeg) : nullptr;
  if (decoded) { EXPECT_EQ(image->size(), (ImageSize{double(decoded->Xsize), double(decoded->Ysize)})); }
  return decoded;
}

// The renderer over a file the test names, opened as the library opens a
// catalogued file; nullptr when it cannot be opened so.
inline std::shared_ptr<PlatformImage> renderImageFile(const std::filesystem::path& path, int64_t box) {
  return withOpened(path, [&](const OpenedFile& file) { return renderImageFile(file, box); });
}
inline std::shared_ptr<PlatformImage> renderVideoPoster(const std::filesystem::path& path, int64_t box) {
  return withOpened(path, [&](const OpenedFile& file) { return renderVideoPoster(file, box); });
}

inline VipsImagePtr renderDecoded(const std::filesystem::path& path, int64_t box) {
  return delivered(renderImageFile(path, box));
}

}  // namespace vek::linux_library

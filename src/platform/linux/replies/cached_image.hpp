#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "photos/photo_library_port.hpp"
#include "platform/linux/replies/render_cache.hpp"

namespace vek::linux_library {

// Called with every JPEG an image hands out, and whether it was just
// rendered (rather than served from an earlier render).
using JpegHandedOut = std::function<void(const CachedRender&, bool rendered)>;

// A reply served from a render made earlier: its size, and its very JPEG
// bytes when asked at the factor it was made at. Asked at another factor, it
// renders the file afresh through `renderAfresh`, since re-encoding the JPEG
// would not give the bytes a fresh render gives. Not for concurrent use.
class CachedPlatformImage final : public PlatformImage {
 public:
  CachedPlatformImage(CachedRender render, std::function<std::shared_ptr<PlatformImage>()> renderAfresh,
                      JpegHandedOut handedOut);

  ImageSize size() const override { return render_.size; }
  std::optional<std::string> jpegRepresentation(double compressionFactor) const override;

 private:
  CachedRender render_;
  std::function<std::shared_ptr<PlatformImage>()> renderAfresh_;
  JpegHandedOut handedOut_;
};

// A fresh render that reports each JPEG it makes (for the cache to keep),
// with the stamp the file had before it was rendered. Not for concurrent use.
class ReportingPlatformImage final : public PlatformImage {
 public:
  ReportingPlatformImage(std::shared_ptr<PlatformImage> fresh, FileStamp stamp, JpegHandedOut handedOut);

  ImageSize size() const override { return fresh_->size(); }
  std::optional<std::string> jpegRepresentation(double compressionFactor) const override;

 private:
  std::shared_ptr<PlatformImage> fresh_;
  FileStamp stamp_;
  JpegHandedOut handedOut_;
};

}  // namespace vek::linux_library

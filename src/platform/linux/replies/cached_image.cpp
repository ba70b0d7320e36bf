#include "platform/linux/replies/cached_image.hpp"

namespace vek::linux_library {

CachedPlatformImage::CachedPlatformImage(CachedRender render,
                                         std::function<std::shared_ptr<PlatformImage>()> renderAfresh,
                                         JpegHandedOut handedOut)
    : render_(std::move(render)), renderAfresh_(std::move(renderAfresh)), handedOut_(std::move(handedOut)) {}

std::optional<std::string> CachedPlatformImage::jpegRepresentation(double compressionFactor) const {
  if (compressionFactor == render_.compressionFactor) {
    handedOut_(render_, false);
    return render_.jpeg;
  }
  const std::shared_ptr<PlatformImage> fresh = renderAfresh_();
  if (!fresh) return std::nullopt;
  return ReportingPlatformImage(fresh, render_.stamp, handedOut_).jpegRepresentation(compressionFactor);
}

ReportingPlatformImage::ReportingPlatformImage(std::shared_ptr<PlatformImage> fresh, FileStamp stamp,
                                               JpegHandedOut handedOut)
    : fresh_(std::move(fresh)), stamp_(stamp), handedOut_(std::move(handedOut)) {}

std::optional<std::string> ReportingPlatformImage::jpegRepresentation(double compressionFactor) const {
  std::optional<std::string> jpeg = fresh_->jpegRepresentation(compressionFactor);
  if (jpeg && !jpeg->empty()) handedOut_(CachedRender{fresh_->size(), compressionFactor, *jpeg, stamp_}, true);
  return jpeg;
}

}  // namespace vek::linux_library

#include "photos/request_image_data.hpp"

#include <cmath>

#include "photos/authorization.hpp"
#include "photos/in_cloud.hpp"
#include "photos/wait_for.hpp"
#include "protocol/base64.hpp"
#include "protocol/helper_error.hpp"

namespace vek {
namespace {

constexpr double kJpegCompressionFactor = 0.85;

HelperError renderFailed() { return HelperError::bad("failed to render JPEG"); }

// A side reported outside the signed 64-bit range cannot be written; such an
// image counts as not rendered.
int64_t truncatedSide(double side) {
  if (!(side > -9223372036854775808.0 && side < 9223372036854775808.0)) throw renderFailed();
  return static_cast<int64_t>(side);
}

}  // namespace

ImageDataResponse requestImageData(PhotoLibraryPort& library, const std::string& localIdentifier,
                                   int64_t targetSize) {
  ensureAuthorization(library);
  const AssetFetchResult found = library.fetchAssetsWithLocalIdentifiers({localIdentifier});
  const PhotoAsset* asset = found.firstObject();
  if (asset == nullptr) throw HelperError::assetNotFound();

  ImageRequestOptions options;
  options.deliveryMode = kImageDeliveryModeHighQualityFormat;
  options.synchronous = false;
  options.networkAccessAllowed = false;
  options.resizeMode = kImageResizeModeExact;
  const double side = static_cast<double>(targetSize);

  ImageResult result = waitFor<ImageResult>([&](std::function<void(ImageResult)> deliver) {
    library.requestImageForAsset(*asset, ImageSize{side, side}, kImageContentModeAspectFit, options,
                                 std::move(deliver));
  });
  // The cloud flag matters only when nothing came: an image that arrived is
  // rendered whatever the flag says.
  if (!result.image && isInCloud(result.info)) throw HelperError::icloudOnly();
  if (!result.image) throw renderFailed();

  std::optional<std::string> jpeg = result.image->jpegRepresentation(kJpegCompressionFactor);
  if (!jpeg || jpeg->empty()) throw renderFailed();
  const ImageSize size = result.image->size();
  const int64_t width = truncatedSide(size.width);
  const int64_t height = truncatedSide(size.height);
  return ImageDataResponse{localIdentifier, width, height, base64Encode(*jpeg)};
}

}  // namespace vek

#include "photos/request_video_resource.hpp"

#include "photos/authorization.hpp"
#include "photos/in_cloud.hpp"
#include "photos/uuid.hpp"
#include "photos/wait_for.hpp"
#include "protocol/helper_error.hpp"

namespace vek {

VideoResourceResponse requestVideoResource(PhotoLibraryPort& library, const std::string& localIdentifier) {
  ensureAuthorization(library);
  const AssetFetchResult found = library.fetchAssetsWithLocalIdentifiers({localIdentifier});
  const PhotoAsset* asset = found.firstObject();
  if (asset == nullptr) throw HelperError::assetNotFound();
  if (asset->mediaType != kMediaTypeVideo) throw HelperError::bad("asset is not a video");

  VideoRequestOptions options;
  options.networkAccessAllowed = false;
  options.deliveryMode = kVideoDeliveryModeMediumQualityFormat;
  VideoResult loaded = waitFor<VideoResult>([&](std::function<void(VideoResult)> deliver) {
    library.requestAVAssetForVideo(*asset, options, std::move(deliver));
  });
  if (!loaded.media && isInCloud(loaded.info)) throw HelperError::icloudOnly();
  if (!loaded.media) throw HelperError::bad("failed to load AVAsset");

  // The name is made only once the media is here, so a call that fails
  // earlier names no file.
  std::string tempPath = library.temporaryDirectory();
  if (tempPath.empty() || tempPath.back() != '/') tempPath.push_back('/');
  tempPath += "vek-pk-" + newUuidString() + ".mov";

  std::unique_ptr<ExportSession> session = library.makeExportSession(loaded.media, kExportPresetPassthrough);
  if (!session) throw HelperError::bad("cannot create export session");
  session->setOutputURL(tempPath);
  session->setOutputFileType(kFileTypeQuickTimeMovie);
  waitFor<bool>([&](std::function<void(bool)> deliver) {
    session->exportAsynchronously([deliver = std::move(deliver)] { deliver(true); });
  });
  if (session->status() != kExportStatusCompleted) {
    const std::optional<PlatformError> error = session->error();
    throw HelperError::bad("export failed: " + (error ? error->localizedDescription : std::string("unknown")));
  }
  return VideoResourceResponse{localIdentifier, tempPath, asset->duration};
}

}  // namespace vek

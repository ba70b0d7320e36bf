#include "photos/fetch_assets.hpp"

#include "photos/authorization.hpp"

namespace vek {

uint64_t creationDateMs(const std::optional<double>& creationDate) {
  if (!creationDate) return 0;
  const double ms = *creationDate * 1000.0;
  // Dates before 1970 have no value in the unsigned field; they are listed
  // as undated rather than failing the whole listing.
  if (!(ms > -1.0 && ms < 18446744073709551616.0)) return 0;
  return static_cast<uint64_t>(ms);
}

std::vector<AssetMeta> fetchAssets(PhotoLibraryPort& library, const std::string& kind, bool /*includeIcloudOnly*/) {
  ensureAuthorization(library);
  FetchOptions options;
  options.includeHiddenAssets = false;
  options.sortDescriptors = {SortDescriptor{"creationDate", false}};
  const int64_t mediaType = kind == "video" ? kMediaTypeVideo : kMediaTypeImage;
  AssetFetchResult result = library.fetchAssetsWithMediaType(mediaType, options);

  std::vector<PhotoAsset> objects = result.takeObjects();
  std::vector<AssetMeta> assets;
  assets.reserve(objects.size());
  for (PhotoAsset& asset : objects) {
    assets.push_back(AssetMeta{
        .localIdentifier = std::move(asset.localIdentifier),
        .kind = asset.mediaType == kMediaTypeVideo ? "video" : "image",
        .pixelWidth = static_cast<int64_t>(asset.pixelWidth),
        .pixelHeight = static_cast<int64_t>(asset.pixelHeight),
        .creationDateMs = creationDateMs(asset.creationDate),
        .durationSeconds = asset.duration,
        .isIcloudOnly = false,
    });
  }
  return assets;
}

}  // namespace vek

#include "platform/linux/empty_library.hpp"

#include <filesystem>

namespace vek::linux_library {
namespace {

class EmptyPhotoLibrary : public PhotoLibraryPort {
 public:
  int64_t authorizationStatusForAccessLevel(int64_t) override { return kAuthorizationStatusAuthorized; }
  void requestAuthorizationForAccessLevel(int64_t, std::function<void(int64_t)> handler) override {
    handler(kAuthorizationStatusAuthorized);
  }
  AssetFetchResult fetchAssetsWithMediaType(int64_t, const FetchOptions&) override { return {}; }
  AssetFetchResult fetchAssetsWithLocalIdentifiers(const std::vector<std::string>&) override { return {}; }
  void requestImageForAsset(const PhotoAsset&, ImageSize, int64_t, const ImageRequestOptions&,
                            std::function<void(ImageResult)> handler) override {
    handler({});
  }
  void requestAVAssetForVideo(const PhotoAsset&, const VideoRequestOptions&,
                              std::function<void(VideoResult)> handler) override {
    handler({});
  }
  std::unique_ptr<ExportSession> makeExportSession(std::shared_ptr<PlatformMedia>, const std::string&) override {
    return nullptr;
  }
  std::string temporaryDirectory() override {
    std::string path = std::filesystem::temp_directory_path().string();
    if (path.empty() || path.back() != '/') path.push_back('/');
    return path;
  }
  void performChanges(ChangeBlock,
                      std::function<void(bool, std::optional<PlatformError>)> completion) override {
    completion(false, std::nullopt);
  }
};

}  // namespace

std::unique_ptr<PhotoLibraryPort> makeEmptyPhotoLibrary() { return std::make_unique<EmptyPhotoLibrary>(); }

}  // namespace vek::linux_library

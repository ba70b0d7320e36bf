#include "support/memory_photo_library.hpp"

#include <algorithm>
#include <stdexcept>

namespace vek::testing {
namespace {

class MemoryImage : public PlatformImage {
 public:
  MemoryImage(ImageSize size, std::optional<std::string> jpeg, std::vector<double>& factors)
      : size_(size), jpeg_(std::move(jpeg)), factors_(factors) {}

  ImageSize size() const override { return size_; }
  std::optional<std::string> jpegRepresentation(double compressionFactor) const override {
    factors_.push_back(compressionFactor);
    return jpeg_;
  }

 private:
  ImageSize size_;
  std::optional<std::string> jpeg_;
  std::vector<double>& factors_;
};

class MemoryMedia : public PlatformMedia {
 public:
  explicit MemoryMedia(std::string localIdentifier) : localIdentifier(std::move(localIdentifier)) {}
  const std::string localIdentifier;
};

class MemoryExportSession : public ExportSession {
 public:
  MemoryExportSession(MemoryPhotoLibrary& library, ExportRecord record)
      : library_(library), record_(std::move(record)) {}

  void setOutputURL(const std::string& path) override { record_.outputPath = path; }
  void setOutputFileType(const std::string& fileType) override { record_.fileType = fileType; }
  void exportAsynchronously(std::function<void()> completion) override {
    library_.calls.push_back("export");
    library_.exports.push_back(record_);
    status_ = library_.exportStatus;
    error_ = library_.exportError;
    library_.deliver([completion = std::move(completion)] { completion(); });
  }
  int64_t status() const override { return status_; }
  std::optional<PlatformError> error() const override { return error_; }

 private:
  MemoryPhotoLibrary& library_;
  ExportRecord record_;
  int64_t status_ = kExportStatusUnknown;
  std::optional<PlatformError> error_;
};

class ChangeRecorder : public AssetChangeRequests {
 public:
  explicit ChangeRecorder(std::vector<std::vector<PhotoAsset>>& deletions) : deletions_(deletions) {}
  void deleteAssets(const std::vector<PhotoAsset>& assets) override {
    deletions_.push_back(assets);
    deleted.insert(deleted.end(), assets.begin(), assets.end());
  }
  std::vector<PhotoAsset> deleted;

 private:
  std::vector<std::vector<PhotoAsset>>& deletions_;
};

double sortDate(const PhotoAsset& asset) { return asset.creationDate.value_or(0.0); }

ImageSize fitted(ImageSize image, ImageSize target) {
  if (!(target.width > 0 && target.height > 0)) return image;
  const double scale = std::min({1.0, target.width / image.width, target.height / image.height});
  return ImageSize{image.width * scale, image.height * scale};
}

}  // namespace

MemoryPhotoLibrary::~MemoryPhotoLibrary() {
  for (auto& thread : threads_) thread.join();
}

void MemoryPhotoLibrary::deliver(std::function<void()> work) {
  if (dropCallbacks) return;
  if (!deliverOnOtherThread) {
    work();
    return;
  }
  std::lock_guard lock(threadsMutex_);
  threads_.emplace_back(std::move(work));
}

int64_t MemoryPhotoLibrary::authorizationStatusForAccessLevel(int64_t accessLevel) {
  calls.push_back("authorizationStatus");
  accessLevels.push_back(accessLevel);
  return authorizationStatus;
}

void MemoryPhotoLibrary::requestAuthorizationForAccessLevel(int64_t accessLevel,
                                                            std::function<void(int64_t status)> handler) {
  calls.push_back("requestAuthorization");
  accessLevels.push_back(accessLevel);
  authorizationStatus = statusAfterRequest;
  deliver([handler = std::move(handler), status = statusAfterRequest] { handler(status); });
}

AssetFetchResult MemoryPhotoLibrary::fetchAssetsWithMediaType(int64_t mediaType, const FetchOptions& options) {
  calls.push_back("fetchByMediaType");
  if (fetchFailure) throw std::runtime_error(*fetchFailure);
  std::vector<PhotoAsset> found;
  for (const auto& asset : assets) {
    if (asset.mediaType != mediaType) continue;
    if (!options.includeHiddenAssets && hidden.count(asset.localIdentifier) != 0) continue;
    found.push_back(asset);
  }
  for (const auto& descriptor : options.sortDescriptors) {
    if (descriptor.key != "creationDate") throw std::invalid_argument("unsupported sort key: " + descriptor.key);
  }
  // Sorting by the last descriptor first leaves the first one deciding.
  for (auto it = options.sortDescriptors.rbegin(); it != options.sortDescriptors.rend(); ++it) {
    const bool ascending = it->ascending;
    std::stable_sort(found.begin(), found.end(), [ascending](const PhotoAsset& a, const PhotoAsset& b) {
      return ascending ? sortDate(a) < sortDate(b) : sortDate(b) < sortDate(a);
    });
  }
  return AssetFetchResult(std::move(found));
}

AssetFetchResult MemoryPhotoLibrary::fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& localIdentifiers) {
  calls.push_back("fetchByIdentifiers");
  identifierFetches.push_back(localIdentifiers);
  if (fetchFailure) throw std::runtime_error(*fetchFailure);
  std::vector<PhotoAsset> found;
  std::set<std::string> seen;
  for (const auto& identifier : localIdentifiers) {
    if (hidden.count(identifier) != 0 || !seen.insert(identifier).second) continue;
    auto asset = std::find_if(assets.begin(), assets.end(),
                              [&](const PhotoAsset& a) { return a.localIdentifier == identifier; });
    if (asset != assets.end()) found.push_back(*asset);
  }
  return AssetFetchResult(std::move(found));
}

void MemoryPhotoLibrary::requestImageForAsset(const PhotoAsset& asset, ImageSize targetSize, int64_t contentMode,
                                              const ImageRequestOptions& options,
                                              std::function<void(ImageResult)> handler) {
  calls.push_back("requestImage");
  imageRequests.push_back(ImageRequestRecord{asset.localIdentifier, targetSize, contentMode, options});
  ImageResult result;
  if (auto outcome = images.find(asset.localIdentifier); outcome != images.end()) {
    if (outcome->second.image) {
      result.image = std::make_shared<MemoryImage>(fitted(*outcome->second.image, targetSize), outcome->second.jpeg,
                                                   jpegCompressionFactors);
    }
    result.info = outcome->second.info;
  }
  deliver([handler = std::move(handler), result = std::move(result)] { handler(result); });
}

void MemoryPhotoLibrary::requestAVAssetForVideo(const PhotoAsset& asset, const VideoRequestOptions& options,
                                                std::function<void(VideoResult)> handler) {
  calls.push_back("requestVideo");
  videoRequests.push_back(VideoRequestRecord{asset.localIdentifier, options});
  VideoResult result;
  if (auto outcome = videos.find(asset.localIdentifier); outcome != videos.end()) {
    if (outcome->second.media) result.media = std::make_shared<MemoryMedia>(asset.localIdentifier);
    result.info = outcome->second.info;
  }
  deliver([handler = std::move(handler), result = std::move(result)] { handler(result); });
}

std::unique_ptr<ExportSession> MemoryPhotoLibrary::makeExportSession(std::shared_ptr<PlatformMedia> media,
                                                                     const std::string& presetName) {
  calls.push_back("makeExportSession");
  if (!canMakeExportSession) return nullptr;
  auto* loaded = dynamic_cast<MemoryMedia*>(media.get());
  ExportRecord record;
  record.mediaIdentifier = loaded != nullptr ? loaded->localIdentifier : std::string();
  record.presetName = presetName;
  return std::make_unique<MemoryExportSession>(*this, std::move(record));
}

std::string MemoryPhotoLibrary::temporaryDirectory() { return temporaryDirectoryText; }

void MemoryPhotoLibrary::performChanges(
    ChangeBlock changeBlock, std::function<void(bool success, std::optional<PlatformError> error)> completion) {
  calls.push_back("performChanges");
  deliver([this, changeBlock = std::move(changeBlock), completion = std::move(completion)] {
    ChangeRecorder recorder(deletions);
    changeBlock(recorder);
    if (changeSucceeds) {
      std::erase_if(assets, [&](const PhotoAsset& asset) {
        return std::find(recorder.deleted.begin(), recorder.deleted.end(), asset) != recorder.deleted.end();
      });
    }
    completion(changeSucceeds, changeError);
  });
}

}  // namespace vek::testing

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "photos/photo_library_port.hpp"

namespace vek::testing {

// What an image request for one identifier delivers.
struct ImageOutcome {
  // The stored picture's size, delivered fitted into the target size as a
  // platform library fits it: aspect kept, never enlarged, whole for a
  // target without area. nullopt: no image is delivered.
  std::optional<ImageSize> image;
  std::optional<InfoDictionary> info = std::nullopt;
  // The JPEG bytes the image gives, or nullopt when it cannot make one.
  std::optional<std::string> jpeg = std::string("\xff\xd8\xff\xd9", 4);
};

// What a video request for one identifier delivers.
struct VideoOutcome {
  bool media = false;
  std::optional<InfoDictionary> info = std::nullopt;
};

struct ImageRequestRecord {
  std::string localIdentifier;
  ImageSize targetSize;
  int64_t contentMode = -1;
  ImageRequestOptions options;

  bool operator==(const ImageRequestRecord&) const = default;
};

struct VideoRequestRecord {
  std::string localIdentifier;
  VideoRequestOptions options;

  bool operator==(const VideoRequestRecord&) const = default;
};

struct ExportRecord {
  std::string mediaIdentifier;  // the asset whose loaded media was exported
  std::string presetName;
  std::string outputPath;
  std::string fileType;

  bool operator==(const ExportRecord&) const = default;
};

// A photo library held in memory, configured through its public fields
// before an operation runs and inspected after it has returned. The fields
// are read and written by the operation's thread, or by the delivery thread
// while the operation waits for it, never by both at once.
//
// Fetches behave as the platform's do: hidden assets are left out, a fetch
// by media type applies the options' "creationDate" sort descriptors (an
// undated asset sorts as 0; other keys throw std::invalid_argument), and a
// fetch by identifiers gives each asset once, in the order first named.
// A successful change removes the deleted assets from `assets`.
class MemoryPhotoLibrary : public PhotoLibraryPort {
 public:
  MemoryPhotoLibrary() = default;
  // Joins every delivery thread.
  ~MemoryPhotoLibrary() override;
  MemoryPhotoLibrary(const MemoryPhotoLibrary&) = delete;
  MemoryPhotoLibrary& operator=(const MemoryPhotoLibrary&) = delete;

  std::vector<PhotoAsset> assets;  // in library order
  std::set<std::string> hidden;    // identifiers of hidden assets
  int64_t authorizationStatus = kAuthorizationStatusAuthorized;
  // The status that asking delivers; asking also makes it the current one.
  int64_t statusAfterRequest = kAuthorizationStatusAuthorized;
  std::map<std::string, ImageOutcome> images;  // no entry: no image, no info
  std::map<std::string, VideoOutcome> videos;  // no entry: no media, no info
  bool canMakeExportSession = true;
  int64_t exportStatus = kExportStatusCompleted;
  std::optional<PlatformError> exportError;
  bool changeSucceeds = true;
  std::optional<PlatformError> changeError;
  std::string temporaryDirectoryText = "/tmp/";
  // When set, the synchronous fetches throw std::runtime_error with it.
  std::optional<std::string> fetchFailure;
  // Callbacks (and change blocks) run on a thread of their own instead of
  // inside the call.
  bool deliverOnOtherThread = false;
  // Callbacks are destroyed without being called.
  bool dropCallbacks = false;

  // Every port call by name, in order: "authorizationStatus",
  // "requestAuthorization", "fetchByMediaType", "fetchByIdentifiers",
  // "requestImage", "requestVideo", "makeExportSession", "export",
  // "performChanges".
  std::vector<std::string> calls;
  std::vector<int64_t> accessLevels;  // of both authorization calls
  std::vector<std::vector<std::string>> identifierFetches;
  std::vector<ImageRequestRecord> imageRequests;
  std::vector<double> jpegCompressionFactors;
  std::vector<VideoRequestRecord> videoRequests;
  std::vector<ExportRecord> exports;
  // The assets of each deleteAssets call that change blocks made.
  std::vector<std::vector<PhotoAsset>> deletions;

  int64_t authorizationStatusForAccessLevel(int64_t accessLevel) override;
  void requestAuthorizationForAccessLevel(int64_t accessLevel, std::function<void(int64_t status)> handler) override;
  AssetFetchResult fetchAssetsWithMediaType(int64_t mediaType, const FetchOptions& options) override;
  AssetFetchResult fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& localIdentifiers) override;
  void requestImageForAsset(const PhotoAsset& asset, ImageSize targetSize, int64_t contentMode,
                            const ImageRequestOptions& options, std::function<void(ImageResult)> handler) override;
  void requestAVAssetForVideo(const PhotoAsset& asset, const VideoRequestOptions& options,
                              std::function<void(VideoResult)> handler) override;
  std::unique_ptr<ExportSession> makeExportSession(std::shared_ptr<PlatformMedia> media,
                                                   const std::string& presetName) override;
  std::string temporaryDirectory() override;
  void performChanges(ChangeBlock changeBlock,
                      std::function<void(bool success, std::optional<PlatformError> error)> completion) override;

  // Runs `work` inline or on a new thread, as deliverOnOtherThread says.
  void deliver(std::function<void()> work);

 private:
  std::mutex threadsMutex_;
  std::vector<std::thread> threads_;
};

}  // namespace vek::testing

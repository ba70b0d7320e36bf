#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vek {

// The seam between the photo operations and the platform's photo library.
// Each call stands for one platform call; the operations never reach the
// library or its media services any other way.
//
// Asynchronous calls take a completion callback. A port calls every callback
// exactly once, from any thread, possibly before the call itself returns, and
// never throws across it. Synchronous calls may throw std::exception for a
// platform fault; the request is then answered "internal" with its what().

inline constexpr int64_t kMediaTypeUnknown = 0;
inline constexpr int64_t kMediaTypeImage = 1;
inline constexpr int64_t kMediaTypeVideo = 2;

inline constexpr int64_t kAccessLevelReadWrite = 2;

inline constexpr int64_t kAuthorizationStatusNotDetermined = 0;
inline constexpr int64_t kAuthorizationStatusRestricted = 1;
inline constexpr int64_t kAuthorizationStatusDenied = 2;
inline constexpr int64_t kAuthorizationStatusAuthorized = 3;
inline constexpr int64_t kAuthorizationStatusLimited = 4;

// One asset as the library describes it. Plain value; the library is the
// owner of the asset itself.
struct PhotoAsset {
  std::string localIdentifier;
  int64_t mediaType = kMediaTypeUnknown;
  uint64_t pixelWidth = 0;
  uint64_t pixelHeight = 0;
  std::optional<double> creationDate;  // seconds since 1970-01-01T00:00:00Z
  double duration = 0;                 // seconds

  bool operator==(const PhotoAsset&) const = default;
};

// The ordered outcome of a fetch.
class AssetFetchResult {
 public:
  AssetFetchResult() = default;
  explicit AssetFetchResult(std::vector<PhotoAsset> assets) : assets_(std::move(assets)) {}

  size_t count() const { return assets_.size(); }
  // nullptr when the result is empty; valid as long as the result lives.
  const PhotoAsset* firstObject() const { return assets_.empty() ? nullptr : &assets_.front(); }
  // Visits every asset in order, on the calling thread, before returning.
  void enumerateObjects(const std::function<void(const PhotoAsset&, size_t index)>& block) const {
    for (size_t i = 0; i < assets_.size(); ++i) block(assets_[i], i);
  }
  // The assets in order, moved out of the result, which is empty after:
  // a large result is consumed without a second copy.
  std::vector<PhotoAsset> takeObjects() { return std::move(assets_); }

 private:
  std::vector<PhotoAsset> assets_;
};

struct SortDescriptor {
  std::string key;  // "creationDate" is the key the operations sort by
  bool ascending = true;

  bool operator==(const SortDescriptor&) const = default;
};

struct FetchOptions {
  bool includeHiddenAssets = false;
  std::vector<SortDescriptor> sortDescriptors;

  bool operator==(const FetchOptions&) const = default;
};

// The information that comes with a delivered image or video. A value is a
// number (booleans as 0 or 1) or some other object, given here as text.
using InfoValue = std::variant<double, std::string>;
using InfoDictionary = std::map<std::string, InfoValue>;
// Non-zero when the asset's data lives only in the cloud and was not fetched.
inline constexpr const char* kResultIsInCloudKey = "PHImageResultIsInCloudKey";

struct ImageSize {
  double width = 0;
  double height = 0;

  bool operator==(const ImageSize&) const = default;
};

// A rendered image, delivered by an image request. Read on the operation's
// thread after the callback has handed it over.
class PlatformImage {
 public:
  virtual ~PlatformImage() = default;
  // Width and height in points, as the image reports them.
  virtual ImageSize size() const = 0;
  // The JPEG file bytes of the image at the given compression factor (0.0 is
  // the strongest compression, 1.0 the least), or nullopt when no JPEG can be
  // made.
  virtual std::optional<std::string> jpegRepresentation(double compressionFactor) const = 0;
};

inline constexpr int64_t kImageDeliveryModeHighQualityFormat = 1;
inline constexpr int64_t kImageResizeModeExact = 2;
inline constexpr int64_t kImageContentModeAspectFit = 0;

struct ImageRequestOptions {
  int64_t deliveryMode = 0;
  bool synchronous = false;
  bool networkAccessAllowed = true;
  int64_t resizeMode = 0;

  bool operator==(const ImageRequestOptions&) const = default;
};

struct ImageResult {
  std::shared_ptr<PlatformImage> image;  // null when no image was delivered
  std::optional<InfoDictionary> info;
};

// Loaded video media, handed from a video request to an export session.
class PlatformMedia {
 public:
  virtual ~PlatformMedia() = default;
};

inline constexpr int64_t kVideoDeliveryModeMediumQualityFormat = 2;

struct VideoRequestOptions {
  bool networkAccessAllowed = true;
  int64_t deliveryMode = 0;

  bool operator==(const VideoRequestOptions&) const = default;
};

struct VideoResult {
  std::shared_ptr<PlatformMedia> media;  // null when no media was delivered
  std::optional<InfoDictionary> info;
};

struct PlatformError {
  std::string domain;
  int64_t code = 0;
  std::string localizedDescription;

  bool operator==(const PlatformError&) const = default;
};

inline constexpr const char* kExportPresetPassthrough = "AVAssetExportPresetPassthrough";
inline constexpr const char* kFileTypeQuickTimeMovie = "com.apple.quicktime-movie";

inline constexpr int64_t kExportStatusUnknown = 0;
inline constexpr int64_t kExportStatusCompleted = 3;
inline constexpr int64_t kExportStatusFailed = 4;

// Writes loaded media to a movie file. Lives for one export.
class ExportSession {
 public:
  virtual ~ExportSession() = default;
  // The absolute file-system path of the file to write.
  virtual void setOutputURL(const std::string& path) = 0;
  virtual void setOutputFileType(const std::string& fileType) = 0;
  // Starts the export; calls completion once, on any thread, when it has
  // ended. The session must outlive the call of completion.
  virtual void exportAsynchronously(std::function<void()> completion) = 0;
  // Read after completion: kExportStatusCompleted on success.
  virtual int64_t status() const = 0;
  virtual std::optional<PlatformError> error() const = 0;
};

// The error of a change that found an asset of it no longer as it was
// fetched (another program deleted, replaced or changed it meanwhile), and
// so changed nothing: a new fetch tells what is left to change.
inline constexpr const char* kChangeErrorDomain = "vek.photos.change";
inline constexpr int64_t kAssetChangedSinceFetchCode = 1;

// What a change block may ask of the library.
class AssetChangeRequests {
 public:
  virtual ~AssetChangeRequests() = default;
  virtual void deleteAssets(const std::vector<PhotoAsset>& assets) = 0;
};

using ChangeBlock = std::function<void(AssetChangeRequests&)>;

class PhotoLibraryPort {
 public:
  virtual ~PhotoLibraryPort() = default;

  // The current authorization status for the access level, at once.
  virtual int64_t authorizationStatusForAccessLevel(int64_t accessLevel) = 0;
  // May ask the user; calls handler once with the resulting status.
  virtual void requestAuthorizationForAccessLevel(int64_t accessLevel,
                                                  std::function<void(int64_t status)> handler) = 0;

  virtual AssetFetchResult fetchAssetsWithMediaType(int64_t mediaType, const FetchOptions& options) = 0;
  // The assets that exist for the identifiers, each once; identifiers that
  // match nothing are left out.
  virtual AssetFetchResult fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& localIdentifiers) = 0;

  // Renders the asset to fit targetSize in the content mode; calls handler
  // once with the final image or none.
  virtual void requestImageForAsset(const PhotoAsset& asset, ImageSize targetSize, int64_t contentMode,
                                    const ImageRequestOptions& options,
                                    std::function<void(ImageResult)> handler) = 0;
  // Loads the asset's video; calls handler once with the media or none.
  virtual void requestAVAssetForVideo(const PhotoAsset& asset, const VideoRequestOptions& options,
                                      std::function<void(VideoResult)> handler) = 0;

  // A session that exports media with the preset, or nullptr when none can
  // be made for it.
  virtual std::unique_ptr<ExportSession> makeExportSession(std::shared_ptr<PlatformMedia> media,
                                                           const std::string& presetName) = 0;
  // The per-user temporary directory, ending with '/'.
  virtual std::string temporaryDirectory() = 0;

  // Runs changeBlock to collect one change and applies it as a whole; calls
  // completion once with success, or with failure and the error if any
  // (kAssetChangedSinceFetchCode when an asset changed since it was
  // fetched).
  virtual void performChanges(ChangeBlock changeBlock,
                              std::function<void(bool success, std::optional<PlatformError> error)> completion) = 0;
};

}  // namespace vek

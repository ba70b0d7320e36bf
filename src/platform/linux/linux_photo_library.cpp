#include "platform/linux/linux_photo_library.hpp"

#include <sched.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "platform/linux/library/media_backend.hpp"
#include "platform/linux/library/media_index.hpp"
#include "platform/linux/render/ahead_worker.hpp"
#include "platform/linux/render/ahead_workers.hpp"
#include "platform/linux/render/cached_image.hpp"
#include "platform/linux/render/read_ahead.hpp"
#include "platform/linux/render/render_cache.hpp"
#include "platform/linux/trash/trash.hpp"

namespace vek::linux_library {
namespace {

constexpr const char* kTrashErrorDomain = "vek.trash";

std::vector<PhotoAsset> assetsOf(std::vector<IndexedAsset> indexed) {
  std::vector<PhotoAsset> assets;
  assets.reserve(indexed.size());
  for (auto& entry : indexed) assets.push_back(std::move(entry.asset));
  return assets;
}

// The box side as a whole number of pixels. Zero or less asks for the full
// image; a side beyond any real image is the same as the full image too.
int64_t boxSide(double side) {
  if (std::isnan(side) || side <= 0) return 0;
  if (side >= 1e9) return 0;
  return static_cast<int64_t>(side);
}

// Larger boxes are not rendered ahead: a few full-size renders held at once
// would cost more memory than the time they save is worth.
constexpr int64_t kMaxReadAheadBox = 2048;
constexpr unsigned kMaxReadAheadThreads = 4;

std::shared_ptr<PlatformImage> renderFile(const std::string& path, int64_t box, bool video) {
  MediaBackend& media = mediaBackend();
  return video ? media.renderVideoPoster(path, box) : media.renderImageFile(path, box);
}

// One worker per core this process may run on, a few at most; none on a
// single core, which has nothing idle to give, or with
// VEK_RENDER_READ_AHEAD=0.
unsigned readAheadThreads() {
  const char* setting = std::getenv("VEK_RENDER_READ_AHEAD");
  if (setting != nullptr && std::strcmp(setting, "0") == 0) return 0;
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 0;
  const auto count = static_cast<unsigned>(CPU_COUNT(&cpus));
  return count < 2 ? 0 : std::min(count, kMaxReadAheadThreads);
}

// A reply rendered in a read-ahead worker: from the cache when it holds one
// for the file as it is, else afresh, and then kept there.
std::optional<CachedRender> renderAhead(RenderCache* cache, const AheadJob& job) {
  const std::optional<RenderStamp> stamp = stampOfFile(job.path);
  if (!stamp) return std::nullopt;
  if (cache) {
    std::optional<CachedRender> cached = cache->load(job.identifier, job.box, *stamp);
    if (cached && cached->compressionFactor == job.compressionFactor) return cached;
  }
  const std::shared_ptr<PlatformImage> image = renderFile(job.path, job.box, job.video);
  if (!image) return std::nullopt;
  std::optional<std::string> jpeg = image->jpegRepresentation(job.compressionFactor);
  if (!jpeg || jpeg->empty()) return std::nullopt;
  CachedRender render{image->size(), job.compressionFactor, std::move(*jpeg), *stamp};
  if (cache) cache->store(job.identifier, job.box, render);
  return render;
}

class CollectedDeletions : public AssetChangeRequests {
 public:
  void deleteAssets(const std::vector<PhotoAsset>& assets) override {
    for (const auto& asset : assets) identifiers.push_back(asset.localIdentifier);
  }
  std::vector<std::string> identifiers;
};

class LinuxPhotoLibrary : public PhotoLibraryPort {
 public:
  int64_t authorizationStatusForAccessLevel(int64_t) override { return index().authorizationStatus(); }

  // There is no one to ask on Linux: the file system's answer stands.
  void requestAuthorizationForAccessLevel(int64_t accessLevel, std::function<void(int64_t)> handler) override {
    handler(authorizationStatusForAccessLevel(accessLevel));
  }

  AssetFetchResult fetchAssetsWithMediaType(int64_t mediaType, const FetchOptions& options) override {
    bool newestFirst = false;
    for (const auto& descriptor : options.sortDescriptors) {
      if (descriptor.key == "creationDate") newestFirst = !descriptor.ascending;
    }
    std::vector<PhotoAsset> listed = index().list(mediaType, newestFirst);
    if (ReadAhead* ahead = readAhead()) {
      std::vector<ListedFile> files;
      files.reserve(listed.size());
      for (const auto& asset : listed) files.push_back({asset.localIdentifier, asset.mediaType == kMediaTypeVideo});
      ahead->follow(mediaType, std::move(files));
    }
    return AssetFetchResult(std::move(listed));
  }

  // The paths found are kept for the requests that follow a lookup within
  // the same operation, so a deletion of a million assets looks them up once.
  AssetFetchResult fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& localIdentifiers) override {
    std::vector<IndexedAsset> found = index().lookup(localIdentifiers);
    foundPaths_.clear();
    for (const auto& entry : found) foundPaths_.emplace(entry.asset.localIdentifier, entry.path);
    return AssetFetchResult(assetsOf(std::move(found)));
  }

  // Rendering runs on the calling thread and delivers before returning.
  void requestImageForAsset(const PhotoAsset& asset, ImageSize targetSize, int64_t, const ImageRequestOptions&,
                            std::function<void(ImageResult)> handler) override {
    ImageResult result;
    if (auto path = pathOf(asset.localIdentifier)) {
      const int64_t box = boxSide(std::max(targetSize.width, targetSize.height));
      result.image = renderedImage(asset, *path, box);
    }
    handler(std::move(result));
  }

  void requestAVAssetForVideo(const PhotoAsset& asset, const VideoRequestOptions&,
                              std::function<void(VideoResult)> handler) override {
    VideoResult result;
    if (auto path = pathOf(asset.localIdentifier)) result.media = exportBackend().openVideoMedia(*path);
    handler(std::move(result));
  }

  std::unique_ptr<ExportSession> makeExportSession(std::shared_ptr<PlatformMedia> media,
                                                   const std::string& presetName) override {
    return exportBackend().makeExportSession(std::move(media), presetName);
  }

  std::string temporaryDirectory() override {
    std::string path = std::filesystem::temp_directory_path().string();
    if (path.empty() || path.back() != '/') path.push_back('/');
    return path;
  }

  // The change is applied before returning: the files go to the Trash all
  // together or not at all, and the catalog forgets them.
  void performChanges(ChangeBlock changeBlock,
                      std::function<void(bool, std::optional<PlatformError>)> completion) override {
    CollectedDeletions deletions;
    changeBlock(deletions);
    std::vector<std::string> paths;
    std::vector<std::string> identifiers;
    for (const auto& identifier : deletions.identifiers) {
      if (auto path = pathOf(identifier)) {
        paths.push_back(std::move(*path));
        identifiers.push_back(identifier);
      }
    }
    if (auto refusal = moveToTrash(paths, trashSettings())) {
      completion(false, PlatformError{kTrashErrorDomain, 1, *refusal});
      return;
    }
    index().forget(identifiers);
    if (RenderCache* cache = renderCache()) cache->forget(identifiers);
    completion(true, std::nullopt);
  }

 private:
  MediaIndex& index() {
    if (!index_) index_ = std::make_unique<MediaIndex>(libraryLocationFromEnvironment());
    return *index_;
  }

  const TrashSettings& trashSettings() {
    if (!trashSettings_) trashSettings_ = trashSettingsFromEnvironment();
    return *trashSettings_;
  }

  RenderCache* renderCache() {
    if (!renderCacheMade_) {
      renderCache_ = RenderCache::fromEnvironment();
      renderCacheMade_ = true;
    }
    return renderCache_.get();
  }

  // Read-ahead renders in workers: the helper's own executable, started
  // again as one (see serveRendersAhead).
  ReadAhead* readAhead() {
    if (!readAheadMade_) {
      readAheadMade_ = true;
      if (const unsigned threads = readAheadThreads()) {
        auto workers = std::make_shared<AheadWorkers>(
            "/proc/self/exe", std::vector<std::string>{"vek-photokit-helper", kRenderAheadWorkerArgument}, threads);
        AheadRenderer renderer{
            [this](const std::string& identifier, int64_t box) { return pathToRenderAhead(identifier, box); },
            [workers] { workers->prepare(); },
            [workers](const ListedFile& file, const std::string& path, int64_t box, double factor) {
              return workers->render(AheadJob{file.identifier, path, box, factor, file.video});
            },
            [workers] { workers->stop(); }};
        readAhead_ = std::make_unique<ReadAhead>(std::move(renderer), threads, 2 * threads, kMaxReadAheadBox);
      }
    }
    return readAhead_.get();
  }

  // The asset's file, unless it has gone or the cache holds its render at
  // the box: a rescan served from the cache starts no worker.
  std::optional<std::string> pathToRenderAhead(const std::string& identifier, int64_t box) {
    std::optional<std::string> path = pathOf(identifier);
    if (RenderCache* cache = renderCache(); path && cache) {
      const std::optional<RenderStamp> stamp = stampOfFile(*path);
      if (!stamp || cache->holds(identifier, box, *stamp)) return std::nullopt;
    }
    return path;
  }

  // The reply rendered ahead, or else from the cache, when either was made
  // for the file as it is now; else a fresh render, which the cache keeps
  // once it is encoded. The stamp is taken before rendering, so a file
  // changed while it renders is stored under the older stamp and rendered
  // again next time.
  std::shared_ptr<PlatformImage> renderedImage(const PhotoAsset& asset, const std::string& path, int64_t box) {
    const bool video = asset.mediaType == kMediaTypeVideo;
    auto renderAfresh = [path, box, video] { return renderFile(path, box, video); };
    RenderCache* cache = renderCache();
    ReadAhead* ahead = readAhead();
    const std::optional<RenderStamp> stamp = cache || ahead ? stampOfFile(path) : std::nullopt;
    if (!stamp) return renderAfresh();
    const std::string& identifier = asset.localIdentifier;
    std::optional<CachedRender> made;
    if (ahead) made = ahead->take(identifier, box, lastRenderTime_);
    if (made && made->stamp != *stamp) made.reset();
    if (!made && cache) made = cache->load(identifier, box, *stamp);
    // A render is timed to its JPEG: the image is decoded as it is encoded.
    const auto start = std::chrono::steady_clock::now();
    JpegHandedOut handedOut = [this, cache, ahead, identifier, box, start](const CachedRender& render, bool rendered) {
      if (rendered) lastRenderTime_ = std::chrono::steady_clock::now() - start;
      if (rendered && cache) cache->store(identifier, box, render);
      if (ahead) ahead->asked(identifier, box, render.compressionFactor);
    };
    if (made) return std::make_shared<CachedPlatformImage>(std::move(*made), renderAfresh, std::move(handedOut));
    std::shared_ptr<PlatformImage> fresh = renderAfresh();
    if (!fresh) return nullptr;
    return std::make_shared<ReportingPlatformImage>(std::move(fresh), *stamp, std::move(handedOut));
  }

  // Where the asset's file is: as the last lookup found it, else as the
  // catalog has it now; none when the file has gone.
  std::optional<std::string> pathOf(const std::string& localIdentifier) {
    if (auto known = foundPaths_.find(localIdentifier); known != foundPaths_.end()) return known->second;
    std::vector<IndexedAsset> found = index().lookup({localIdentifier});
    if (found.empty()) return std::nullopt;
    return std::move(found.front().path);
  }

  std::unique_ptr<MediaIndex> index_;
  std::unordered_map<std::string, std::string> foundPaths_;
  std::optional<TrashSettings> trashSettings_;
  std::unique_ptr<RenderCache> renderCache_;
  bool renderCacheMade_ = false;
  std::unique_ptr<ReadAhead> readAhead_;
  bool readAheadMade_ = false;
  std::chrono::steady_clock::duration lastRenderTime_{};  // of the last reply rendered on request
};

}  // namespace

std::unique_ptr<PhotoLibraryPort> makeLinuxPhotoLibrary() { return std::make_unique<LinuxPhotoLibrary>(); }

int serveRendersAhead(int socket) {
  const std::unique_ptr<RenderCache> cache = RenderCache::fromEnvironment();
  return serveAheadJobs(
      socket, [] { mediaBackend(); }, [&](const AheadJob& job) { return renderAhead(cache.get(), job); });
}

}  // namespace vek::linux_library

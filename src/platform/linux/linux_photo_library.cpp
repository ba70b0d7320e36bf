#include "platform/linux/linux_photo_library.hpp"

#include <cmath>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "platform/linux/library/media_index.hpp"
#include "platform/linux/modules/backends.hpp"
#include "platform/linux/posix/memory_policy.hpp"
#include "platform/linux/replies/rendered_images.hpp"
#include "platform/linux/trash/deletion.hpp"

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

class CollectedDeletions : public AssetChangeRequests {
 public:
  void deleteAssets(const std::vector<PhotoAsset>& assets) override {
    for (const auto& asset : assets) identifiers.push_back(asset.localIdentifier);
  }
  std::vector<std::string> identifiers;
};

// The port over the media index (which files are assets, under which
// identifiers), the rendered images, the export module and the Trash.
class LinuxPhotoLibrary : public PhotoLibraryPort {
 public:
  LinuxPhotoLibrary()
      : images_([this](const std::string& identifier) { return cataloguedFile(identifier); },
                {"vek-photokit-helper", kRenderAheadWorkerArgument}) {}

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
    images_.listed(mediaType, listed);
    // A helper killed as it deleted may have left info files in the Trash
    // whose files never followed: a file manager would show them for ever.
    if (!interruptedMovesCleared_) {
      interruptedMovesCleared_ = true;
      clearInterruptedDeletions();
    }
    return AssetFetchResult(std::move(listed));
  }

  // The files found are kept for the requests that follow a lookup within
  // the same operation, so a deletion of a million assets looks them up once.
  AssetFetchResult fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& localIdentifiers) override {
    std::vector<IndexedAsset> found = index().lookup(localIdentifiers);
    foundFiles_.clear();
    for (const auto& entry : found) foundFiles_.emplace(entry.asset.localIdentifier, filesOf(entry));
    return AssetFetchResult(assetsOf(std::move(found)));
  }

  // Rendering runs on the calling thread and delivers before returning.
  void requestImageForAsset(const PhotoAsset& asset, ImageSize targetSize, int64_t, const ImageRequestOptions&,
                            std::function<void(ImageResult)> handler) override {
    ImageResult result;
    if (auto file = cataloguedFile(asset.localIdentifier)) {
      const int64_t box = boxSide(std::max(targetSize.width, targetSize.height));
      result.image = images_.image(asset.localIdentifier, *file, box, asset.mediaType == kMediaTypeVideo);
    }
    handler(std::move(result));
  }

  // A file found changed or swapped since the lookup delivers nothing, as a
  // file gone meanwhile does.
  void requestAVAssetForVideo(const PhotoAsset& asset, const VideoRequestOptions&,
                              std::function<void(VideoResult)> handler) override {
    VideoResult result;
    if (auto file = cataloguedFile(asset.localIdentifier)) {
      if (std::optional<OpenedFile> opened = openCatalogued(*file)) {
        result.media = exportBackend().openVideoMedia(*opened);
      }
    }
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

  // The change is applied before returning: the files go to the Trash, all
  // together or not at all except through the Trash portal (which cannot
  // put one back), and the catalog forgets those that went. A Live Photo's
  // movie goes with its still; through the portal it is tried first and
  // its still only once it went, so a refusal leaves at worst the still, a
  // photo of its own, never a movie that would show up as a short video.
  void performChanges(ChangeBlock changeBlock,
                      std::function<void(bool, std::optional<PlatformError>)> completion) override {
    CollectedDeletions deletions;
    changeBlock(deletions);
    std::vector<CataloguedFile> files;
    std::vector<size_t> goesAfter;
    std::vector<std::string> identifiers;  // the catalog's, of each file
    for (const auto& identifier : deletions.identifiers) {
      std::optional<AssetFiles> asset = cataloguedFiles(identifier);
      if (!asset) continue;
      const size_t first = files.size();
      if (asset->movie) {
        files.push_back(std::move(asset->movie->file));
        goesAfter.push_back(first);
        identifiers.push_back(std::move(asset->movie->identifier));
      }
      files.push_back(std::move(asset->file));
      goesAfter.push_back(first);
      identifiers.push_back(identifier);
    }
    TrashOutcome outcome = trashFiles(files, goesAfter);
    const std::unordered_set<std::string> moved(outcome.moved.begin(), outcome.moved.end());
    std::vector<std::string> gone;
    for (size_t k = 0; k < files.size(); ++k) {
      if (moved.count(files[k].path) != 0) gone.push_back(identifiers[k]);
    }
    if (!gone.empty()) {
      images_.forget(gone);
      // The files are in the Trash whatever the catalog says: a catalog that
      // cannot take the change now (locked by another helper past its wait)
      // learns it at the next listing, which finds the files gone, and the
      // deletion counts.
      try {
        index().forget(gone);
      } catch (const std::runtime_error&) {
      }
    }
    if (outcome.refusal) {
      completion(false, outcome.changedSinceListed
                            ? PlatformError{kChangeErrorDomain, kAssetChangedSinceFetchCode, *outcome.refusal}
                            : PlatformError{kTrashErrorDomain, 1, *outcome.refusal});
      return;
    }
    completion(true, std::nullopt);
  }

 private:
  MediaIndex& index() {
    if (!index_) index_ = std::make_unique<MediaIndex>(libraryLocationFromEnvironment());
    return *index_;
  }

  // An asset's file, and a Live Photo's movie with the identifier the
  // catalog keeps it under.
  struct AssetFiles {
    struct Movie {
      CataloguedFile file;
      std::string identifier;
    };
    CataloguedFile file;
    std::optional<Movie> movie;
  };

  static AssetFiles filesOf(const IndexedAsset& entry) {
    AssetFiles files{CataloguedFile{entry.path, entry.stamp}, std::nullopt};
    if (entry.movie) {
      files.movie =
          AssetFiles::Movie{CataloguedFile{entry.movie->path, entry.movie->stamp}, entry.movie->localIdentifier};
    }
    return files;
  }

  // Where the asset's files are and what they were when catalogued: as the
  // last lookup found them, else as the catalog has them now; none when the
  // asset has gone.
  std::optional<AssetFiles> cataloguedFiles(const std::string& localIdentifier) {
    if (auto known = foundFiles_.find(localIdentifier); known != foundFiles_.end()) return known->second;
    std::vector<IndexedAsset> found = index().lookup({localIdentifier});
    if (found.empty()) return std::nullopt;
    return filesOf(found.front());
  }

  // The file that an image request renders and an export reads: a Live
  // Photo's still.
  std::optional<CataloguedFile> cataloguedFile(const std::string& localIdentifier) {
    std::optional<AssetFiles> files = cataloguedFiles(localIdentifier);
    if (!files) return std::nullopt;
    return std::move(files->file);
  }

  std::unique_ptr<MediaIndex> index_;
  std::unordered_map<std::string, AssetFiles> foundFiles_;
  bool interruptedMovesCleared_ = false;
  RenderedImages images_;
};

}  // namespace

std::unique_ptr<PhotoLibraryPort> makeLinuxPhotoLibrary() {
  keepReplyBuffers();
  return std::make_unique<LinuxPhotoLibrary>();
}

int serveRendersAhead(int socket) {
  keepReplyBuffers();
  return serveRenderWorker(socket);
}

}  // namespace vek::linux_library

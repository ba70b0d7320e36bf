#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "photos/delete_assets.hpp"
#include "photos/request_image_data.hpp"
#include "photos/request_video_resource.hpp"
#include "platform/linux/helper_home.hpp"
#include "platform/linux/linux_photo_library.hpp"
#include "platform/linux/scoped_environment.hpp"
#include "support/failure_of.hpp"
#include "support/helper_process.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

// A helper's library, in this process, with another program's change to the
// files made at the worst moment: right after an operation looked its
// assets up, or right after it opened a video for export.
class Meddled final : public PhotoLibraryPort {
 public:
  explicit Meddled(std::function<void()> afterLookup, std::function<void()> afterVideoOpened = nullptr)
      : library_(linux_library::makeLinuxPhotoLibrary()),
        afterLookup_(std::move(afterLookup)),
        afterVideoOpened_(std::move(afterVideoOpened)) {}

  int64_t authorizationStatusForAccessLevel(int64_t level) override {
    return library_->authorizationStatusForAccessLevel(level);
  }
  void requestAuthorizationForAccessLevel(int64_t level, std::function<void(int64_t)> handler) override {
    library_->requestAuthorizationForAccessLevel(level, std::move(handler));
  }
  AssetFetchResult fetchAssetsWithMediaType(int64_t mediaType, const FetchOptions& options) override {
    return library_->fetchAssetsWithMediaType(mediaType, options);
  }
  AssetFetchResult fetchAssetsWithLocalIdentifiers(const std::vector<std::string>& identifiers) override {
    AssetFetchResult found = library_->fetchAssetsWithLocalIdentifiers(identifiers);
    if (afterLookup_) std::exchange(afterLookup_, nullptr)();
    return found;
  }
  void requestImageForAsset(const PhotoAsset& asset, ImageSize size, int64_t mode, const ImageRequestOptions& options,
                            std::function<void(ImageResult)> handler) override {
    library_->requestImageForAsset(asset, size, mode, options, std::move(handler));
  }
  void requestAVAssetForVideo(const PhotoAsset& asset, const VideoRequestOptions& options,
                              std::function<void(VideoResult)> handler) override {
    library_->requestAVAssetForVideo(asset, options, [this, handler = std::move(handler)](VideoResult result) {
      if (afterVideoOpened_) std::exchange(afterVideoOpened_, nullptr)();
      handler(std::move(result));
    });
  }
  std::unique_ptr<ExportSession> makeExportSession(std::shared_ptr<PlatformMedia> media,
                                                   const std::string& preset) override {
    return library_->makeExportSession(std::move(media), preset);
  }
  std::string temporaryDirectory() override { return library_->temporaryDirectory(); }
  void performChanges(ChangeBlock block, std::function<void(bool, std::optional<PlatformError>)> done) override {
    library_->performChanges(std::move(block), std::move(done));
  }

 private:
  std::unique_ptr<PhotoLibraryPort> library_;
  std::function<void()> afterLookup_;
  std::function<void()> afterVideoOpened_;
};

// Files swapped, linked or rewritten under the helper while it uses them,
// and other helpers deleting the same photos at the same moment. Some
// drive the binary; the others run the library in this process, so that
// the change falls exactly between two of its steps.
class HostileFilesTest : public HelperHome {
 protected:
  void SetUp() override {
    HelperHome::SetUp();
    variables_ = environment();
    variables_["XDG_CACHE_HOME"] = (home() / ".cache").string();
    // Workers would be this test binary.
    variables_["VEK_RENDER_READ_AHEAD"] = "0";
    for (const auto& [name, value] : variables_) {
      scoped_.push_back(std::make_unique<ScopedEnvironment>(name.c_str(), value.c_str()));
    }
  }

  // The identifier of the listed asset of the media type whose width (for
  // a video: whose duration in seconds) is `measure`.
  static std::string idOf(PhotoLibraryPort& library, int64_t mediaType, double measure) {
    for (const PhotoAsset& asset : library.fetchAssetsWithMediaType(mediaType, {}).takeObjects()) {
      const double found = mediaType == kMediaTypeVideo ? std::round(asset.duration) : double(asset.pixelWidth);
      if (found == measure) return asset.localIdentifier;
    }
    ADD_FAILURE() << "no asset of measure " << measure;
    return "";
  }

  size_t trashed() const { return namesIn(trashFiles()).size(); }

  // The render cache's entries: files in the folders of its assets.
  size_t cacheEntries() const {
    size_t count = 0;
    std::error_code none;
    for (auto it = fs::recursive_directory_iterator(home() / ".cache/vek-photokit-helper", none);
         it != fs::recursive_directory_iterator(); it.increment(none)) {
      count += it.depth() == 2 && it->is_regular_file();
    }
    return count;
  }

 private:
  std::map<std::string, std::string> variables_;
  std::vector<std::unique_ptr<ScopedEnvironment>> scoped_;
};

TEST_F(HostileFilesTest, AFileSwappedBetweenLookupAndUseIsNotUsed) {
  makeImage(pictures() / "renamed-over.jpg", 40, 30);
  makeImage(pictures() / "other.jpg", 20, 20);
  makeImage(pictures() / "linked.jpg", 42, 30);
  makeImage(pictures() / "deleted.jpg", 44, 30);
  makeImage(pictures() / "chosen-by-nobody.jpg", 22, 22);
  makeImage(root_ / "outside.jpg", 64, 64);
  makeVideo(videos() / "exported.mp4", 1);
  makeVideo(videos() / "other.mp4", 2);
  auto renameOver = [](const Path& from, const Path& to) { return [=] { fs::rename(from, to); }; };

  Meddled renamedOver(renameOver(pictures() / "other.jpg", pictures() / "renamed-over.jpg"));
  EXPECT_EQ(failureOf([&] { requestImageData(renamedOver, idOf(renamedOver, kMediaTypeImage, 40), 0); }),
            "badRequest: failed to render JPEG");

  Meddled linked([&] {
    fs::remove(pictures() / "linked.jpg");
    fs::create_symlink(root_ / "outside.jpg", pictures() / "linked.jpg");
  });
  EXPECT_EQ(failureOf([&] { requestImageData(linked, idOf(linked, kMediaTypeImage, 42), 0); }),
            "badRequest: failed to render JPEG");

  // The user chose the photo that was there, not the one put in its place.
  Meddled deleted(renameOver(pictures() / "chosen-by-nobody.jpg", pictures() / "deleted.jpg"));
  EXPECT_EQ(deleteAssets(deleted, {idOf(deleted, kMediaTypeImage, 44)}), (DeleteOutcomeResponse{0, false}));
  EXPECT_TRUE(fs::exists(pictures() / "deleted.jpg"));
  EXPECT_EQ(trashed(), 0u);

  Meddled exported(renameOver(videos() / "other.mp4", videos() / "exported.mp4"));
  EXPECT_EQ(failureOf([&] { requestVideoResource(exported, idOf(exported, kMediaTypeVideo, 1)); }),
            "badRequest: failed to load AVAsset");
  EXPECT_TRUE(exportedMovies().empty());
}

TEST_F(HostileFilesTest, AFolderSwappedForALinkToWhereItWentLeadsNowhere) {
  fs::create_directories(pictures() / "album");
  fs::create_directories(videos() / "clips");
  makeImage(pictures() / "album" / "photo.jpg", 40, 30);
  makeVideo(videos() / "clips" / "clip.mp4", 1);
  HelperProcess helper(helperBinary(), environment());
  const std::vector<std::string> photos = identifiers(helper, "image");
  const std::vector<std::string> clips = identifiers(helper, "video");
  ASSERT_EQ(photos.size(), 1u);
  ASSERT_EQ(clips.size(), 1u);
  fs::create_directories(root_ / "elsewhere");
  for (const Path& folder : {pictures() / "album", videos() / "clips"}) {
    fs::rename(folder, root_ / "elsewhere" / folder.filename());
    fs::create_directory_symlink(root_ / "elsewhere" / folder.filename(), folder);
  }

  const std::string notFound = R"("err":{"code":"assetNotFound","message":"PHAsset not found"}})";
  EXPECT_EQ(render(helper, photos[0], 64), R"({"id":5,)" + notFound);
  EXPECT_EQ(exportVideo(helper, clips[0]), R"({"id":6,)" + notFound);
  EXPECT_EQ(helper.request(deleteRequest(7, {photos[0], clips[0]})),
            R"({"id":7,"ok":{"deletedCount":0,"userCancelled":false}})");
  EXPECT_TRUE(fs::exists(root_ / "elsewhere" / "album" / "photo.jpg"));
  EXPECT_TRUE(fs::exists(root_ / "elsewhere" / "clips" / "clip.mp4"));
  EXPECT_EQ(trashed(), 0u);
  EXPECT_TRUE(exportedMovies().empty());
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

TEST_F(HostileFilesTest, AVideoRewrittenInPlaceWhileItIsExportedFailsAndLeavesNoMovie) {
  makeVideo(videos() / "clip.mp4", 2, "160x120");
  Meddled exporting(nullptr, [&] {
    // As an editor that saves in place writes it: same file, new bytes.
    const int fd = open((videos() / "clip.mp4").c_str(), O_WRONLY | O_CLOEXEC);
    const off_t size = lseek(fd, 0, SEEK_END);
    const std::string zeros(size_t(size / 4), '\0');
    EXPECT_EQ(pwrite(fd, zeros.data(), zeros.size(), size / 4), ssize_t(zeros.size()));
    close(fd);
  });
  EXPECT_EQ(failureOf([&] { requestVideoResource(exporting, idOf(exporting, kMediaTypeVideo, 2)); }),
            "badRequest: export failed: the video changed while it was copied");
  EXPECT_TRUE(exportedMovies().empty());
}

TEST_F(HostileFilesTest, APhotoDeletedWhileAnotherHelperRendersItKeepsNoThumbnail) {
  makeImage(pictures() / "photo.jpg", 600, 400);
  const std::unique_ptr<PhotoLibraryPort> rendering = linux_library::makeLinuxPhotoLibrary();
  const std::unique_ptr<PhotoLibraryPort> deleting = linux_library::makeLinuxPhotoLibrary();
  const std::string id = idOf(*rendering, kMediaTypeImage, 600);
  const PhotoAsset asset = rendering->fetchAssetsWithLocalIdentifiers({id}).takeObjects().at(0);
  ImageResult rendered;
  rendering->requestImageForAsset(asset, {256, 256}, kImageContentModeAspectFit, {},
                                  [&](ImageResult result) { rendered = std::move(result); });
  ASSERT_TRUE(rendered.image);
  EXPECT_EQ(deleteAssets(*deleting, {id}), (DeleteOutcomeResponse{1, false}));
  // Its JPEG is made, and would be kept, only as it is handed out.
  EXPECT_TRUE(rendered.image->jpegRepresentation(0.85));
  EXPECT_EQ(cacheEntries(), 0u);
}

TEST_F(HostileFilesTest, AHelperThatLosesARaceToDeleteAnswersAsOneAloneWould) {
  makeImage(pictures() / "taken.jpg", 40, 30);
  makeImage(pictures() / "also-taken.jpg", 20, 20);
  makeImage(pictures() / "left.jpg", 30, 30);
  const std::unique_ptr<PhotoLibraryPort> winner = linux_library::makeLinuxPhotoLibrary();
  const std::string taken = idOf(*winner, kMediaTypeImage, 40);
  const std::string alsoTaken = idOf(*winner, kMediaTypeImage, 20);
  const std::string left = idOf(*winner, kMediaTypeImage, 30);
  // The other helper deletes a photo right after this one looked it up.
  auto winning = [&](const std::string& id) {
    return [&, id] { EXPECT_EQ(deleteAssets(*winner, {id}), (DeleteOutcomeResponse{1, false})); };
  };
  Meddled alone(winning(taken));
  EXPECT_EQ(deleteAssets(alone, {taken}), (DeleteOutcomeResponse{0, false}));
  Meddled withAnother(winning(alsoTaken));
  EXPECT_EQ(deleteAssets(withAnother, {alsoTaken, left}), (DeleteOutcomeResponse{1, false}));
  EXPECT_EQ(trashed(), 3u);
  EXPECT_TRUE(fs::is_empty(pictures()));
}

}  // namespace
}  // namespace vek::testing

#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/helper_home.hpp"
#include "support/samples.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

// A file made immutable (chattr +i) for the life of the object, which the
// Trash cannot move; `why` says why it could not be made so.
class Immutable {
 public:
  explicit Immutable(const fs::path& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    int flags = 0;
    if (fd_ >= 0 && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      if (ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0) return;
    }
    why = errno == EPERM ? "making a file immutable needs root"
                         : "the temporary folder's file system keeps no immutable flag (" +
                               std::string(std::strerror(errno)) + ")";
  }
  ~Immutable() {
    int flags = 0;
    if (why.empty() && ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ioctl(fd_, FS_IOC_SETFLAGS, &flags);
    }
    if (fd_ >= 0) close(fd_);
  }
  std::string why;

 private:
  int fd_;
};

// A phone's Live Photo stills (and the same photo with its EXIF at the end
// of the file), each beside a movie made here with its identifier, as the
// parent meets them through the helper: one image asset per pair.
class LivePhotoAssetsTest : public HelperHome {
 protected:
  void SetUp() override {
    HelperHome::SetUp();
    for (const char* name : {"IMG_2927.HEIC", "exif-at-eof.heic"}) VEK_REQUIRE_FILE(samplesFolder() / name);
  }
  // The movie's path.
  Path pair(const std::string& folder, const std::string& still, const std::string& movie) {
    fs::create_directories(pictures() / folder);
    fs::copy_file(samplesFolder() / still, pictures() / folder / still);
    makeLiveMovie(pictures() / folder / movie, kSampleContentIdentifier);
    return pictures() / folder / movie;
  }
};

TEST_F(LivePhotoAssetsTest, ListedRenderedAndTrashedAsOneImage) {
  pair("export", "exif-at-eof.heic", "exif-at-eof_3.mov");
  pair("phone", "IMG_2927.HEIC", "IMG_2927.MOV");
  HelperProcess helper(helperBinary(), environment());
  const std::vector<std::string> images = identifiers(helper, "image");
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(identifiers(helper, "video"), std::vector<std::string>{});
  for (const std::string& id : images) {
    simdjson::dom::element image = parse(render(helper, id, 256))["ok"];
    EXPECT_EQ(std::pair(int64_t(image["width"]), int64_t(image["height"])), std::pair(int64_t(192), int64_t(256)));
    EXPECT_EQ(exportVideo(helper, id), R"({"id":6,"err":{"code":"badRequest","message":"asset is not a video"}})");
  }

  // The same date: the first by path is the one in "export".
  EXPECT_EQ(helper.request(deleteRequest(7, {images[0]})), R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_TRUE(fs::is_empty(pictures() / "export"));
  for (const char* name : {"exif-at-eof.heic", "exif-at-eof_3.mov"}) {
    EXPECT_TRUE(fs::exists(trashFiles() / name));
    EXPECT_TRUE(fs::exists(trashFiles().parent_path() / "info" / (name + std::string(".trashinfo"))));
  }
  EXPECT_EQ(identifiers(helper, "image"), std::vector<std::string>{images[1]});
  EXPECT_EQ(identifiers(helper, "video"), std::vector<std::string>{});
  EXPECT_EQ(helper.finish(), 0);
}

TEST_F(LivePhotoAssetsTest, AMovieThatCannotMoveKeepsItsStill) {
  const Immutable movie(pair("phone", "IMG_2927.HEIC", "IMG_2927.MOV"));
  if (!movie.why.empty()) GTEST_SKIP() << movie.why;
  HelperProcess helper(helperBinary(), environment());
  const std::vector<std::string> images = identifiers(helper, "image");
  ASSERT_EQ(images.size(), 1u);
  const std::string reply = helper.request(deleteRequest(7, images));
  EXPECT_NE(reply.find("IMG_2927.MOV\\\" to the trash: it is immutable"), std::string::npos) << reply;
  EXPECT_TRUE(fs::exists(pictures() / "phone/IMG_2927.HEIC"));
  EXPECT_FALSE(fs::exists(trashFiles() / "IMG_2927.HEIC"));
  EXPECT_EQ(identifiers(helper, "image"), images);
  EXPECT_EQ(identifiers(helper, "video"), std::vector<std::string>{});
  EXPECT_EQ(helper.finish(), 0);
}

}  // namespace
}  // namespace vek::testing

#include "platform/linux/helper_home.hpp"
#include "support/samples.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;
using LivePhotoAssetsTest = HelperHome;

// A phone's Live Photo stills (the second with its EXIF at the end of the
// file), each beside a movie made here with its identifier, as the parent
// meets them: one image asset per pair, rendered from the still, trashed
// with its movie or not at all.
TEST_F(LivePhotoAssetsTest, LivePhotosAreListedRenderedAndTrashedAsOneImage) {
  for (const auto& [folder, still, movie] : {std::tuple("export", "exif-at-eof.heic", "exif-at-eof_3.mov"),
                                             std::tuple("phone", "IMG_2927.HEIC", "IMG_2927.MOV")}) {
    VEK_REQUIRE_FILE(samplesFolder() / still);
    fs::create_directories(pictures() / folder);
    fs::copy_file(samplesFolder() / still, pictures() / folder / still);
    makeLiveMovie(pictures() / folder / movie);
  }
  HelperProcess helper(helperBinary(), environment());
  const std::vector<std::string> images = identifiers(helper, "image");  // of one date: "export" first
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(identifiers(helper, "video"), std::vector<std::string>{});
  for (const std::string& id : images) {
    simdjson::dom::element image = parse(render(helper, id, 256))["ok"];
    EXPECT_EQ(std::pair(int64_t(image["width"]), int64_t(image["height"])), std::pair(int64_t(192), int64_t(256)));
    EXPECT_EQ(exportVideo(helper, id), R"({"id":6,"err":{"code":"badRequest","message":"asset is not a video"}})");
  }

  // A movie that cannot move (chattr +i: as root, on ext4, btrfs or xfs) keeps its still.
  const std::string immutable = quoted(pictures() / "phone/IMG_2927.MOV");
  const bool madeImmutable = std::system(("chattr +i " + immutable + " 2>/dev/null").c_str()) == 0;
  if (madeImmutable) {
    const std::string reply = helper.request(deleteRequest(7, {images[1]}));
    std::system(("chattr -i " + immutable).c_str());
    EXPECT_NE(reply.find("IMG_2927.MOV\\\" to the trash: it is immutable"), std::string::npos) << reply;
    EXPECT_TRUE(fs::exists(pictures() / "phone/IMG_2927.HEIC"));
    EXPECT_EQ(identifiers(helper, "image"), images);
  }

  EXPECT_EQ(helper.request(deleteRequest(7, {images[0]})), R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_TRUE(fs::is_empty(pictures() / "export"));
  for (const std::string name : {"exif-at-eof.heic", "exif-at-eof_3.mov"}) {
    EXPECT_TRUE(fs::exists(trashFiles() / name));
    EXPECT_TRUE(fs::exists(trashFiles() / "../info" / (name + ".trashinfo")));
  }
  EXPECT_EQ(identifiers(helper, "image"), std::vector<std::string>{images[1]});
  EXPECT_EQ(identifiers(helper, "video"), std::vector<std::string>{});
  EXPECT_EQ(helper.finish(), 0);
  if (!madeImmutable) GTEST_SKIP() << "a movie that cannot move was not tried: chattr +i needs root and ext4";
}

}  // namespace
}  // namespace vek::testing

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/linux/helper_home.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

// The helper binary driven exactly as a parent application drives it.
using HelperProtocolTest = HelperHome;

TEST_F(HelperProtocolTest, ListsRendersExportsAndDeletesThroughTheProtocol) {
  makeImage(pictures() / "older.jpg", 64, 48);
  setMtime(pictures() / "older.jpg", 1500000000);
  makeImage(pictures() / "newer.png", 30, 40);
  setMtime(pictures() / "newer.png", 1600000000);
  makeImage(pictures() / ".hidden.jpg", 8, 8);
  makeVideo(videos() / "clip.mp4", 1, "64x48", "-metadata creation_time=2019-07-24T08:25:57.000000Z");

  HelperProcess helper(helperBinary(), environment());
  auto images = parse(helper.request(R"({"id":1,"cmd":"fetch_assets"})"));
  auto assets = images["ok"]["assets"].get_array();
  ASSERT_EQ(assets.size(), 2u);
  auto newer = assets.at(0);
  EXPECT_EQ(int64_t(newer["pixelWidth"]), 30);
  EXPECT_EQ(int64_t(newer["pixelHeight"]), 40);
  EXPECT_EQ(uint64_t(newer["creationDateMs"]), 1600000000000u);
  EXPECT_EQ(std::string_view(newer["kind"]), "image");
  const std::string newerId = text(newer["localIdentifier"]);
  const std::string olderId = text(assets.at(1)["localIdentifier"]);
  EXPECT_EQ(uint64_t(assets.at(1)["creationDateMs"]), 1500000000000u);

  auto videos = parse(helper.request(R"({"id":2,"cmd":"fetch_assets","kind":"video"})"))["ok"]["assets"].get_array();
  ASSERT_EQ(videos.size(), 1u);
  auto clip = videos.at(0);
  EXPECT_EQ(std::string_view(clip["kind"]), "video");
  EXPECT_EQ(uint64_t(clip["creationDateMs"]), 1563956757000u);
  EXPECT_NEAR(double(clip["durationSeconds"]), 1.0, 0.05);
  const std::string clipId = text(clip["localIdentifier"]);

  auto image = parse(render(helper, olderId, 32))["ok"];
  EXPECT_EQ(int64_t(image["width"]), 32);
  EXPECT_EQ(int64_t(image["height"]), 24);
  EXPECT_EQ(std::string_view(image["jpegBase64"]).substr(0, 4), "/9j/");

  const fs::path movie = text(parse(exportVideo(helper, clipId))["ok"]["tempPath"]);
  EXPECT_EQ(movie.parent_path(), temporary());
  EXPECT_EQ(movie.filename().string().size(), 47u);
  struct stat info {};
  ASSERT_EQ(stat(movie.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  EXPECT_EQ(helper.request(deleteRequest(7, {olderId, olderId, "nobody"})),
            R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_TRUE(fs::exists(trashFiles() / "older.jpg"));
  EXPECT_TRUE(fs::exists(home() / ".local/share/Trash/info/older.jpg.trashinfo"));
  EXPECT_FALSE(fs::exists(pictures() / "older.jpg"));
  EXPECT_EQ(identifiers(helper, "image"), std::vector<std::string>{newerId});
  EXPECT_EQ(render(helper, olderId, 0), R"({"id":5,"err":{"code":"assetNotFound","message":"PHAsset not found"}})");

  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

// The media libraries are loaded only when needed: a helper whose modules are
// missing still lists what the catalog knows and deletes, answers what needs
// them with the reason, and goes on serving.
TEST_F(HelperProtocolTest, WithoutItsModulesTheHelperListsDeletesAndSaysWhatIsMissing) {
  if (!kHelperLoadsModules) GTEST_SKIP() << "this helper has its media code linked in";
  makeImage(pictures() / "kept.jpg", 64, 48);
  makeImage(pictures() / "deleted.jpg", 64, 48);
  makeVideo(videos() / "clip.mp4", 1);
  HelperProcess complete(helperBinary(), environment());
  const std::vector<std::string> images = identifiers(complete, "image");
  const std::vector<std::string> videos = identifiers(complete, "video");
  ASSERT_EQ(complete.finish(), 0);
  ASSERT_EQ(images.size(), 2u);
  ASSERT_EQ(videos.size(), 1u);

  const fs::path alone = temporary() / "bin" / "vek-photokit-helper";
  fs::create_directories(alone.parent_path());
  fs::copy_file(helperBinary(), alone);
  HelperProcess helper(alone.string(), environment());
  EXPECT_EQ(identifiers(helper, "image"), images);
  const std::string rendered = render(helper, images[0], 32);
  EXPECT_NE(rendered.find(R"("code":"internal")"), std::string::npos) << rendered;
  EXPECT_NE(rendered.find("vek-photokit-media.so could not be loaded"), std::string::npos) << rendered;
  const std::string exported = exportVideo(helper, videos[0]);
  EXPECT_NE(exported.find("vek-photokit-export.so could not be loaded"), std::string::npos) << exported;
  EXPECT_EQ(helper.request(deleteRequest(7, {images[1]})), R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_EQ(identifiers(helper, "image"), std::vector<std::string>{images[0]});
  // A file never probed needs the media module: the listing says so.
  makeImage(pictures() / "new.jpg", 8, 8);
  const std::string listing = helper.request(R"({"id":8,"cmd":"fetch_assets"})");
  EXPECT_NE(listing.find("vek-photokit-media.so could not be loaded"), std::string::npos) << listing;
  EXPECT_EQ(helper.finish(), 0);
}

}  // namespace
}  // namespace vek::testing

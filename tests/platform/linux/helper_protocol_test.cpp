#include "platform/linux/helper_home.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

using HelperProtocolTest = HelperHome;

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

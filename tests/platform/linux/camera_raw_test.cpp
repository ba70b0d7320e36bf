#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/linux/helper_home.hpp"
#include "support/dng_writer.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

// A 320 x 240 DNG, turned a quarter clockwise, taken at 2021-05-06T05:08:09.5Z,
// with a 160 x 120 preview.
std::string cameraDng(const std::string& previewJpeg) {
  DngContent content;
  content.width = 320;
  content.height = 240;
  content.orientation = 6;
  content.picture = [](int x, int) { return x < 160 ? LinearRgb{0.4, 0.3, 0.2} : LinearRgb{1, 1, 1}; };
  content.dateTimeOriginal = "2021:05:06 07:08:09";
  content.subSecTimeOriginal = "5";
  content.offsetTimeOriginal = "+02:00";
  content.previewJpeg = previewJpeg;
  content.previewWidth = 160;
  content.previewHeight = 120;
  return makeDng(content);
}

// RAW and JPEG XL files in the library, driven through the helper binary.
using CameraRawTest = HelperHome;

TEST_F(CameraRawTest, RawAndJxlFilesAreListedRenderedAndTrashed) {
  makeImage(temporary() / "preview.jpg", 160, 120);
  const std::string dng = cameraDng(readAll(temporary() / "preview.jpg"));
  writeAll(pictures() / "IMG_0001.DNG", dng);
  // The camera's JPEG of the same shot is an asset of its own.
  makeImage(pictures() / "IMG_0001.JPG", 240, 320);
  setMtime(pictures() / "IMG_0001.JPG", 1000);
  makeImage(pictures() / "phone.jxl", 90, 60);
  setMtime(pictures() / "phone.jxl", 800);

  HelperProcess helper(helperBinary(), environment());
  auto assets = parse(helper.request(R"({"id":1,"cmd":"fetch_assets","kind":"image"})"))["ok"]["assets"].get_array();
  ASSERT_EQ(assets.size(), 3u);
  auto raw = assets.at(0);
  EXPECT_EQ(int64_t(raw["pixelWidth"]), 240);
  EXPECT_EQ(int64_t(raw["pixelHeight"]), 320);
  EXPECT_EQ(uint64_t(raw["creationDateMs"]), 1620277689500u);
  const std::string rawId = text(raw["localIdentifier"]);
  const std::string jpegId = text(assets.at(1)["localIdentifier"]);
  EXPECT_EQ(uint64_t(assets.at(1)["creationDateMs"]), 1000000u);
  auto jxl = assets.at(2);
  EXPECT_EQ(int64_t(jxl["pixelWidth"]), 90);
  EXPECT_EQ(int64_t(jxl["pixelHeight"]), 60);
  const std::string jxlId = text(jxl["localIdentifier"]);

  for (int box : {100, 0}) {
    auto image = parse(render(helper, rawId, box))["ok"];
    EXPECT_EQ(int64_t(image["width"]), box ? 75 : 240) << box;
    EXPECT_EQ(int64_t(image["height"]), box ? 100 : 320) << box;
  }
  auto image = parse(render(helper, jxlId, 45))["ok"];
  EXPECT_EQ(int64_t(image["width"]), 45);
  EXPECT_EQ(int64_t(image["height"]), 30);

  EXPECT_EQ(helper.request(deleteRequest(7, {rawId})), R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_EQ(readAll(trashFiles() / "IMG_0001.DNG"), dng);
  EXPECT_FALSE(fs::exists(pictures() / "IMG_0001.DNG"));
  const std::vector<std::string> left = identifiers(helper, "image");
  EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), (std::set<std::string>{jpegId, jxlId}));

  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

}  // namespace
}  // namespace vek::testing

#include <glib.h>
#include <vips/vips.h>

#include <map>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/helper_home.hpp"

namespace vek::testing {
namespace {

struct PixelSize {
  int64_t width;
  int64_t height;
  bool operator==(const PixelSize&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PixelSize& size) {
  return out << size.width << "x" << size.height;
}

// The size of a Base64 JPEG, read from its own header.
PixelSize jpegSize(std::string_view base64) {
  gsize length = 0;
  guchar* bytes = g_base64_decode(std::string(base64).c_str(), &length);
  VipsImage* image = nullptr;
  PixelSize size{-1, -1};
  if (vips_jpegload_buffer(bytes, length, &image, nullptr) == 0) {
    size = {image->Xsize, image->Ysize};
    g_object_unref(image);
  }
  vips_error_clear();
  g_free(bytes);
  return size;
}

// Pictures one pixel wide or high, and so thin that at small boxes their
// shorter side rounds to nothing, in every format a loader with its own
// shrink-on-load (or none) reads.
class ThinImagesTest : public HelperHome, public ::testing::WithParamInterface<const char*> {
 protected:
  static void SetUpTestSuite() { linux_library::startMediaLibraries(); }
};

TEST_P(ThinImagesTest, RenderAtEveryBoxWithTheirShorterSideKept) {
  struct Shape {
    PixelSize stored;
    std::map<int, PixelSize> fitted;  // by box
  };
  const Shape shapes[] = {
      {{1, 4000}, {{1, {1, 1}}, {2, {1, 2}}, {10, {1, 10}}, {100, {1, 100}}}},
      {{4000, 3}, {{1, {1, 1}}, {2, {2, 1}}, {10, {10, 1}}, {100, {100, 1}}}},
      {{13, 169}, {{1, {1, 1}}, {2, {1, 2}}, {10, {1, 10}}, {100, {8, 100}}}},
  };
  const std::string extension = GetParam();
  for (const Shape& shape : shapes) {
    std::ostringstream name;
    name << shape.stored << "." << extension;
    makeImage(pictures() / name.str(), int(shape.stored.width), int(shape.stored.height));
  }

  HelperProcess helper(helperBinary(), environment());
  std::map<std::string, std::string> byStoredSize;
  for (auto asset : parse(helper.request(R"({"id":1,"cmd":"fetch_assets"})"))["ok"]["assets"].get_array()) {
    std::ostringstream size;
    size << PixelSize{int64_t(asset["pixelWidth"]), int64_t(asset["pixelHeight"])};
    byStoredSize[size.str()] = text(asset["localIdentifier"]);
  }
  for (const Shape& shape : shapes) {
    std::ostringstream stored;
    stored << shape.stored;
    ASSERT_EQ(byStoredSize.count(stored.str()), 1u) << stored.str() << " is not listed";
    for (const auto& [box, fitted] : shape.fitted) {
      SCOPED_TRACE(stored.str() + " at box " + std::to_string(box));
      const std::string reply = render(helper, byStoredSize[stored.str()], box);
      if (reply.find(R"("ok":)") == std::string::npos) {
        ADD_FAILURE() << reply;
        continue;
      }
      auto image = parse(reply)["ok"];
      EXPECT_EQ((PixelSize{int64_t(image["width"]), int64_t(image["height"])}), fitted);
      EXPECT_EQ(jpegSize(std::string_view(image["jpegBase64"])), fitted);
    }
  }
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Formats, ThinImagesTest, ::testing::Values("jpg", "png", "webp", "tif", "gif", "heic", "avif"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace vek::testing

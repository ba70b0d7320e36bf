#include "platform/linux/render/render.hpp"

#include <array>
#include <cmath>
#include <tuple>

#include <vips/vips.h>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/decoders/vips_image_ptr.hpp"
#include "platform/linux/helper_home.hpp"
#include "platform/linux/probe/probe.hpp"
#include "platform/linux/render/decoded_render.hpp"
#include "platform/linux/scoped_environment.hpp"
#include "support/dng_writer.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;
using vek::testing::DngContent;
using vek::testing::LinearRgb;
using vek::testing::makeDng;
using vek::testing::readAll;
using vek::testing::ScopedEnvironment;
using vek::testing::writeAll;
using Rgb = std::array<double, 3>;


// The scene the raw data holds: a coloured left half beside a white right
// half (the white also gives the developer's auto-exposure its white point).
constexpr LinearRgb kSceneColour = {0.5, 0.2, 0.1};
// The preview's halves, in sRGB: distinct from the developed scene, so a
// render tells which one it came from.
constexpr Rgb kPreviewLeft = {200, 40, 40};
constexpr Rgb kPreviewRight = {40, 80, 200};

// The developer's tone curve (ITU-R BT.709, dcraw's default) in 8 bits.
double toneCurve(double linear) {
  const double encoded = linear < 0.018 ? 4.5 * linear : 1.099 * std::pow(linear, 0.45) - 0.099;
  return 255 * encoded;
}

const Rgb kDevelopedColour = {toneCurve(kSceneColour[0]), toneCurve(kSceneColour[1]), toneCurve(kSceneColour[2])};
constexpr Rgb kWhite = {255, 255, 255};

// A baseline JPEG of width x height, its left half `left`, the rest `right`.
std::string twoColourJpeg(int width, int height, Rgb left, Rgb right) {
  std::string pixels(static_cast<size_t>(width) * height * 3, '\0');
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Rgb& colour = x < width / 2 ? left : right;
      for (int band = 0; band < 3; ++band) pixels[(static_cast<size_t>(y) * width + x) * 3 + band] = char(colour[band]);
    }
  }
  VipsImagePtr image(vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, 3, VIPS_FORMAT_UCHAR));
  void* buffer = nullptr;
  size_t length = 0;
  EXPECT_EQ(vips_jpegsave_buffer(image.get(), &buffer, &length, "Q", 95, nullptr), 0);
  std::string jpeg(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return jpeg;
}

DngContent scene(int orientation) {
  DngContent content;
  content.width = 320;
  content.height = 240;
  content.orientation = orientation;
  content.picture = [](int x, int) { return x < 160 ? kSceneColour : LinearRgb{1, 1, 1}; };
  return content;
}

DngContent sceneWithPreview(int orientation, int previewWidth, int previewHeight) {
  DngContent content = scene(orientation);
  content.previewJpeg = twoColourJpeg(previewWidth, previewHeight, kPreviewLeft, kPreviewRight);
  content.previewWidth = previewWidth;
  content.previewHeight = previewHeight;
  return content;
}

// A render's pixels, as a reply carries them.
struct Rendered {
  VipsImagePtr pixels;

  // The mean colour of the rectangle, in fractions of the image's sides.
  Rgb mean(double left, double top, double right, double bottom) const {
    const int x = static_cast<int>(left * pixels->Xsize);
    const int y = static_cast<int>(top * pixels->Ysize);
    const int w = static_cast<int>((right - left) * pixels->Xsize);
    const int h = static_cast<int>((bottom - top) * pixels->Ysize);
    VipsImagePtr area = vipsResult([&](VipsImage** out) { return vips_extract_area(pixels.get(), out, x, y, w, h, nullptr); });
    VipsImage* stats = nullptr;
    Rgb result{};
    if (area && vips_stats(area.get(), &stats, nullptr) == 0) {
      // Row 0 is all bands together; row b + 1 is band b; column 4 the mean.
      for (int band = 0; band < 3; ++band) result[band] = *VIPS_MATRIX(stats, 4, band + 1);
      g_object_unref(stats);
    }
    return result;
  }
};

void expectColour(const Rgb& actual, const Rgb& expected, const std::string& where) {
  for (int band = 0; band < 3; ++band) {
    EXPECT_NEAR(actual[band], expected[band], 8.0) << where << ", band " << band;
  }
}

class RawTest : public vek::testing::TempFolder {
 protected:
  static void SetUpTestSuite() { startMediaLibraries(); }

  fs::path write(const std::string& name, const DngContent& content) {
    writeAll(root_ / name, makeDng(content));
    return root_ / name;
  }

  static ProbeResult probe(const fs::path& path) {
    return probeFile(path, stampOfFile(path).value(), mediaKindForName(path.filename().string()).value());
  }

  // A fixed zone, so that dates without an offset have a known meaning.
  ScopedEnvironment zone_{"TZ", "EST5"};
};

TEST_F(RawTest, ListingGivesTheDisplayedSizeAndTheCaptureDate) {
  DngContent turned = scene(6);
  turned.dateTimeOriginal = "2021:05:06 07:08:09";
  turned.subSecTimeOriginal = "25";
  turned.offsetTimeOriginal = "+02:00";
  turned.dateTime = "2022:01:01 00:00:00";  // when it was last edited: not the capture
  DngContent edited = scene(1);
  edited.dateTime = "2020:01:02 03:04:05";
  write("turned.DNG", turned);
  write("edited.dng", edited);
  vek::testing::setMtime(write("undated.dng", scene(8)), 1500000000);
  const std::tuple<const char*, uint64_t, uint64_t, double> cases[] = {
      {"turned.DNG", 240, 320, 1620277689.25},
      {"edited.dng", 320, 240, 1577952245},
      {"undated.dng", 240, 320, 1500000000}};
  for (const auto& [name, width, height, date] : cases) {
    const ProbeResult result = probe(root_ / name);
    ASSERT_EQ(result.status, ProbeResult::Status::kMedia) << name;
    EXPECT_EQ(result.facts.mediaType, kMediaTypeImage) << name;
    EXPECT_EQ(std::pair(result.facts.pixelWidth, result.facts.pixelHeight), std::pair(width, height)) << name;
    EXPECT_NEAR(result.facts.creationDate.value_or(0), date, 1e-6) << name;
  }
}

// A preview is shown when it is whole and large enough for the box, turned
// as the RAW is; else the RAW is developed (at half size for small boxes).
TEST_F(RawTest, ALargeEnoughPreviewIsShownElseTheRawIsDeveloped) {
  DngContent damaged = sceneWithPreview(1, 160, 120);
  damaged.previewJpeg.resize(damaged.previewJpeg.size() / 2);
  write("preview.dng", sceneWithPreview(6, 160, 120));
  write("bare.dng", scene(1));
  write("cropped.dng", sceneWithPreview(1, 160, 90));
  write("cut-preview.dng", damaged);
  struct Case {
    const char* name;
    int64_t box;
    int width, height;
    Rgb first, second;  // of the left and right halves, or top and bottom ones when turned
  } const cases[] = {
      // The box needs 100 x 75 before turning: the 160 x 120 preview will do.
      // Turned a quarter clockwise, the stored left half is on top.
      {"preview.dng", 100, 75, 100, kPreviewLeft, kPreviewRight},
      // Too small for 200 x 150, and never used for the full size.
      {"preview.dng", 200, 150, 200, kDevelopedColour, kWhite},
      {"preview.dng", 0, 240, 320, kDevelopedColour, kWhite},
      {"bare.dng", 64, 64, 48, kDevelopedColour, kWhite},
      {"cropped.dng", 64, 64, 48, kDevelopedColour, kWhite},
      {"cut-preview.dng", 64, 64, 48, kDevelopedColour, kWhite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " box " + std::to_string(c.box));
    const Rendered shown{renderDecoded(root_ / c.name, c.box)};
    ASSERT_TRUE(shown.pixels);
    EXPECT_EQ(std::pair(shown.pixels->Xsize, shown.pixels->Ysize), std::pair(c.width, c.height));
    const bool turned = c.width < c.height;
    expectColour(turned ? shown.mean(0.1, 0.1, 0.9, 0.4) : shown.mean(0.1, 0.1, 0.4, 0.9), c.first, "first half");
    expectColour(turned ? shown.mean(0.1, 0.6, 0.9, 0.9) : shown.mean(0.6, 0.1, 0.9, 0.9), c.second, "second half");
  }
}

TEST_F(RawTest, DamagedAndOversizedRawFilesFail) {
  const std::string whole = makeDng(sceneWithPreview(1, 160, 120));
  writeAll(root_ / "cut.dng", whole.substr(0, whole.size() - whole.size() / 3));
  std::string noise = whole;
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = char((i * 7919) >> 3);
  writeAll(root_ / "noise.dng", noise);
  writeAll(root_ / "jpeg.nef", twoColourJpeg(64, 48, kPreviewLeft, kPreviewRight));
  DngContent huge = scene(1);
  huge.declaredWidth = 30000;
  huge.declaredHeight = 20000;
  write("huge.dng", huge);

  for (const char* name : {"noise.dng", "jpeg.nef", "huge.dng"}) {
    EXPECT_EQ(probe(root_ / name).status, ProbeResult::Status::kNotMedia) << name;
  }
  // The cut file's preview is whole and large enough for the small box, but
  // showing it would pass a half-copied file off as a good one.
  for (const char* name : {"cut.dng", "noise.dng", "huge.dng"}) {
    for (int64_t box : {0, 100}) {
      SCOPED_TRACE(std::string(name) + " box " + std::to_string(box));
      EXPECT_EQ(renderImageFile(root_ / name, box), nullptr);
    }
  }
}

}  // namespace
}  // namespace vek::linux_library

#include "platform/linux/render/render.hpp"

#include <array>
#include <tuple>
#include <cmath>
#include <cstdint>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/decoders/vips_image_ptr.hpp"
#include "platform/linux/helper_home.hpp"
#include "platform/linux/probe/probe.hpp"
#include "platform/linux/render/decoded_render.hpp"
#include "platform/linux/render/video_poster.hpp"
#include "support/samples.hpp"

extern "C" {
#include <libavutil/display.h>
}

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

using Pixel = std::vector<uint8_t>;
const Pixel kRed = {255, 0, 0};
const Pixel kBlue = {0, 0, 255};
const Pixel kWhite = {255, 255, 255};

// Pixels built by hand, so a test states exactly what the file holds.
struct Canvas {
  int width;
  int height;
  int bands;
  Pixel pixels;

  Canvas(int w, int h, const Pixel& fill) : width(w), height(h), bands(static_cast<int>(fill.size())) {
    for (int i = 0; i < w * h; ++i) pixels.insert(pixels.end(), fill.begin(), fill.end());
  }
  void paint(int x0, int y0, int w, int h, const Pixel& value) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x)
        std::copy(value.begin(), value.end(), pixels.begin() + (static_cast<size_t>(y) * width + x) * bands);
  }
  VipsImagePtr image() const {
    VipsImagePtr out(
        vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, bands, VIPS_FORMAT_UCHAR));
    out->Type = VIPS_INTERPRETATION_sRGB;
    return out;
  }
};

void save(VipsImage* image, const fs::path& path) {
  ASSERT_EQ(vips_image_write_to_file(image, path.c_str(), nullptr), 0) << vips_error_buffer();
}

using testing::readAll;
using testing::writeAll;

void ffmpeg(const std::string& arguments) { testing::run("ffmpeg -nostdin -loglevel error -y " + arguments); }

std::array<int, 3> pixelAt(VipsImage* image, int x, int y) {
  const uint8_t* p = VIPS_IMAGE_ADDR(image, x, y);
  return {p[0], p[1], p[2]};
}

// JPEG blurs block edges, so colours are sampled away from them and
// compared loosely.
::testing::AssertionResult hasColour(VipsImage* image, int x, int y, const Pixel& expected, int tolerance = 40) {
  const auto actual = pixelAt(image, x, y);
  for (int i = 0; i < 3; ++i) {
    if (std::abs(actual[i] - expected[i]) > tolerance) {
      return ::testing::AssertionFailure()
             << "pixel at " << x << "," << y << " is " << actual[0] << " " << actual[1] << " " << actual[2];
    }
  }
  return ::testing::AssertionSuccess();
}

double psnr(VipsImage* a, VipsImage* b) {
  VipsImagePtr d = vipsResult([&](VipsImage** out) { return vips_subtract(a, b, out, nullptr); });
  VipsImagePtr squared =
      vipsResult([&](VipsImage** out) { return d ? vips_multiply(d.get(), d.get(), out, nullptr) : -1; });
  double mean = 0;
  if (!squared || vips_avg(squared.get(), &mean, nullptr) != 0) return 0;
  return 10 * std::log10(255.0 * 255.0 / std::max(mean, 1e-9));
}

VipsImagePtr lanczosTo(VipsImage* image, int width, int height) {
  return vipsResult([&](VipsImage** out) {
    return vips_resize(image, out, static_cast<double>(width) / image->Xsize, "vscale",
                       static_cast<double>(height) / image->Ysize, "kernel", VIPS_KERNEL_LANCZOS3, "gap", 0.0, nullptr);
  });
}

class RenderTest : public testing::TempFolder {
 protected:
  static void SetUpTestSuite() { startMediaLibraries(); }
};

// Each file is white with a red top-left quarter, which must survive every
// loader and shrink.
TEST_F(RenderTest, FitsIntoTheBoxWithoutEnlarging) {
  const auto marked = [](int width, int height) {
    Canvas canvas(width, height, kWhite);
    canvas.paint(0, 0, width / 4, height / 4, kRed);
    return canvas;
  };
  // Boxes of 1024, 1000, 256 and 100 make it decode at DCT shrinks 1, 2, 4
  // and 8.
  save(marked(3000, 2000).image().get(), root_ / "large.jpg");
  save(marked(300, 500).image().get(), root_ / "portrait.png");
  save(marked(1600, 1200).image().get(), root_ / "photo.webp");
  // Two frames, the second all blue: only the first may be shown.
  Canvas frames(320, 480, kWhite);
  frames.paint(0, 0, 80, 60, kRed);
  frames.paint(0, 240, 320, 240, kBlue);
  VipsImagePtr strip = frames.image();
  vips_image_set_int(strip.get(), VIPS_META_PAGE_HEIGHT, 240);
  save(strip.get(), root_ / "animated.gif");

  struct Case {
    const char* file;
    int64_t box;
    int width;
    int height;
  };
  const Case cases[] = {
      {"large.jpg", 1024, 1024, 683},  {"large.jpg", 1000, 1000, 667}, {"large.jpg", 256, 256, 171},
      {"large.jpg", 100, 100, 67},     {"large.jpg", 0, 3000, 2000},   {"portrait.png", 256, 154, 256},
      {"portrait.png", -1, 300, 500},  {"photo.webp", 256, 256, 192},
      {"animated.gif", 256, 256, 192},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " box " + std::to_string(c.box));
    VipsImagePtr out = renderDecoded(root_ / c.file, c.box);
    ASSERT_TRUE(out);
    EXPECT_EQ(std::pair(out->Xsize, out->Ysize), std::pair(c.width, c.height));
    EXPECT_EQ(out->Bands, 3);
    EXPECT_TRUE(hasColour(out.get(), c.width / 8, c.height / 8, kRed));
    EXPECT_TRUE(hasColour(out.get(), c.width * 3 / 4, c.height * 3 / 4, kWhite));
  }
}

// Pictures so thin that at small boxes their shorter side would round to
// nothing, in each format whose loader has a shrink-on-load of its own (or
// none).
class ThinPictureTest : public RenderTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ThinPictureTest, KeepsItsShorterSideAtEveryBox) {
  using Size = std::pair<int, int>;
  const std::pair<Size, std::map<int64_t, Size>> shapes[] = {
      {{1, 4000}, {{1, {1, 1}}, {2, {1, 2}}, {10, {1, 10}}, {100, {1, 100}}}},
      {{4000, 3}, {{1, {1, 1}}, {2, {2, 1}}, {10, {10, 1}}, {100, {100, 1}}}},
      {{13, 169}, {{1, {1, 1}}, {2, {1, 2}}, {10, {1, 10}}, {100, {8, 100}}}},
  };
  for (const auto& [stored, fitted] : shapes) {
    const fs::path path = root_ / (std::to_string(stored.first) + "x" + std::to_string(stored.second) + "." +
                                   GetParam());
    testing::makeImage(path, stored.first, stored.second);
    const MediaFacts listed = probeFile(path, stampOfFile(path).value(), MediaKind::kImage).facts;
    EXPECT_EQ(Size(listed.pixelWidth, listed.pixelHeight), stored) << path;
    for (const auto& [box, size] : fitted) {
      SCOPED_TRACE(path.filename().string() + " at box " + std::to_string(box));
      VipsImagePtr out = renderDecoded(path, box);
      ASSERT_TRUE(out);
      EXPECT_EQ(Size(out->Xsize, out->Ysize), size);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, ThinPictureTest,
                         ::testing::Values("jpg", "png", "webp", "tif", "gif", "heic", "avif", "jxl"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_F(RenderTest, EveryExifOrientationComesOutUpright) {
  // Where the stored top-left and top-right corners appear once shown: 0
  // top-left, 1 top-right, 2 bottom-right, 3 bottom-left.
  struct Case {
    int orientation;
    bool swapsSides;
    int topLeftCorner;
    int topRightCorner;
  };
  const Case cases[] = {
      {1, false, 0, 1}, {2, false, 1, 0}, {3, false, 2, 3}, {4, false, 3, 2},
      {5, true, 0, 3},  {6, true, 1, 2},  {7, true, 2, 1},  {8, true, 3, 0},
  };
  constexpr int kWidth = 96;
  constexpr int kHeight = 64;
  constexpr int kMarker = 24;
  Canvas stored(kWidth, kHeight, kWhite);
  stored.paint(0, 0, kMarker, kMarker, kRed);
  stored.paint(kWidth - kMarker, 0, kMarker, kMarker, kBlue);

  for (const Case& c : cases) {
    SCOPED_TRACE("orientation " + std::to_string(c.orientation));
    VipsImagePtr tagged = stored.image();
    vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, c.orientation);
    // Concatenated onto the path: GCC 12 misreads a short literal inserted
    // before a string as an overlapping copy (its -Wrestrict fault 105651).
    fs::path path = root_ / "o";
    path += std::to_string(c.orientation) + ".jpg";
    save(tagged.get(), path);

    for (int64_t box : {0, 48}) {
      VipsImagePtr out = renderDecoded(path, box);
      ASSERT_TRUE(out);
      const double scale = box > 0 ? 48.0 / kWidth : 1.0;
      const int width = static_cast<int>(std::lround((c.swapsSides ? kHeight : kWidth) * scale));
      const int height = static_cast<int>(std::lround((c.swapsSides ? kWidth : kHeight) * scale));
      ASSERT_EQ(std::pair(out->Xsize, out->Ysize), std::pair(width, height));
      const int inset = static_cast<int>(kMarker * scale / 2);
      const auto corner = [&](int i) {
        return std::pair{i == 1 || i == 2 ? width - 1 - inset : inset, i >= 2 ? height - 1 - inset : inset};
      };
      const auto [rx, ry] = corner(c.topLeftCorner);
      const auto [bx, by] = corner(c.topRightCorner);
      EXPECT_TRUE(hasColour(out.get(), rx, ry, kRed));
      EXPECT_TRUE(hasColour(out.get(), bx, by, kBlue));
    }
  }
}

// A photo many times the box is decoded at a reduced scale by libjpeg-turbo
// directly: it must still come out upright, in sRGB, in the grey it was
// stored in, and fail when cut short.
TEST_F(RenderTest, PhotosDecodedAtReducedScaleKeepOrientationProfileAndFailWhenCut) {
  constexpr int kWidth = 960;
  constexpr int kHeight = 640;
  constexpr int kMarker = 240;
  const Pixel p3Red = {200, 60, 50};
  Canvas stored(kWidth, kHeight, kWhite);
  stored.paint(0, 0, kMarker, kMarker, p3Red);
  stored.paint(kWidth - kMarker, 0, kMarker, kMarker, kBlue);
  VipsImagePtr tagged = stored.image();
  vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, 6);
  const fs::path path = root_ / "sideways-p3.jpg";
  ASSERT_EQ(vips_jpegsave(tagged.get(), path.c_str(), "profile", "p3", nullptr), 0);

  // Orientation 6 shows the stored top-left corner at the top right. The
  // decoded rows are kept, so the render encodes the same twice.
  std::shared_ptr<PlatformImage> rendered = renderImageFile(path, 60);
  ASSERT_TRUE(rendered);
  const std::optional<std::string> jpeg = rendered->jpegRepresentation(0.85);
  ASSERT_TRUE(jpeg);
  EXPECT_EQ(jpeg, rendered->jpegRepresentation(0.85));
  VipsImagePtr out = decodeJpeg(*jpeg);
  ASSERT_TRUE(out);
  ASSERT_EQ(std::pair(out->Xsize, out->Ysize), std::pair(40, 60));
  EXPECT_TRUE(hasColour(out.get(), 32, 6, {217, 42, 40}, 20));
  EXPECT_TRUE(hasColour(out.get(), 32, 53, kBlue));
  const auto converted = pixelAt(out.get(), 32, 6);
  EXPECT_GT(converted[0], p3Red[0] + 10) << "the P3 profile was not applied";

  Canvas grey(kWidth, kHeight, Pixel{90});
  VipsImagePtr greyImage = grey.image();
  save(greyImage.get(), root_ / "grey.jpg");
  VipsImagePtr greyOut = renderDecoded(root_ / "grey.jpg", 60);
  ASSERT_TRUE(greyOut);
  EXPECT_TRUE(hasColour(greyOut.get(), 30, 20, {90, 90, 90}, 4));

  // A cut file gives no JPEG, however often it is asked for: its damage is
  // found at its header or when its rows are decoded for the encoder.
  const std::string bytes = readAll(path);
  writeAll(root_ / "cut.jpg", bytes.substr(0, bytes.size() * 2 / 3));
  if (std::shared_ptr<PlatformImage> cut = renderImageFile(root_ / "cut.jpg", 60)) {
    EXPECT_FALSE(cut->jpegRepresentation(0.85));
    EXPECT_FALSE(cut->jpegRepresentation(0.85));
  }
}

// A render dropped unencoded leaves no decode writing into the memory it
// freed. Noise takes long enough to decode that the renders are dropped
// while their rows are still being decoded. Its file is read in many
// pieces while it decodes: the red corner, stored last, must come through.
TEST_F(RenderTest, ReducedScaleRendersMayBeDroppedWhileDecoding) {
  VipsImagePtr noise =
      vipsResult([](VipsImage** out) { return vips_gaussnoise(out, 4000, 3000, "sigma", 60.0, nullptr); });
  ASSERT_TRUE(noise);
  VipsImagePtr noisyBands = vipsResult([&](VipsImage** out) {
    VipsImage* bands[3] = {noise.get(), noise.get(), noise.get()};
    return vips_bandjoin(bands, out, 3, nullptr);
  });
  ASSERT_TRUE(noisyBands);
  VipsImagePtr noisy(vips_image_copy_memory(noisyBands.get()));
  ASSERT_TRUE(noisy);
  double red[] = {255, 0, 0};
  ASSERT_EQ(vips_draw_rect(noisy.get(), red, 3, 3000, 2000, 1000, 1000, "fill", TRUE, nullptr), 0);
  ASSERT_EQ(vips_jpegsave(noisy.get(), (root_ / "noise.jpg").c_str(), "Q", 95, nullptr), 0);
  ASSERT_GT(fs::file_size(root_ / "noise.jpg"), 2u << 20);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(renderImageFile(root_ / "noise.jpg", 100));
  // At half size the square spans x 750 to 1000 and y 500 to 750. Bytes
  // handed to the decoder twice or skipped would move it.
  VipsImagePtr out = renderDecoded(root_ / "noise.jpg", 1000);
  ASSERT_TRUE(out);
  EXPECT_TRUE(hasColour(out.get(), 870, 620, kRed));
  EXPECT_TRUE(hasColour(out.get(), 754, 620, kRed));
  EXPECT_TRUE(hasColour(out.get(), 870, 504, kRed));
  EXPECT_FALSE(hasColour(out.get(), 746, 620, kRed));
  EXPECT_FALSE(hasColour(out.get(), 870, 496, kRed));
}

TEST_F(RenderTest, AlphaIsFlattenedOntoWhite) {
  // Left: transparent black; right: opaque green; the middle rows half
  // transparent black.
  Canvas canvas(64, 64, {0, 0, 0, 0});
  canvas.paint(32, 0, 32, 64, {0, 160, 0, 255});
  canvas.paint(0, 24, 64, 16, {0, 0, 0, 128});
  VipsImagePtr rgba = canvas.image();
  save(rgba.get(), root_ / "alpha8.png");
  VipsImagePtr rgba16 = vipsResult(
      [&](VipsImage** out) { return vips_colourspace(rgba.get(), out, VIPS_INTERPRETATION_RGB16, nullptr); });
  ASSERT_TRUE(rgba16);
  save(rgba16.get(), root_ / "alpha16.png");
  std::vector<const char*> names = {"alpha8.png", "alpha16.png"};
  // HEIF carries alpha as a plane of its own.
  if (vips_image_write_to_file(rgba.get(), (root_ / "alpha.heic").c_str(), "lossless", TRUE, nullptr) == 0) {
    names.push_back("alpha.heic");
  }
  vips_error_clear();

  for (const char* name : names) {
    SCOPED_TRACE(name);
    VipsImagePtr out = renderDecoded(root_ / name, 0);
    ASSERT_TRUE(out);
    EXPECT_TRUE(hasColour(out.get(), 8, 8, kWhite, 8));
    EXPECT_TRUE(hasColour(out.get(), 56, 8, {0, 160, 0}, 20));
    EXPECT_TRUE(hasColour(out.get(), 8, 32, {127, 127, 127}, 12));
  }
}

TEST_F(RenderTest, HeicIsTurnedUprightOnce) {
  const fs::path sample = testing::samplesFolder() / "Issue_487.heic";
  VEK_REQUIRE_FILE(sample);
  // irot 270 and EXIF orientation 6 both describe the same quarter turn.
  VipsImagePtr large = renderDecoded(sample, 1024);
  VipsImagePtr small = renderDecoded(sample, 256);
  ASSERT_TRUE(large && small);
  EXPECT_EQ(std::pair(large->Xsize, large->Ysize), std::pair(768, 1024));
  EXPECT_EQ(std::pair(small->Xsize, small->Ysize), std::pair(192, 256));

  // libheif applying the file's transformations itself is the reference.
  VipsImagePtr shown = vipsResult([&](VipsImage** out) { return vips_heifload(sample.c_str(), out, nullptr); });
  ASSERT_TRUE(shown);
  EXPECT_GT(psnr(large.get(), lanczosTo(shown.get(), 768, 1024).get()), 35.0);
  // The small one comes from the file's stored thumbnail.
  EXPECT_GT(psnr(small.get(), lanczosTo(shown.get(), 192, 256).get()), 25.0);
}

// Damaged files in general are covered through the helper, folders and
// missing files with the export, which opens files the same way; these are
// the files that must never reach a loader at all.
TEST_F(RenderTest, UntrustedFormatsFail) {
  for (const char* name : {"drawing.svg", "drawing.jpg"}) {
    writeAll(root_ / name, R"(<svg xmlns="http://www.w3.org/2000/svg" width="90" height="60"></svg>)");
    for (int64_t box : {0, 256}) EXPECT_EQ(renderImageFile(root_ / name, box), nullptr) << name << " box " << box;
  }
}

TEST_F(RenderTest, JpegBytesCarryNoMetadataAndFollowTheFactor) {
  Canvas canvas(300, 200, kWhite);
  for (int x = 0; x < 300; x += 10) canvas.paint(x, 0, 5, 200, kBlue);
  VipsImagePtr image = canvas.image();
  vips_image_set_string(image.get(), "exif-ifd0-Make", "Test Camera");
  vips_image_set_int(image.get(), VIPS_META_ORIENTATION, 3);
  save(image.get(), root_ / "turned.jpg");

  auto rendered = renderImageFile(root_ / "turned.jpg", 0);
  ASSERT_TRUE(rendered);
  const auto good = rendered->jpegRepresentation(0.95);
  const auto poor = rendered->jpegRepresentation(0.3);
  ASSERT_TRUE(good && poor);
  EXPECT_LT(poor->size(), good->size());
  EXPECT_EQ(rendered->jpegRepresentation(0.95), good);
  EXPECT_FALSE(rendered->jpegRepresentation(std::nan("")));

  VipsImagePtr decoded = decodeJpeg(*good);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(vips_image_get_typeof(decoded.get(), VIPS_META_EXIF_NAME), 0u);
  EXPECT_EQ(vips_image_get_typeof(decoded.get(), VIPS_META_ICC_NAME), 0u);
  EXPECT_EQ(vips_image_get_orientation(decoded.get()), 1);
}

TEST_F(RenderTest, VideoPostersAreUpright) {
  const fs::path plain = root_ / "plain.mp4";
  const fs::path video = root_ / "rotated.mp4";
  // A white frame with a red marker at the stored top-left and a blue one at
  // the stored top-right.
  ffmpeg("-f lavfi -i color=c=white:s=96x64:d=0.4,drawbox=x=0:y=0:w=24:h=24:color=red:t=fill,"
         "drawbox=x=72:y=0:w=24:h=24:color=blue:t=fill -c:v libx264 -pix_fmt yuv420p -bf 2 " + plain.string());
  // FFmpeg 5.1 turns the rotate tag into a display matrix only when copying.
  ffmpeg("-i " + plain.string() + " -c copy -metadata:s:v:0 rotate=90 " + video.string());
  // The ffmpeg tool applies the display matrix itself when it decodes.
  ffmpeg("-i " + video.string() + " -frames:v 1 " + (root_ / "shown.png").string());
  VipsImagePtr shown(vips_image_new_from_file((root_ / "shown.png").c_str(), "access", VIPS_ACCESS_RANDOM, nullptr));
  ASSERT_TRUE(shown);
  ASSERT_EQ(shown->Xsize, 64);

  VipsImagePtr out = delivered(renderVideoPoster(video, 0));
  ASSERT_TRUE(out);
  EXPECT_EQ(std::pair(out->Xsize, out->Ysize), std::pair(64, 96));
  EXPECT_GT(psnr(out.get(), shown.get()), 30.0);
  auto fitted = renderVideoPoster(video, 48);
  ASSERT_TRUE(fitted);
  EXPECT_EQ(fitted->size(), (ImageSize{32, 48}));
}

// The poster test turns one way; this one every way. av_display_rotation_set
// turns clockwise as seen on screen; the mirror then flips the shown image.
TEST(DisplayMatrixTest, GivesTheExifOrientationThatShowsTheSameImage) {
  const std::tuple<double, bool, int> cases[] = {{0, false, 1}, {0, true, 2},   {180, false, 3}, {180, true, 4},
                                                 {90, true, 5}, {90, false, 6}, {-90, true, 7},  {-90, false, 8}};
  for (const auto& [clockwise, mirror, orientation] : cases) {
    int32_t matrix[9];
    av_display_rotation_set(matrix, clockwise);
    if (mirror) av_display_matrix_flip(matrix, 1, 0);
    EXPECT_EQ(orientationFromDisplayMatrix(matrix), orientation) << clockwise << (mirror ? " mirrored" : "");
  }
  const int32_t zero[9] = {};
  EXPECT_EQ(orientationFromDisplayMatrix(zero), 1);
}

}  // namespace
}  // namespace vek::linux_library

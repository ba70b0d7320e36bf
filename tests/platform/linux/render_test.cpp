#include "platform/linux/render.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "platform/linux/media_libraries.hpp"
#include "platform/linux/render_fit.hpp"
#include "platform/linux/video_poster.hpp"
#include "platform/linux/vips_image_ptr.hpp"

extern "C" {
#include <libavutil/display.h>
}

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

using Rgb = std::array<int, 3>;
constexpr Rgb kRed = {255, 0, 0};
constexpr Rgb kBlue = {0, 0, 255};
constexpr Rgb kWhite = {255, 255, 255};
constexpr Rgb kGreen = {0, 160, 0};

const fs::path kSamples = "/work/shared/samples";

// Pixels built by hand, so a test states exactly what the file holds.
struct Canvas {
  int width;
  int height;
  int bands;
  std::vector<uint8_t> pixels;

  Canvas(int w, int h, std::vector<uint8_t> fill) : width(w), height(h), bands(static_cast<int>(fill.size())) {
    pixels.reserve(static_cast<size_t>(w) * h * bands);
    for (int i = 0; i < w * h; ++i) pixels.insert(pixels.end(), fill.begin(), fill.end());
  }
  void paint(int x0, int y0, int w, int h, const std::vector<uint8_t>& value) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x)
        std::copy(value.begin(), value.end(), pixels.begin() + (static_cast<size_t>(y) * width + x) * bands);
  }
  VipsImagePtr image() const {
    VipsImagePtr out(
        vips_image_new_from_memory_copy(pixels.data(), pixels.size(), width, height, bands, VIPS_FORMAT_UCHAR));
    out->Type = bands >= 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W;
    return out;
  }
};

std::vector<uint8_t> bytesOf(Rgb colour) {
  return {static_cast<uint8_t>(colour[0]), static_cast<uint8_t>(colour[1]), static_cast<uint8_t>(colour[2])};
}

void save(VipsImage* image, const fs::path& path) {
  ASSERT_EQ(vips_image_write_to_file(image, path.c_str(), nullptr), 0) << vips_error_buffer();
}

void writeBytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool ffmpeg(const std::string& arguments) {
  const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -y " + arguments + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// The delivered JPEG, decoded back into memory.
VipsImagePtr decodeJpeg(const std::string& jpeg) {
  VipsImagePtr lazy = vipsResult(
      [&](VipsImage** out) { return vips_jpegload_buffer(const_cast<char*>(jpeg.data()), jpeg.size(), out, nullptr); });
  return lazy ? VipsImagePtr(vips_image_copy_memory(lazy.get())) : nullptr;
}

VipsImagePtr renderDecoded(const fs::path& path, int64_t box) {
  auto image = renderImageFile(path, box);
  if (!image) return nullptr;
  auto jpeg = image->jpegRepresentation(0.85);
  if (!jpeg) return nullptr;
  VipsImagePtr decoded = decodeJpeg(*jpeg);
  if (decoded) {
    EXPECT_EQ(image->size().width, decoded->Xsize);
    EXPECT_EQ(image->size().height, decoded->Ysize);
  }
  return decoded;
}

Rgb pixelAt(VipsImage* image, int x, int y) {
  const uint8_t* p = VIPS_IMAGE_ADDR(image, x, y);
  return {p[0], p[1], p[2]};
}

// JPEG blurs block edges, so colours are sampled away from them and
// compared loosely.
::testing::AssertionResult hasColour(VipsImage* image, int x, int y, Rgb expected, int tolerance = 40) {
  const Rgb actual = pixelAt(image, x, y);
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

class RenderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { startMediaLibraries(); }

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vek-render-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

TEST_F(RenderTest, FitsIntoTheBoxWithoutEnlarging) {
  Canvas landscape(400, 300, bytesOf(kWhite));
  save(landscape.image().get(), dir_ / "small.jpg");
  // Big enough for every DCT shrink to be chosen by some box.
  Canvas photo(3000, 2000, bytesOf(kGreen));
  save(photo.image().get(), dir_ / "large.jpg");
  Canvas portrait(300, 500, bytesOf(kWhite));
  save(portrait.image().get(), dir_ / "portrait.png");

  struct Case {
    const char* file;
    int64_t box;
    int width;
    int height;
  };
  const Case cases[] = {
      {"small.jpg", 256, 256, 192}, {"small.jpg", 1024, 400, 300},   {"small.jpg", 400, 400, 300},
      {"small.jpg", 0, 400, 300},   {"small.jpg", -1, 400, 300},     {"large.jpg", 1024, 1024, 683},
      {"large.jpg", 256, 256, 171}, {"large.jpg", 100, 100, 67},     {"large.jpg", 2999, 2999, 1999},
      {"large.jpg", 0, 3000, 2000}, {"portrait.png", 256, 154, 256}, {"portrait.png", -1, 300, 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " box " + std::to_string(c.box));
    VipsImagePtr out = renderDecoded(dir_ / c.file, c.box);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Xsize, c.width);
    EXPECT_EQ(out->Ysize, c.height);
    EXPECT_EQ(out->Bands, 3);
  }
}

// Where the stored top-left and top-right corners appear once the image is
// shown as its EXIF orientation tag says.
struct OrientationCase {
  int orientation;
  bool swapsSides;
  int topLeftCorner;  // 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left
  int topRightCorner;
};

TEST_F(RenderTest, EveryExifOrientationComesOutUpright) {
  const OrientationCase cases[] = {
      {1, false, 0, 1}, {2, false, 1, 0}, {3, false, 2, 3}, {4, false, 3, 2},
      {5, true, 0, 3},  {6, true, 1, 2},  {7, true, 2, 1},  {8, true, 3, 0},
  };
  constexpr int kWidth = 96;
  constexpr int kHeight = 64;
  constexpr int kMarker = 24;
  Canvas stored(kWidth, kHeight, bytesOf(kWhite));
  stored.paint(0, 0, kMarker, kMarker, bytesOf(kRed));
  stored.paint(kWidth - kMarker, 0, kMarker, kMarker, bytesOf(kBlue));

  for (const OrientationCase& c : cases) {
    SCOPED_TRACE("orientation " + std::to_string(c.orientation));
    VipsImagePtr tagged = stored.image();
    vips_image_set_int(tagged.get(), VIPS_META_ORIENTATION, c.orientation);
    const fs::path path = dir_ / ("o" + std::to_string(c.orientation) + ".jpg");
    save(tagged.get(), path);

    for (int64_t box : {0, 48}) {
      VipsImagePtr out = renderDecoded(path, box);
      ASSERT_TRUE(out);
      const double scale = box > 0 ? 48.0 / kWidth : 1.0;
      const int width = static_cast<int>(std::lround((c.swapsSides ? kHeight : kWidth) * scale));
      const int height = static_cast<int>(std::lround((c.swapsSides ? kWidth : kHeight) * scale));
      ASSERT_EQ(out->Xsize, width);
      ASSERT_EQ(out->Ysize, height);
      const int inset = static_cast<int>(kMarker * scale / 2);
      const std::array<std::pair<int, int>, 4> corners = {{{inset, inset},
                                                           {width - 1 - inset, inset},
                                                           {width - 1 - inset, height - 1 - inset},
                                                           {inset, height - 1 - inset}}};
      const auto [rx, ry] = corners[c.topLeftCorner];
      const auto [bx, by] = corners[c.topRightCorner];
      EXPECT_TRUE(hasColour(out.get(), rx, ry, kRed));
      EXPECT_TRUE(hasColour(out.get(), bx, by, kBlue));
    }
  }
}

// Shrinking while decoding must cost no more than half a decibel against
// vipsthumbnail, both measured on the delivered JPEG against a Lanczos3
// resize of the full-size photo.
TEST_F(RenderTest, RealPhotoIsAsSharpAsVipsthumbnail) {
  const fs::path sample = kSamples / "Samsung_SM-J327T1.jpg";
  if (!fs::exists(sample)) GTEST_SKIP() << "no sample photo";
  VipsImagePtr upright =
      vipsResult([&](VipsImage** out) { return vips_jpegload(sample.c_str(), out, "autorotate", TRUE, nullptr); });
  ASSERT_TRUE(upright);
  // Stored 2576x1932 with orientation 6: shown as 1932x2576.
  ASSERT_EQ(upright->Xsize, 1932);

  for (int box : {256, 1024}) {
    SCOPED_TRACE("box " + std::to_string(box));
    VipsImagePtr out = renderDecoded(sample, box);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Ysize, box);
    VipsImagePtr thumbnail = vipsResult(
        [&](VipsImage** out) { return vips_thumbnail(sample.c_str(), out, box, "size", VIPS_SIZE_DOWN, nullptr); });
    void* buffer = nullptr;
    size_t length = 0;
    ASSERT_EQ(vips_jpegsave_buffer(thumbnail.get(), &buffer, &length, "Q", 85, "strip", TRUE, nullptr), 0);
    VipsImagePtr peer = decodeJpeg(std::string(static_cast<char*>(buffer), length));
    g_free(buffer);
    VipsImagePtr reference = lanczosTo(upright.get(), out->Xsize, out->Ysize);
    ASSERT_TRUE(peer && reference);
    EXPECT_GT(psnr(out.get(), reference.get()), psnr(peer.get(), reference.get()) - 0.5);
  }
}

TEST_F(RenderTest, DisplayP3ColoursAreConvertedToSrgb) {
  // A red that both gamuts hold: sRGB needs more red and less green and
  // blue than P3 for the same colour, about (217, 42, 40).
  const Rgb p3Value = {200, 60, 50};
  Canvas canvas(32, 32, bytesOf(p3Value));
  VipsImagePtr untagged = canvas.image();
  save(untagged.get(), dir_ / "untagged.png");

  VipsImagePtr withProfile = vipsResult(
      [&](VipsImage** out) { return vips_icc_transform(untagged.get(), out, "p3", "input_profile", "srgb", nullptr); });
  ASSERT_TRUE(withProfile);
  const void* profile = nullptr;
  size_t profileLength = 0;
  ASSERT_EQ(vips_image_get_blob(withProfile.get(), VIPS_META_ICC_NAME, &profile, &profileLength), 0);
  VipsImagePtr tagged = canvas.image();
  vips_image_set_blob_copy(tagged.get(), VIPS_META_ICC_NAME, profile, profileLength);
  save(tagged.get(), dir_ / "p3.png");
  save(tagged.get(), dir_ / "p3.jpg");

  VipsImagePtr plain = renderDecoded(dir_ / "untagged.png", 16);
  ASSERT_TRUE(plain);
  EXPECT_TRUE(hasColour(plain.get(), 8, 8, p3Value, 3));
  for (const char* name : {"p3.png", "p3.jpg"}) {
    SCOPED_TRACE(name);
    VipsImagePtr out = renderDecoded(dir_ / name, 16);
    ASSERT_TRUE(out);
    const Rgb srgb = pixelAt(out.get(), 8, 8);
    EXPECT_GT(srgb[0], p3Value[0] + 10);
    EXPECT_LT(srgb[1], p3Value[1] - 10);
    EXPECT_LT(srgb[2], p3Value[2] - 5);
  }
}

TEST_F(RenderTest, AlphaIsFlattenedOntoWhite) {
  // Left: transparent black; right: opaque green; the middle rows half
  // transparent black.
  Canvas canvas(64, 64, {0, 0, 0, 0});
  canvas.paint(32, 0, 32, 64, {0, 160, 0, 255});
  canvas.paint(0, 24, 64, 16, {0, 0, 0, 128});
  VipsImagePtr rgba = canvas.image();
  save(rgba.get(), dir_ / "alpha8.png");
  VipsImagePtr rgba16 = vipsResult(
      [&](VipsImage** out) { return vips_colourspace(rgba.get(), out, VIPS_INTERPRETATION_RGB16, nullptr); });
  ASSERT_TRUE(rgba16);
  save(rgba16.get(), dir_ / "alpha16.png");

  for (const char* name : {"alpha8.png", "alpha16.png"}) {
    SCOPED_TRACE(name);
    VipsImagePtr out = renderDecoded(dir_ / name, 0);
    ASSERT_TRUE(out);
    EXPECT_TRUE(hasColour(out.get(), 8, 8, kWhite, 8));
    EXPECT_TRUE(hasColour(out.get(), 56, 8, kGreen, 20));
    EXPECT_TRUE(hasColour(out.get(), 8, 32, {127, 127, 127}, 12));
  }
}

TEST_F(RenderTest, OtherFormatsRenderLikeJpeg) {
  Canvas canvas(1600, 1200, bytesOf(kWhite));
  canvas.paint(0, 0, 400, 400, bytesOf(kRed));
  VipsImagePtr image = canvas.image();
  save(image.get(), dir_ / "photo.webp");
  save(image.get(), dir_ / "photo.tif");
  vips_image_set_int(image.get(), VIPS_META_ORIENTATION, 8);
  save(image.get(), dir_ / "rotated.tif");
  // Two frames: red, then blue.
  Canvas frames(320, 480, bytesOf(kBlue));
  frames.paint(0, 0, 320, 240, bytesOf(kRed));
  VipsImagePtr strip = frames.image();
  vips_image_set_int(strip.get(), VIPS_META_PAGE_HEIGHT, 240);
  save(strip.get(), dir_ / "animated.gif");

  for (const char* name : {"photo.webp", "photo.tif", "animated.gif"}) {
    SCOPED_TRACE(name);
    VipsImagePtr out = renderDecoded(dir_ / name, 256);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Xsize, 256);
    EXPECT_EQ(out->Ysize, 192);
    EXPECT_TRUE(hasColour(out.get(), 20, 20, kRed));
  }
  VipsImagePtr rotated = renderDecoded(dir_ / "rotated.tif", 256);
  ASSERT_TRUE(rotated);
  EXPECT_EQ(rotated->Xsize, 192);
  EXPECT_TRUE(hasColour(rotated.get(), 20, 235, kRed));
  EXPECT_TRUE(hasColour(rotated.get(), 150, 100, kWhite));
}

TEST_F(RenderTest, HeicIsTurnedUprightOnce) {
  const fs::path sample = kSamples / "Issue_487.heic";
  if (!fs::exists(sample)) GTEST_SKIP() << "no sample HEIC";
  // irot 270 and EXIF orientation 6 both describe the same quarter turn.
  VipsImagePtr full = renderDecoded(sample, 0);
  VipsImagePtr large = renderDecoded(sample, 1024);
  VipsImagePtr small = renderDecoded(sample, 256);
  ASSERT_TRUE(full && large && small);
  EXPECT_EQ(full->Xsize, 3024);
  EXPECT_EQ(full->Ysize, 4032);
  EXPECT_EQ(large->Xsize, 768);
  EXPECT_EQ(large->Ysize, 1024);
  EXPECT_EQ(small->Xsize, 192);
  EXPECT_EQ(small->Ysize, 256);

  // libheif applying the file's transformations itself is the reference.
  VipsImagePtr shown = vipsResult([&](VipsImage** out) { return vips_heifload(sample.c_str(), out, nullptr); });
  ASSERT_TRUE(shown);
  EXPECT_GT(psnr(large.get(), lanczosTo(shown.get(), 768, 1024).get()), 35.0);
  // The small one comes from the file's stored thumbnail.
  EXPECT_GT(psnr(small.get(), lanczosTo(shown.get(), 192, 256).get()), 25.0);
}

TEST_F(RenderTest, HeicWithAlphaIsFlattened) {
  Canvas canvas(640, 480, {0, 0, 0, 0});
  canvas.paint(320, 0, 320, 480, {0, 0, 255, 255});
  if (vips_image_write_to_file(canvas.image().get(), (dir_ / "alpha.heic").c_str(), nullptr) != 0) {
    vips_error_clear();
    GTEST_SKIP() << "no HEIF encoder";
  }
  VipsImagePtr out = renderDecoded(dir_ / "alpha.heic", 320);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->Xsize, 320);
  EXPECT_EQ(out->Ysize, 240);
  EXPECT_TRUE(hasColour(out.get(), 40, 120, kWhite, 12));
  EXPECT_TRUE(hasColour(out.get(), 280, 120, kBlue));
}

TEST_F(RenderTest, UndecodableImagesFail) {
  Canvas canvas(800, 600, bytesOf(kGreen));
  canvas.paint(100, 100, 300, 300, bytesOf(kRed));
  save(canvas.image().get(), dir_ / "whole.jpg");
  const std::string whole = readBytes(dir_ / "whole.jpg");
  writeBytes(dir_ / "truncated.jpg", whole.substr(0, whole.size() / 2));
  writeBytes(dir_ / "empty.jpg", "");
  std::mt19937 random(7);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  writeBytes(dir_ / "noise.jpg", noise);
  // Vector formats are not among the loaders trusted with untrusted files.
  const std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="90" height="60"></svg>)";
  writeBytes(dir_ / "drawing.svg", svg);
  writeBytes(dir_ / "drawing.jpg", svg);
  fs::create_directory(dir_ / "folder.jpg");

  for (const char* name :
       {"truncated.jpg", "empty.jpg", "noise.jpg", "missing.jpg", "drawing.svg", "drawing.jpg", "folder.jpg"}) {
    for (int64_t box : {0, 256}) {
      SCOPED_TRACE(std::string(name) + " box " + std::to_string(box));
      EXPECT_EQ(renderImageFile(dir_ / name, box), nullptr);
    }
  }
}

uint32_t crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string bigEndian(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
  return bigEndian(static_cast<uint32_t>(data.size())) + type + data + bigEndian(crc32(type + data));
}

TEST_F(RenderTest, ImagesDeclaringTooManyPixelsAreRefusedBeforeDecoding) {
  // A valid header for 30000x30000 RGB (2.7 GB decoded) and almost no data.
  const std::string header = bigEndian(30000) + bigEndian(30000) + std::string("\x08\x02\x00\x00\x00", 5);
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
                          pngChunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8)) + pngChunk("IEND", "");
  writeBytes(dir_ / "huge.png", png);
  ASSERT_TRUE(vipsResult([&](VipsImage** out) { return vips_pngload((dir_ / "huge.png").c_str(), out, nullptr); }))
      << "the header must be readable";

  EXPECT_EQ(renderImageFile(dir_ / "huge.png", 256), nullptr);
  EXPECT_EQ(renderImageFile(dir_ / "huge.png", 0), nullptr);
  // No buffer for the full-size pixels was ever set aside.
  EXPECT_LT(vips_tracked_get_mem_highwater(), size_t{1} << 30);
}

TEST_F(RenderTest, JpegBytesCarryNoMetadataAndFollowTheFactor) {
  Canvas canvas(300, 200, bytesOf(kWhite));
  for (int x = 0; x < 300; x += 10) canvas.paint(x, 0, 5, 200, bytesOf(kBlue));
  VipsImagePtr image = canvas.image();
  vips_image_set_string(image.get(), "exif-ifd0-Make", "Test Camera");
  save(image.get(), dir_ / "upright.jpg");
  vips_image_set_int(image.get(), VIPS_META_ORIENTATION, 3);
  save(image.get(), dir_ / "turned.jpg");

  for (const char* name : {"upright.jpg", "turned.jpg"}) {
    SCOPED_TRACE(name);
    auto rendered = renderImageFile(dir_ / name, 0);
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
}

class VideoPosterTest : public RenderTest {
 protected:
  void SetUp() override {
    RenderTest::SetUp();
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
  }
};

// A white frame with a red marker at the stored top-left and a blue one at
// the stored top-right.
constexpr const char* kMarkedFrames =
    "-f lavfi -i color=c=white:s=96x64:d=0.4,"
    "drawbox=x=0:y=0:w=24:h=24:color=red:t=fill,drawbox=x=72:y=0:w=24:h=24:color=blue:t=fill";

TEST_F(VideoPosterTest, RotatedVideoLooksAsFfmpegShowsIt) {
  const fs::path plain = dir_ / "plain.mp4";
  const fs::path video = dir_ / "rotated.mp4";
  ASSERT_TRUE(ffmpeg(std::string(kMarkedFrames) + " -c:v libx264 -pix_fmt yuv420p -bf 2 " + plain.string()));
  // FFmpeg 5.1 turns the rotate tag into a display matrix only when copying.
  ASSERT_TRUE(ffmpeg("-i " + plain.string() + " -c copy -metadata:s:v:0 rotate=90 " + video.string()));
  // The ffmpeg tool applies the display matrix itself when it decodes.
  ASSERT_TRUE(ffmpeg("-i " + video.string() + " -frames:v 1 " + (dir_ / "shown.png").string()));
  VipsImagePtr shown(vips_image_new_from_file((dir_ / "shown.png").c_str(), "access", VIPS_ACCESS_RANDOM, nullptr));
  ASSERT_TRUE(shown);
  ASSERT_EQ(shown->Xsize, 64);

  auto poster = renderVideoPoster(video, 0);
  ASSERT_TRUE(poster);
  auto jpeg = poster->jpegRepresentation(0.85);
  ASSERT_TRUE(jpeg);
  VipsImagePtr out = decodeJpeg(*jpeg);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->Xsize, 64);
  EXPECT_EQ(out->Ysize, 96);
  EXPECT_GT(psnr(out.get(), shown.get()), 30.0);

  auto fitted = renderVideoPoster(video, 48);
  ASSERT_TRUE(fitted);
  EXPECT_EQ(fitted->size(), (ImageSize{32, 48}));
}

TEST_F(VideoPosterTest, UndecodableVideosFail) {
  const fs::path whole = dir_ / "whole.mp4";
  ASSERT_TRUE(ffmpeg(std::string(kMarkedFrames) + " -c:v libx264 -pix_fmt yuv420p " + whole.string()));
  const std::string bytes = readBytes(whole);
  // The sample table comes last, so the front half is all data and no index.
  writeBytes(dir_ / "truncated.mp4", bytes.substr(0, bytes.size() / 2));
  writeBytes(dir_ / "empty.mp4", "");
  std::mt19937 random(11);
  std::string noise(8192, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  writeBytes(dir_ / "noise.mp4", noise);
  // A concat script would make the demuxer read another file of its choosing.
  writeBytes(dir_ / "script.mp4", "ffconcat version 1.0\nfile whole.mp4\n");
  ASSERT_TRUE(ffmpeg("-f lavfi -i sine=d=0.5 " + (dir_ / "sound.m4a").string()));

  ASSERT_TRUE(renderVideoPoster(whole, 64));
  for (const char* name : {"truncated.mp4", "empty.mp4", "noise.mp4", "script.mp4", "sound.m4a", "none.mp4"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(renderVideoPoster(dir_ / name, 64), nullptr);
  }
}

TEST(DisplayMatrixTest, GivesTheExifOrientationThatShowsTheSameImage) {
  struct Case {
    double clockwise;
    bool mirror;
    int orientation;
  };
  // av_display_rotation_set turns clockwise as seen on screen; the mirror
  // then flips the shown image left to right.
  const Case cases[] = {{0, false, 1}, {0, true, 2},   {180, false, 3}, {180, true, 4},
                        {90, true, 5}, {90, false, 6}, {-90, true, 7},  {-90, false, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.clockwise) + (c.mirror ? " mirrored" : ""));
    int32_t matrix[9];
    av_display_rotation_set(matrix, c.clockwise);
    if (c.mirror) av_display_matrix_flip(matrix, 1, 0);
    EXPECT_EQ(orientationFromDisplayMatrix(matrix), c.orientation);
  }
  const int32_t zero[9] = {};
  EXPECT_EQ(orientationFromDisplayMatrix(zero), 1);
}

}  // namespace
}  // namespace vek::linux_library

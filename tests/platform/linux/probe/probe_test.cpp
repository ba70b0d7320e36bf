#include "platform/linux/probe/probe.hpp"

#include "photos/photo_library_port.hpp"
#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/probe/dates.hpp"
#include "platform/linux/helper_home.hpp"
#include "platform/linux/scoped_environment.hpp"
#include "support/samples.hpp"

namespace vek::linux_library {
namespace {

using vek::testing::ScopedEnvironment;

// A fixed zone, so that dates without one have a known meaning.
class ProbeTest : public testing::TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    startMediaLibraries();
  }
  ScopedEnvironment zone_{"TZ", "EST5"};
};

TEST_F(ProbeTest, ExifDatesUseTheirOffsetElseLocalTime) {
  EXPECT_NEAR(exifDateToSeconds("2019:09:26 16:38:00", "", "-01:30").value(), 1569515880 + 5400, 1e-6);
  EXPECT_NEAR(exifDateToSeconds("2020:01:02 03:04:05", "5  ", "").value(), 1577952245.5, 1e-6);
  {
    ScopedEnvironment summerTime("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_NEAR(exifDateToSeconds("2020:07:01 12:00:00", "", "").value(), 1593597600, 1e-6);
    EXPECT_NEAR(exifDateToSeconds("2020:01:01 12:00:00", "", "").value(), 1577876400, 1e-6);
  }
  // Cameras with an unset clock write zeros or blanks.
  for (const char* unset : {"0000:00:00 00:00:00", "    :  :     :  :  ", ""}) {
    EXPECT_EQ(exifDateToSeconds(unset, "", ""), std::nullopt) << unset;
  }
}

TEST_F(ProbeTest, ContainerDatesAcceptUtcOffsetsAndLocalTime) {
  for (const char* date : {"2019-07-24T11:25:40+0300", "2019-07-24T11:25:40+03:00", "2019-07-24T02:25:40-06",
                           "2019-07-24T08:25:40.000000Z", "2019-07-24 03:25:40"}) {
    EXPECT_NEAR(containerDateToSeconds(date).value(), 1563956740, 1e-6) << date;
  }
  EXPECT_EQ(containerDateToSeconds("Mon Sep 10 20:52:00 2012"), std::nullopt);
  EXPECT_EQ(containerDateToSeconds("2012-13-10 20:52:00"), std::nullopt);
}

TEST_F(ProbeTest, SampleFilesMatchTheirKnownProperties) {
  const std::filesystem::path samples = testing::samplesFolder();
  VEK_REQUIRE_FILE(samples / "README.md");
  struct Expected {
    const char* name;
    int64_t mediaType;
    uint64_t width, height;
    std::optional<double> date;  // nullopt: the file's modification time
    double duration;
  } const expected[] = {
      {"Samsung_SM-J327T1.jpg", kMediaTypeImage, 1932, 2576, 1569533880.0532, 0},
      {"Issue_487.heic", kMediaTypeImage, 3024, 4032, 1593534479, 0},
      {"with-gps.mp4", kMediaTypeVideo, 1920, 1080, 1487751628, 0.171},
      {"with-gps.mov", kMediaTypeVideo, 320, 568, 1563956740, 4.002},
      {"ftyp3gp5.mp4", kMediaTypeVideo, 720, 1280, 1603484849, 1.3},
      {"sample.3gp", kMediaTypeVideo, 176, 144, 1130521000, 4.933},
      {"Sony_ILCE-7M3_A7M3.mts", kMediaTypeVideo, 1920, 1080, std::nullopt, 0.544},
      {"MVI_4823.AVI", kMediaTypeVideo, 640, 480, 1347328320, 2.6},
  };
  for (const Expected& want : expected) {
    SCOPED_TRACE(want.name);
    const std::string path = samples / want.name;
    const FileStamp stamp = stampOfFile(path).value();
    const ProbeResult result = probeFile(path, stamp, mediaKindForName(want.name).value());
    ASSERT_EQ(result.status, ProbeResult::Status::kMedia);
    EXPECT_EQ(result.facts.mediaType, want.mediaType);
    EXPECT_EQ(result.facts.pixelWidth, want.width);
    EXPECT_EQ(result.facts.pixelHeight, want.height);
    EXPECT_NEAR(result.facts.creationDate.value(), want.date.value_or(stamp.mtimeNs / 1e9), 1e-4);
    EXPECT_NEAR(result.facts.duration, want.duration, 0.001);
  }
}

// Each format writes its EXIF tags in its own place (a JPEG segment, a PNG
// chunk, a TIFF directory...); the dates must not depend on which.
class ImageDatesTest : public ProbeTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ImageDatesTest, OriginalDateThenDateTimeThenModificationTime) {
  using testing::quoted;
  const std::filesystem::path original = root_ / (std::string("original.") + GetParam());
  const std::filesystem::path modified = root_ / (std::string("modified.") + GetParam());
  const std::filesystem::path undated = root_ / (std::string("undated.") + GetParam());
  for (const auto& path : {original, modified, undated}) testing::makeImage(path, 24, 16);
  const std::string tag = "exiftool -q -overwrite_original '-EXIF:ModifyDate=2016:01:02 03:04:05' -SubSecTime=5 "
                          "'-OffsetTime=+01:00' ";
  testing::run(tag + "'-DateTimeOriginal=2015:06:01 12:34:56' -SubSecTimeOriginal=250 '-OffsetTimeOriginal=+02:00' " +
               quoted(original));
  testing::run(tag + quoted(modified));
  // Modification times that would give the files other dates.
  testing::setMtime(original, 1300000000);
  testing::setMtime(modified, 1200000000);
  testing::setMtime(undated, 1400000000);
  // 2015-06-01T10:34:56.250Z, 2016-01-02T02:04:05.500Z, the undated file's
  // modification time.
  auto dateOf = [](const std::filesystem::path& path) {
    return probeFile(path, stampOfFile(path).value(), MediaKind::kImage).facts.creationDate.value_or(0);
  };
  EXPECT_NEAR(dateOf(original), 1433154896.25, 1e-6);
  EXPECT_NEAR(dateOf(modified), 1451700245.5, 1e-6);
  EXPECT_NEAR(dateOf(undated), 1400000000, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageDatesTest, ::testing::Values("jpg", "png", "webp", "tif", "heic"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace vek::linux_library

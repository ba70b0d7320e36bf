#include "platform/linux/probe.hpp"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>

#include "photos/photo_library_port.hpp"
#include "platform/linux/media_libraries.hpp"

namespace vek::linux_library {
namespace {

// Runs each test in a fixed time zone, so that dates without a zone have a
// known meaning.
class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startMediaLibraries();
    if (const char* zone = getenv("TZ")) savedZone_ = zone;
    useZone("EST5");
  }
  void TearDown() override {
    if (savedZone_) {
      setenv("TZ", savedZone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void useZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

 private:
  std::optional<std::string> savedZone_;
};

TEST_F(ProbeTest, ExifDatesUseTheirOffsetElseLocalTime) {
  EXPECT_NEAR(exifDateToSeconds("2019:09:26 16:38:00", "0532", "+03:00").value(), 1569505080.0532, 1e-6);
  EXPECT_NEAR(exifDateToSeconds("2019:09:26 16:38:00", "", "-01:30").value(), 1569515880 + 5400, 1e-6);
  EXPECT_NEAR(exifDateToSeconds("2020:01:02 03:04:05", "5  ", "").value(), 1577952245.5, 1e-6);

  useZone("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_NEAR(exifDateToSeconds("2020:07:01 12:00:00", "", "").value(), 1593597600, 1e-6);
  EXPECT_NEAR(exifDateToSeconds("2020:01:01 12:00:00", "", "").value(), 1577876400, 1e-6);

  // Cameras with an unset clock write zeros or blanks.
  EXPECT_EQ(exifDateToSeconds("0000:00:00 00:00:00", "", ""), std::nullopt);
  EXPECT_EQ(exifDateToSeconds("    :  :     :  :  ", "", ""), std::nullopt);
  EXPECT_EQ(exifDateToSeconds("", "", ""), std::nullopt);
}

TEST_F(ProbeTest, ContainerDatesAcceptUtcOffsetsAndLocalTime) {
  EXPECT_NEAR(containerDateToSeconds("2017-02-22T08:20:28.000000Z").value(), 1487751628, 1e-6);
  EXPECT_NEAR(containerDateToSeconds("2019-07-24T11:25:40+0300").value(), 1563956740, 1e-6);
  EXPECT_NEAR(containerDateToSeconds("2019-07-24T11:25:40+03:00").value(), 1563956740, 1e-6);
  EXPECT_NEAR(containerDateToSeconds("2019-07-24T02:25:40-06").value(), 1563956740, 1e-6);
  EXPECT_NEAR(containerDateToSeconds("2012-09-10 20:52:00").value(), 1347328320, 1e-6);
  EXPECT_EQ(containerDateToSeconds("Mon Sep 10 20:52:00 2012"), std::nullopt);
  EXPECT_EQ(containerDateToSeconds("2012-13-10 20:52:00"), std::nullopt);
}

// The phone and camera files that come with the project, against the
// properties their table gives.
TEST_F(ProbeTest, SampleFilesMatchTheirKnownProperties) {
  const std::filesystem::path samples = "/work/shared/samples";
  if (!std::filesystem::exists(samples / "README.md")) GTEST_SKIP() << "no sample files at " << samples;
  struct Expected {
    const char* name;
    int64_t mediaType;
    uint64_t width, height;
    std::optional<double> date;  // nullopt: the file's modification time
    double duration;
  };
  const Expected expected[] = {
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
    std::string path = samples / want.name;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    FileStamp stamp{info.st_dev, info.st_ino, info.st_size, 0};
    ProbeResult result = probeFile(path, stamp, mediaKindForName(want.name).value());
    ASSERT_EQ(result.status, ProbeResult::Status::kMedia);
    EXPECT_EQ(result.facts.mediaType, want.mediaType);
    EXPECT_EQ(result.facts.pixelWidth, want.width);
    EXPECT_EQ(result.facts.pixelHeight, want.height);
    double date = want.date.value_or(static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9);
    EXPECT_NEAR(result.facts.creationDate.value(), date, 1e-4);
    EXPECT_NEAR(result.facts.duration, want.duration, 0.001);
  }
}

}  // namespace
}  // namespace vek::linux_library

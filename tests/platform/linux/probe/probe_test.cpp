#include "platform/linux/probe/probe.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "photos/photo_library_port.hpp"
#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/probe/dates.hpp"
#include "platform/linux/scoped_environment.hpp"
#include "support/samples.hpp"

namespace vek::linux_library {
namespace {

using vek::testing::ScopedEnvironment;

// A fixed zone, so that dates without one have a known meaning.
class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { startMediaLibraries(); }
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
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    const ProbeResult result =
        probeFile(path, {info.st_dev, info.st_ino, info.st_size, 0, 0}, mediaKindForName(want.name).value());
    ASSERT_EQ(result.status, ProbeResult::Status::kMedia);
    EXPECT_EQ(result.facts.mediaType, want.mediaType);
    EXPECT_EQ(result.facts.pixelWidth, want.width);
    EXPECT_EQ(result.facts.pixelHeight, want.height);
    const double modified = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
    EXPECT_NEAR(result.facts.creationDate.value(), want.date.value_or(modified), 1e-4);
    EXPECT_NEAR(result.facts.duration, want.duration, 0.001);
  }
}

}  // namespace
}  // namespace vek::linux_library

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/helper_home.hpp"

namespace vek::testing {
namespace {

// Each format writes its EXIF tags in its own place (a JPEG segment, a PNG
// chunk, a TIFF directory...); the listing's dates must not depend on which.
class ImageDatesTest : public HelperHome, public ::testing::WithParamInterface<const char*> {
 protected:
  static void tag(const Path& path, const std::string& assignments) {
    run("exiftool -q -overwrite_original " + assignments + " " + quoted(path));
  }

  std::vector<uint64_t> listedDates(HelperProcess& helper) {
    std::vector<uint64_t> dates;
    for (auto asset : parse(helper.request(R"({"id":1,"cmd":"fetch_assets"})"))["ok"]["assets"].get_array()) {
      dates.push_back(uint64_t(asset["creationDateMs"]));
    }
    return dates;
  }
};

TEST_P(ImageDatesTest, OriginalDateThenDateTimeThenModificationTime) {
  const std::string extension = GetParam();
  const Path original = pictures() / ("original." + extension);
  const Path modified = pictures() / ("modified." + extension);
  const Path undated = pictures() / ("undated." + extension);
  for (const Path& path : {original, modified, undated}) makeImage(path, 24, 16);
  const std::string dateTime = "'-EXIF:ModifyDate=2016:01:02 03:04:05' -SubSecTime=5 '-OffsetTime=+01:00'";
  tag(original,
      "'-DateTimeOriginal=2015:06:01 12:34:56' -SubSecTimeOriginal=250 '-OffsetTimeOriginal=+02:00' " + dateTime);
  tag(modified, dateTime);
  // Modification times that would list the files in the opposite order.
  setMtime(original, 1300000000);
  setMtime(modified, 1200000000);
  setMtime(undated, 1400000000);

  HelperProcess helper(helperBinary(), environment());
  // 2016-01-02T02:04:05.500Z, 2015-06-01T10:34:56.250Z, the undated file's
  // modification time.
  EXPECT_EQ(listedDates(helper), (std::vector<uint64_t>{1451700245500, 1433154896250, 1400000000000}));
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageDatesTest, ::testing::Values("jpg", "png", "webp", "tif", "heic"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace vek::testing

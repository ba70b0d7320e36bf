#include "photos/request_image_data.hpp"

#include <gtest/gtest.h>

#include "protocol/helper_error.hpp"
#include "support/failure_of.hpp"
#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

using Calls = std::vector<std::string>;

class RequestImageDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_.assets = {{"I/L0/001", kMediaTypeImage, 4000, 3000, 1.0, 0}, {"V", kMediaTypeVideo, 1920, 1080, 2.0, 3}};
  }

  testing::MemoryPhotoLibrary library_;
};

TEST_F(RequestImageDataTest, RendersTheAssetAsBase64Jpeg) {
  library_.images["I/L0/001"] = {ImageSize{1024.0, 768.6}, std::nullopt, std::string("\xfb\xff")};
  EXPECT_EQ(requestImageData(library_, "I/L0/001", 1024), (ImageDataResponse{"I/L0/001", 1024, 768, "+/8="}));
  EXPECT_EQ(library_.jpegCompressionFactors, std::vector<double>{0.85});
  // Rendered locally, never fetched over the network, fitted into a square.
  const ImageRequestOptions options{kImageDeliveryModeHighQualityFormat, false, false, kImageResizeModeExact};
  EXPECT_EQ(library_.imageRequests, (std::vector<testing::ImageRequestRecord>{
                                        {"I/L0/001", {1024.0, 1024.0}, kImageContentModeAspectFit, options}}));
}

TEST_F(RequestImageDataTest, AnUnknownAssetIsNotRendered) {
  EXPECT_EQ(failureOf([&] { requestImageData(library_, "missing", 100); }), "assetNotFound: PHAsset not found");
  EXPECT_EQ(library_.calls, (Calls{"authorizationStatus", "fetchByIdentifiers"}));
  EXPECT_EQ(library_.identifierFetches, std::vector<std::vector<std::string>>{{"missing"}});
}

struct OutcomeCase {
  const char* name;
  testing::ImageOutcome outcome;
  const char* failure;
};

TEST_F(RequestImageDataTest, TheCloudFlagMattersOnlyWhenNoImageCame) {
  const InfoDictionary inCloud{{kResultIsInCloudKey, 1.0}};
  const InfoDictionary local{{kResultIsInCloudKey, 0.0}};
  const InfoDictionary textFlag{{kResultIsInCloudKey, std::string("1")}};
  const InfoDictionary otherKey{{"PHImageResultIsDegradedKey", 1.0}};
  const std::string renderFailed = "badRequest: failed to render JPEG";
  const OutcomeCase cases[] = {
      {"in cloud, no image", {std::nullopt, inCloud}, "icloudOnly: Asset is only in iCloud and was skipped"},
      {"in cloud, image", {ImageSize{4, 3}, inCloud}, "no failure"},
      {"local, no image", {std::nullopt, local}, renderFailed.c_str()},
      {"flag as text", {std::nullopt, textFlag}, renderFailed.c_str()},
      {"no flag", {std::nullopt, otherKey}, renderFailed.c_str()},
      {"no info", {std::nullopt, std::nullopt}, renderFailed.c_str()},
      {"no JPEG", {ImageSize{4, 3}, std::nullopt, std::nullopt}, renderFailed.c_str()},
      {"empty JPEG", {ImageSize{4, 3}, std::nullopt, std::string()}, renderFailed.c_str()},
      {"side out of range", {ImageSize{1e19, 3}}, renderFailed.c_str()},
  };
  for (bool otherThread : {false, true}) {
    for (const OutcomeCase& c : cases) {
      library_.deliverOnOtherThread = otherThread;
      library_.images["I/L0/001"] = c.outcome;
      EXPECT_EQ(failureOf([&] { requestImageData(library_, "I/L0/001", 0); }), c.failure)
          << c.name << ", other thread " << otherThread;
    }
  }
}

}  // namespace
}  // namespace vek

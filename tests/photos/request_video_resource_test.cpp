#include "photos/request_video_resource.hpp"

#include <gtest/gtest.h>

#include <regex>

#include "protocol/helper_error.hpp"
#include "support/failure_of.hpp"
#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

using Calls = std::vector<std::string>;

class RequestVideoResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_.assets = {{"V/L0/001", kMediaTypeVideo, 1920, 1080, 1.0, 12.345}, {"I", kMediaTypeImage, 4, 3, 2.0, 0}};
    library_.videos["V/L0/001"] = {true};
    library_.temporaryDirectoryText = "/var/tmp/user 1/";
  }

  testing::MemoryPhotoLibrary library_;
};

TEST_F(RequestVideoResourceTest, ExportsToANewQuickTimeFileInTheTemporaryDirectory) {
  for (bool otherThread : {false, true}) {
    library_.deliverOnOtherThread = otherThread;
    const VideoResourceResponse reply = requestVideoResource(library_, "V/L0/001");
    EXPECT_EQ(reply.localIdentifier, "V/L0/001");
    EXPECT_EQ(reply.durationSeconds, 12.345);
    // A random UUID, in upper case.
    const std::regex movie("/var/tmp/user 1/vek-pk-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                           "[0-9A-F]{12}\\.mov");
    EXPECT_TRUE(std::regex_match(reply.tempPath, movie)) << reply.tempPath;
    EXPECT_EQ(library_.exports.back(),
              (testing::ExportRecord{"V/L0/001", kExportPresetPassthrough, reply.tempPath, kFileTypeQuickTimeMovie}));
  }
  ASSERT_EQ(library_.exports.size(), 2u);
  EXPECT_NE(library_.exports[0].outputPath, library_.exports[1].outputPath);
  EXPECT_EQ(library_.videoRequests, (std::vector<testing::VideoRequestRecord>(
                                        2, {"V/L0/001", {false, kVideoDeliveryModeMediumQualityFormat}})));
}

TEST_F(RequestVideoResourceTest, OnlyAKnownVideoIsLoaded) {
  EXPECT_EQ(failureOf([&] { requestVideoResource(library_, "missing"); }), "assetNotFound: PHAsset not found");
  EXPECT_EQ(failureOf([&] { requestVideoResource(library_, "I"); }), "badRequest: asset is not a video");
  EXPECT_EQ(library_.calls,
            (Calls{"authorizationStatus", "fetchByIdentifiers", "authorizationStatus", "fetchByIdentifiers"}));
}

TEST_F(RequestVideoResourceTest, MediaThatDidNotLoadIsNotExported) {
  const std::pair<testing::VideoOutcome, const char*> cases[] = {
      {{false, InfoDictionary{{kResultIsInCloudKey, 1.0}}}, "icloudOnly: Asset is only in iCloud and was skipped"},
      {{false, InfoDictionary{{kResultIsInCloudKey, 0.0}}}, "badRequest: failed to load AVAsset"},
      {{false, std::nullopt}, "badRequest: failed to load AVAsset"},
  };
  for (const auto& [outcome, failure] : cases) {
    library_.calls.clear();
    library_.videos["V/L0/001"] = outcome;
    EXPECT_EQ(failureOf([&] { requestVideoResource(library_, "V/L0/001"); }), failure);
    EXPECT_EQ(library_.calls, (Calls{"authorizationStatus", "fetchByIdentifiers", "requestVideo"}));
  }
}

TEST_F(RequestVideoResourceTest, ReportsWhyTheExportFailed) {
  library_.videos["V/L0/001"] = {true, InfoDictionary{{kResultIsInCloudKey, 1.0}}};
  library_.canMakeExportSession = false;
  EXPECT_EQ(failureOf([&] { requestVideoResource(library_, "V/L0/001"); }), "badRequest: cannot create export session");
  library_.canMakeExportSession = true;
  library_.exportStatus = kExportStatusFailed;
  library_.exportError = PlatformError{"FFmpeg", -5, "Input/output error"};
  EXPECT_EQ(failureOf([&] { requestVideoResource(library_, "V/L0/001"); }),
            "badRequest: export failed: Input/output error");
  library_.exportError.reset();
  EXPECT_EQ(failureOf([&] { requestVideoResource(library_, "V/L0/001"); }), "badRequest: export failed: unknown");
  library_.exportStatus = kExportStatusUnknown;
  EXPECT_EQ(failureOf([&] { requestVideoResource(library_, "V/L0/001"); }), "badRequest: export failed: unknown");
}

}  // namespace
}  // namespace vek

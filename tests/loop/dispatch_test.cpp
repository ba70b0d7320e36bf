#include "loop/dispatch.hpp"

#include <gtest/gtest.h>

#include <future>
#include <limits>

#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

using Calls = std::vector<std::string>;

class DispatchTest : public ::testing::Test {
 protected:
  std::string reply(std::string_view line) {
    std::optional<Request> request = RequestDecoder().decode(line);
    if (!request) return "undecodable";
    return dispatch(*request, library_);
  }

  testing::MemoryPhotoLibrary library_;
};

TEST_F(DispatchTest, UnknownCommandsNeverReachTheLibrary) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"id":3,"cmd":"fetch"})", R"({"id":3,"err":{"code":"unknownCommand","message":"unknown command: fetch"}})"},
      {R"({"id":4,"cmd":""})", R"({"id":4,"err":{"code":"unknownCommand","message":"unknown command: "}})"},
      {R"({"id":5,"cmd":"FETCH_ASSETS"})",
       R"({"id":5,"err":{"code":"unknownCommand","message":"unknown command: FETCH_ASSETS"}})"},
      {R"({"id":6,"cmd":" fetch_assets"})",
       R"({"id":6,"err":{"code":"unknownCommand","message":"unknown command:  fetch_assets"}})"},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(reply(line), expected);
  EXPECT_EQ(library_.calls, Calls{});
}

TEST_F(DispatchTest, MissingArgumentsAreReportedBeforeAccessIsChecked) {
  library_.authorizationStatus = kAuthorizationStatusDenied;
  const std::pair<const char*, const char*> cases[] = {
      {R"({"id":1,"cmd":"request_image_data"})",
       R"({"id":1,"err":{"code":"badRequest","message":"missing localIdentifier"}})"},
      {R"({"id":2,"cmd":"request_image_data","localIdentifier":null,"targetSize":5})",
       R"({"id":2,"err":{"code":"badRequest","message":"missing localIdentifier"}})"},
      {R"({"id":3,"cmd":"request_video_resource","localIdentifiers":["A"]})",
       R"({"id":3,"err":{"code":"badRequest","message":"missing localIdentifier"}})"},
      {R"({"id":4,"cmd":"delete_assets","localIdentifier":"A"})",
       R"({"id":4,"err":{"code":"badRequest","message":"missing localIdentifiers"}})"},
  };
  for (const auto& [line, expected] : cases) EXPECT_EQ(reply(line), expected);
  EXPECT_EQ(library_.calls, Calls{});
  EXPECT_EQ(reply(R"({"id":5,"cmd":"delete_assets","localIdentifiers":[]})"),
            R"({"id":5,"err":{"code":"permissionDenied","message":"Photos Library access denied"}})");
}

TEST_F(DispatchTest, FetchWithoutKindListsImages) {
  library_.assets = {{"V", kMediaTypeVideo, 2, 2, 5.0, 1.5}, {"I", kMediaTypeImage, 4, 3, 1.25, 0}};
  EXPECT_EQ(reply(R"({"id":8,"cmd":"fetch_assets"})"),
            R"({"id":8,"ok":{"assets":[{"localIdentifier":"I","kind":"image","pixelWidth":4,"pixelHeight":3,)"
            R"("creationDateMs":1250,"durationSeconds":0,"isIcloudOnly":false}]}})");
}

TEST_F(DispatchTest, ImageWithoutTargetSizeAsksFor1024Square) {
  library_.assets = {{"I", kMediaTypeImage, 4000, 3000, std::nullopt, 0}};
  reply(R"({"id":1,"cmd":"request_image_data","localIdentifier":"I"})");
  ASSERT_EQ(library_.imageRequests.size(), 1u);
  EXPECT_EQ(library_.imageRequests[0].targetSize, (ImageSize{1024.0, 1024.0}));
}

TEST_F(DispatchTest, OtherFailuresOfTheLibraryAnswerInternal) {
  library_.fetchFailure = "catalog is locked";
  EXPECT_EQ(reply(R"({"id":18446744073709551615,"cmd":"fetch_assets"})"),
            R"({"id":18446744073709551615,"err":{"code":"internal","message":"catalog is locked"}})");
}

TEST_F(DispatchTest, AListingThatCannotBeWrittenAnswersInternal) {
  library_.assets = {{"V", kMediaTypeVideo, 2, 2, 5.0, std::numeric_limits<double>::quiet_NaN()}};
  EXPECT_EQ(reply(R"({"id":12,"cmd":"fetch_assets","kind":"video"})"),
            R"({"id":12,"err":{"code":"internal","message":"The reply holds a number that is not finite."}})");
}

TEST_F(DispatchTest, ACallbackDroppedByTheLibraryAnswersInsteadOfHanging) {
  library_.assets = {{"I", kMediaTypeImage, 4, 3, std::nullopt, 0}, {"V", kMediaTypeVideo, 4, 3, std::nullopt, 0}};
  library_.dropCallbacks = true;
  const std::string broken = std::future_error(std::future_errc::broken_promise).what();
  for (bool otherThread : {false, true}) {
    library_.deliverOnOtherThread = otherThread;
    EXPECT_EQ(reply(R"({"id":1,"cmd":"request_image_data","localIdentifier":"I"})"),
              R"({"id":1,"err":{"code":"internal","message":")" + broken + "\"}}");
    EXPECT_EQ(reply(R"({"id":2,"cmd":"delete_assets","localIdentifiers":["I"]})"),
              R"({"id":2,"err":{"code":"internal","message":")" + broken + "\"}}");
  }
  library_.authorizationStatus = kAuthorizationStatusNotDetermined;
  EXPECT_EQ(reply(R"({"id":3,"cmd":"fetch_assets"})"),
            R"({"id":3,"err":{"code":"internal","message":")" + broken + "\"}}");
}

}  // namespace
}  // namespace vek

#include "protocol/envelopes.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/json_writer.hpp"

namespace vek {
namespace {

TEST(EnvelopesTest, WritesEachReplyCompactWithItsKeysInOrder) {
  EXPECT_EQ(encode(SuccessEnvelope<DeleteOutcomeResponse>{42, {3, false}}),
            R"({"id":42,"ok":{"deletedCount":3,"userCancelled":false}})");
  EXPECT_EQ(encode(ErrorEnvelope{7, {"unknownCommand", "unknown command: fetch"}}),
            R"({"id":7,"err":{"code":"unknownCommand","message":"unknown command: fetch"}})");
  EXPECT_EQ(encode(SuccessEnvelope<ImageDataResponse>{1, {"A/L0/001", 1024, 768, "+/8="}}),
            R"({"id":1,"ok":{"localIdentifier":"A\/L0\/001","width":1024,"height":768,"jpegBase64":"+\/8="}})");
  EXPECT_EQ(encode(SuccessEnvelope<VideoResourceResponse>{2, {"V", "/tmp/vek-pk-X.mov", 4.002}}),
            R"({"id":2,"ok":{"localIdentifier":"V","tempPath":"\/tmp\/vek-pk-X.mov","durationSeconds":4.002}})");
}

TEST(EnvelopesTest, WritesAListingWithEveryField) {
  FetchAssetsResponse listing{{
      {"I", "image", 4032, 3024, 1700000000123, 0.0, false},
      {"V", "video", 1080, 1920, 0, 12.5, false},
  }};
  EXPECT_EQ(encode(SuccessEnvelope<FetchAssetsResponse>{std::numeric_limits<uint64_t>::max(), listing}),
            R"({"id":18446744073709551615,"ok":{"assets":[)"
            R"({"localIdentifier":"I","kind":"image","pixelWidth":4032,"pixelHeight":3024,)"
            R"("creationDateMs":1700000000123,"durationSeconds":0,"isIcloudOnly":false},)"
            R"({"localIdentifier":"V","kind":"video","pixelWidth":1080,"pixelHeight":1920,)"
            R"("creationDateMs":0,"durationSeconds":12.5,"isIcloudOnly":false}]}})");
  EXPECT_EQ(encode(SuccessEnvelope<FetchAssetsResponse>{0, {}}), R"({"id":0,"ok":{"assets":[]}})");
}

TEST(EnvelopesTest, ANonFiniteDurationCannotBeEncoded) {
  FetchAssetsResponse listing{{{"V", "video", 1, 1, 0, std::numeric_limits<double>::infinity(), false}}};
  EXPECT_THROW(encode(SuccessEnvelope<FetchAssetsResponse>{1, listing}), JsonEncodingError);
}

}  // namespace
}  // namespace vek

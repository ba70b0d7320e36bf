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

TEST(EnvelopesTest, ALongListingHandedOutInPartsIsTheSameText) {
  FetchAssetsResponse listing;
  for (int i = 0; i < 20000; ++i) {
    listing.assets.push_back({"ID-" + std::to_string(i) + "/L0/001", i % 3 ? "image" : "video", i, 2 * i,
                              uint64_t(i) * 1000, i * 0.25, false});
  }
  std::string parts;
  int count = 0;
  auto spill = [&](std::string_view part) {
    parts += part;
    ++count;
  };
  const std::string rest = encode(SuccessEnvelope<FetchAssetsResponse>{9, listing}, spill);
  EXPECT_GT(count, 1);
  EXPECT_EQ(parts + rest, encode(SuccessEnvelope<FetchAssetsResponse>{9, listing}));

  // Checked before any part goes out: no half reply is ever written.
  listing.assets.back().durationSeconds = std::numeric_limits<double>::quiet_NaN();
  count = 0;
  EXPECT_THROW(encode(SuccessEnvelope<FetchAssetsResponse>{9, listing}, spill), JsonEncodingError);
  EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace vek

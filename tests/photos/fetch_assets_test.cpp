#include "photos/fetch_assets.hpp"

#include <gtest/gtest.h>

#include "protocol/helper_error.hpp"
#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

class FetchAssetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    library_.assets = {
        {"I-old", kMediaTypeImage, 640, 480, -86400.0, 0},
        {"V-1", kMediaTypeVideo, 1920, 1080, 100.0, 4.002},
        {"I-undated", kMediaTypeImage, 1, 2, std::nullopt, 0},
        {"I-hidden", kMediaTypeImage, 8, 8, 50.0, 0},
        {"I-2ms", kMediaTypeImage, 4032, 3024, 0.0029, 0},
        {"U", kMediaTypeUnknown, 1, 1, 60.0, 0},
        {"I-1999ms", kMediaTypeImage, 3, 4, 1.9999, 2.5},
        {"V-2", kMediaTypeVideo, 720, 1280, 200.0, 0.5},
    };
    library_.hidden = {"I-hidden"};
  }

  testing::MemoryPhotoLibrary library_;
};

TEST_F(FetchAssetsTest, ListsVisibleImagesNewestFirstWithTheirMetadata) {
  const std::vector<AssetMeta> expected = {
      {"I-1999ms", "image", 3, 4, 1999, 2.5, false},
      {"I-2ms", "image", 4032, 3024, 2, 0, false},
      {"I-undated", "image", 1, 2, 0, 0, false},
      {"I-old", "image", 640, 480, 0, 0, false},
  };
  for (const char* kind : {"image", "Video", "VIDEO", "", "photo"}) {
    for (bool includeIcloudOnly : {false, true}) {
      EXPECT_EQ(fetchAssets(library_, kind, includeIcloudOnly), expected) << kind << " " << includeIcloudOnly;
    }
  }
}

TEST_F(FetchAssetsTest, ListsNothingWithoutAccess) {
  library_.authorizationStatus = kAuthorizationStatusRestricted;
  EXPECT_THROW(fetchAssets(library_, "image", false), HelperError);
  EXPECT_EQ(library_.calls, std::vector<std::string>{"authorizationStatus"});
}

}  // namespace
}  // namespace vek

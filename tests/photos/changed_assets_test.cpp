#include <gtest/gtest.h>

#include "photos/delete_assets.hpp"
#include "support/failure_of.hpp"
#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

// A library whose assets keep changing under every change: the deletion is
// fetched and tried again a bounded number of times, then reported.
TEST(ChangedAssetsTest, ADeletionMetByChangesIsFetchedAgainAFewTimesThenReported) {
  testing::MemoryPhotoLibrary library;
  library.assets = {PhotoAsset{"A", kMediaTypeImage, 1, 1, 1.0, 0}};
  library.changeSucceeds = false;
  library.changeError = PlatformError{kChangeErrorDomain, kAssetChangedSinceFetchCode, "\"/p/a.jpg\" was replaced"};
  EXPECT_EQ(failureOf([&] { deleteAssets(library, {"A"}); }), "badRequest: \"/p/a.jpg\" was replaced");
  EXPECT_EQ(library.identifierFetches.size(), 3u);
  EXPECT_EQ(library.deletions.size(), 3u);
}

}  // namespace
}  // namespace vek

#include "photos/delete_assets.hpp"

#include <gtest/gtest.h>

#include "support/failure_of.hpp"
#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

using Calls = std::vector<std::string>;

const PhotoAsset kA{"A", kMediaTypeImage, 1, 1, 1.0, 0};
const PhotoAsset kB{"B", kMediaTypeVideo, 1, 1, 2.0, 5};
const PhotoAsset kC{"C", kMediaTypeImage, 1, 1, 3.0, 0};

class DeleteAssetsTest : public ::testing::Test {
 protected:
  void SetUp() override { library_.assets = {kA, kB, kC}; }

  testing::MemoryPhotoLibrary library_;
};

TEST_F(DeleteAssetsTest, DeletesTheAssetsFoundInOneChange) {
  for (bool otherThread : {false, true}) {
    testing::MemoryPhotoLibrary library;
    library.assets = {kA, kB, kC};
    library.deliverOnOtherThread = otherThread;
    EXPECT_EQ(deleteAssets(library, {"C", "missing", "A", "C"}), (DeleteOutcomeResponse{2, false}));
    EXPECT_EQ(library.deletions, (std::vector<std::vector<PhotoAsset>>{{kC, kA}}));
    EXPECT_EQ(library.calls, (Calls{"authorizationStatus", "fetchByIdentifiers", "performChanges"}));
  }
}

TEST_F(DeleteAssetsTest, MakesNoChangeWhenNothingIsFound) {
  EXPECT_EQ(deleteAssets(library_, {}), (DeleteOutcomeResponse{0, false}));
  EXPECT_EQ(deleteAssets(library_, {"x", "y"}), (DeleteOutcomeResponse{0, false}));
  EXPECT_EQ(library_.calls,
            (Calls{"authorizationStatus", "fetchByIdentifiers", "authorizationStatus", "fetchByIdentifiers"}));
}

TEST_F(DeleteAssetsTest, TheUsersRefusalIsACancelledOutcome) {
  library_.changeSucceeds = false;
  library_.changeError = PlatformError{"PHPhotosErrorDomain", 3072, "The user cancelled."};
  EXPECT_EQ(deleteAssets(library_, {"A", "B"}), (DeleteOutcomeResponse{0, true}));
}

TEST_F(DeleteAssetsTest, AnyOtherRefusalIsReportedWithItsReason) {
  const std::pair<std::optional<PlatformError>, const char*> cases[] = {
      {PlatformError{"NSCocoaErrorDomain", 3072, "The operation was cancelled."},
       "badRequest: The operation was cancelled."},
      {PlatformError{"PHPhotosErrorDomain", 3300, "No permission to trash /p/a.jpg"},
       "badRequest: No permission to trash /p/a.jpg"},
      {std::nullopt, "badRequest: the photo library refused the deletion without giving a reason"},
  };
  library_.changeSucceeds = false;
  for (const auto& [error, expected] : cases) {
    library_.changeError = error;
    EXPECT_EQ(failureOf([&] { deleteAssets(library_, {"A"}); }), expected);
  }
}

TEST_F(DeleteAssetsTest, DeletesNothingWithoutAccess) {
  library_.authorizationStatus = kAuthorizationStatusDenied;
  EXPECT_EQ(failureOf([&] { deleteAssets(library_, {"A"}); }), "permissionDenied: Photos Library access denied");
  EXPECT_EQ(library_.calls, Calls{"authorizationStatus"});
}

}  // namespace
}  // namespace vek

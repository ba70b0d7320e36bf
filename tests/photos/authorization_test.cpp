#include "photos/authorization.hpp"

#include <gtest/gtest.h>

#include "protocol/helper_error.hpp"
#include "support/failure_of.hpp"
#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

using Calls = std::vector<std::string>;

struct GateCase {
  int64_t status;
  int64_t statusAfterRequest;
  bool asks;
  bool grants;
};

TEST(AuthorizationTest, AsksOnlyWhileUndecidedAndGrantsOnlyFullOrLimitedAccess) {
  const GateCase cases[] = {
      {kAuthorizationStatusAuthorized, kAuthorizationStatusDenied, false, true},
      {kAuthorizationStatusLimited, kAuthorizationStatusDenied, false, true},
      {kAuthorizationStatusRestricted, kAuthorizationStatusAuthorized, false, false},
      {kAuthorizationStatusDenied, kAuthorizationStatusAuthorized, false, false},
      {kAuthorizationStatusNotDetermined, kAuthorizationStatusAuthorized, true, true},
      {kAuthorizationStatusNotDetermined, kAuthorizationStatusLimited, true, true},
      {kAuthorizationStatusNotDetermined, kAuthorizationStatusNotDetermined, true, false},
      {kAuthorizationStatusNotDetermined, kAuthorizationStatusRestricted, true, false},
      {kAuthorizationStatusNotDetermined, kAuthorizationStatusDenied, true, false},
      {7, kAuthorizationStatusAuthorized, true, true},
      {7, 7, true, false},
  };
  for (bool otherThread : {false, true}) {
    for (const GateCase& c : cases) {
      SCOPED_TRACE(::testing::Message() << c.status << " then " << c.statusAfterRequest << " thread " << otherThread);
      testing::MemoryPhotoLibrary library;
      library.authorizationStatus = c.status;
      library.statusAfterRequest = c.statusAfterRequest;
      library.deliverOnOtherThread = otherThread;
      EXPECT_EQ(failureOf([&] { ensureAuthorization(library); }),
                c.grants ? "no failure" : "permissionDenied: Photos Library access denied");
      const Calls expected =
          c.asks ? Calls{"authorizationStatus", "requestAuthorization"} : Calls{"authorizationStatus"};
      EXPECT_EQ(library.calls, expected);
      EXPECT_EQ(library.accessLevels, std::vector<int64_t>(c.asks ? 2 : 1, kAccessLevelReadWrite));
    }
  }
}

}  // namespace
}  // namespace vek

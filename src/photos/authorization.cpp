#include "photos/authorization.hpp"

#include "photos/wait_for.hpp"
#include "protocol/helper_error.hpp"

namespace vek {
namespace {

bool grants(int64_t status) {
  return status == kAuthorizationStatusAuthorized || status == kAuthorizationStatusLimited;
}

}  // namespace

void ensureAuthorization(PhotoLibraryPort& library) {
  const int64_t status = library.authorizationStatusForAccessLevel(kAccessLevelReadWrite);
  if (grants(status)) return;
  // A user who refused once is not asked again.
  if (status == kAuthorizationStatusRestricted || status == kAuthorizationStatusDenied) {
    throw HelperError::permissionDenied();
  }
  const int64_t answer = waitFor<int64_t>([&](std::function<void(int64_t)> deliver) {
    library.requestAuthorizationForAccessLevel(kAccessLevelReadWrite, std::move(deliver));
  });
  if (!grants(answer)) throw HelperError::permissionDenied();
}

}  // namespace vek

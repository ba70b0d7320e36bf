#include "photos/delete_assets.hpp"

#include "photos/authorization.hpp"
#include "photos/wait_for.hpp"
#include "protocol/helper_error.hpp"

namespace vek {
namespace {

constexpr const char* kPhotosErrorDomain = "PHPhotosErrorDomain";
constexpr int64_t kUserCancelledCode = 3072;

// Another program deleting the same assets at the same moment (another
// helper of the same user) can take some between the fetch and the change;
// the change is then fetched and tried again, so that those count as not
// found, as in a fetch made a moment later. Bounded, since the library may
// go on changing.
constexpr int kChangeAttempts = 3;

struct ChangeOutcome {
  bool success = false;
  std::optional<PlatformError> error;

  bool assetsChangedSinceFetch() const {
    return !success && error && error->domain == kChangeErrorDomain && error->code == kAssetChangedSinceFetchCode;
  }
};

}  // namespace

DeleteOutcomeResponse deleteAssets(PhotoLibraryPort& library, const std::vector<std::string>& localIdentifiers) {
  ensureAuthorization(library);
  std::vector<PhotoAsset> workingList;
  ChangeOutcome outcome;
  for (int attempt = 1;; ++attempt) {
    const AssetFetchResult found = library.fetchAssetsWithLocalIdentifiers(localIdentifiers);
    workingList.clear();
    workingList.reserve(found.count());
    found.enumerateObjects([&](const PhotoAsset& asset, size_t) { workingList.push_back(asset); });
    if (workingList.empty()) return DeleteOutcomeResponse{0, false};

    outcome = waitFor<ChangeOutcome>([&](std::function<void(ChangeOutcome)> deliver) {
      library.performChanges(
          [&workingList](AssetChangeRequests& changes) { changes.deleteAssets(workingList); },
          [deliver = std::move(deliver)](bool success, std::optional<PlatformError> error) {
            deliver(ChangeOutcome{success, std::move(error)});
          });
    });
    if (!outcome.assetsChangedSinceFetch() || attempt == kChangeAttempts) break;
  }
  if (outcome.success) return DeleteOutcomeResponse{static_cast<int64_t>(workingList.size()), false};
  if (!outcome.error) throw HelperError::bad("the photo library refused the deletion without giving a reason");
  if (outcome.error->domain == kPhotosErrorDomain && outcome.error->code == kUserCancelledCode) {
    return DeleteOutcomeResponse{0, true};
  }
  throw HelperError::bad(outcome.error->localizedDescription);
}

}  // namespace vek

#include "photos/delete_assets.hpp"

#include "photos/authorization.hpp"
#include "photos/wait_for.hpp"
#include "protocol/helper_error.hpp"

namespace vek {
namespace {

constexpr const char* kPhotosErrorDomain = "PHPhotosErrorDomain";
constexpr int64_t kUserCancelledCode = 3072;

struct ChangeOutcome {
  bool success = false;
  std::optional<PlatformError> error;
};

}  // namespace

DeleteOutcomeResponse deleteAssets(PhotoLibraryPort& library, const std::vector<std::string>& localIdentifiers) {
  ensureAuthorization(library);
  const AssetFetchResult found = library.fetchAssetsWithLocalIdentifiers(localIdentifiers);
  std::vector<PhotoAsset> workingList;
  workingList.reserve(found.count());
  found.enumerateObjects([&](const PhotoAsset& asset, size_t) { workingList.push_back(asset); });
  if (workingList.empty()) return DeleteOutcomeResponse{0, false};

  ChangeOutcome outcome = waitFor<ChangeOutcome>([&](std::function<void(ChangeOutcome)> deliver) {
    library.performChanges(
        [&workingList](AssetChangeRequests& changes) { changes.deleteAssets(workingList); },
        [deliver = std::move(deliver)](bool success, std::optional<PlatformError> error) {
          deliver(ChangeOutcome{success, std::move(error)});
        });
  });
  if (outcome.success) return DeleteOutcomeResponse{static_cast<int64_t>(workingList.size()), false};
  if (!outcome.error) throw HelperError::bad("the photo library refused the deletion without giving a reason");
  if (outcome.error->domain == kPhotosErrorDomain && outcome.error->code == kUserCancelledCode) {
    return DeleteOutcomeResponse{0, true};
  }
  throw HelperError::bad(outcome.error->localizedDescription);
}

}  // namespace vek

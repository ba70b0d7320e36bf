#include "protocol/helper_error.hpp"

namespace vek {

HelperError HelperError::unknownCommand(std::string cmd) {
  return HelperError(Case::unknownCommand, "unknown command: " + cmd);
}

HelperError HelperError::bad(std::string message) { return HelperError(Case::bad, std::move(message)); }

HelperError HelperError::permissionDenied() {
  return HelperError(Case::permissionDenied, "Photos Library access denied");
}

HelperError HelperError::assetNotFound() { return HelperError(Case::assetNotFound, "PHAsset not found"); }

HelperError HelperError::icloudOnly() {
  return HelperError(Case::icloudOnly, "Asset is only in iCloud and was skipped");
}

std::string_view HelperError::wireCode() const {
  switch (case_) {
    case Case::unknownCommand:
      return "unknownCommand";
    case Case::bad:
      return "badRequest";
    case Case::permissionDenied:
      return "permissionDenied";
    case Case::assetNotFound:
      return "assetNotFound";
    case Case::icloudOnly:
      return "icloudOnly";
  }
  return "internal";
}

}  // namespace vek

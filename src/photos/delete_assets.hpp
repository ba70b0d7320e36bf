#pragma once

#include <string>
#include <vector>

#include "photos/photo_library_port.hpp"
#include "protocol/results.hpp"

namespace vek {

// Deletes the assets found for the identifiers in one change. Identifiers
// that match nothing are left out of the change and of the count; when none
// matches, no change is made. Assets that another program deletes or
// changes between the fetch and the change count as not found. A user's refusal is the cancelled outcome, not
// an error. Throws HelperError: what ensureAuthorization throws, or bad with
// the library's reason when it refuses the change.
DeleteOutcomeResponse deleteAssets(PhotoLibraryPort& library, const std::vector<std::string>& localIdentifiers);

}  // namespace vek

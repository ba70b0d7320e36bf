#pragma once

#include <string>
#include <vector>

#include "photos/photo_library_port.hpp"
#include "protocol/results.hpp"

namespace vek {

// Every non-hidden video (kind exactly "video") or image (any other kind),
// newest first. includeIcloudOnly changes nothing. Throws what
// ensureAuthorization throws.
std::vector<AssetMeta> fetchAssets(PhotoLibraryPort& library, const std::string& kind, bool includeIcloudOnly);

// Milliseconds since 1970 truncated toward zero; 0 for no date and for
// dates that the unsigned field cannot carry (before 1970, or not finite).
uint64_t creationDateMs(const std::optional<double>& creationDate);

}  // namespace vek

#pragma once

#include <string>

#include "photos/photo_library_port.hpp"
#include "protocol/results.hpp"

namespace vek {

// Exports the video asset, without re-encoding, to a new QuickTime movie
// "vek-pk-<UUID>.mov" in the temporary directory; the file then belongs to
// the caller. Throws HelperError: what ensureAuthorization throws,
// assetNotFound, icloudOnly, or bad with "asset is not a video", "failed to
// load AVAsset", "cannot create export session" or "export failed: <reason>".
VideoResourceResponse requestVideoResource(PhotoLibraryPort& library, const std::string& localIdentifier);

}  // namespace vek

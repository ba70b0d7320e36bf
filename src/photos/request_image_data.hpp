#pragma once

#include <cstdint>
#include <string>

#include "photos/photo_library_port.hpp"
#include "protocol/results.hpp"

namespace vek {

// Renders the asset as a JPEG fitted into targetSize x targetSize, from
// local data only. Throws HelperError: what ensureAuthorization throws,
// assetNotFound, icloudOnly, or bad("failed to render JPEG").
ImageDataResponse requestImageData(PhotoLibraryPort& library, const std::string& localIdentifier,
                                   int64_t targetSize);

}  // namespace vek

#pragma once

#include "photos/photo_library_port.hpp"

namespace vek {

// Returns when the library grants read-write access (authorized or limited);
// asks the platform only while nothing is decided. Throws
// HelperError::permissionDenied() otherwise.
void ensureAuthorization(PhotoLibraryPort& library);

}  // namespace vek

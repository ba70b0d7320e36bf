#pragma once

#include <string>

#include "photos/photo_library_port.hpp"
#include "protocol/request.hpp"

namespace vek {

// Runs the request's command and returns its reply: one compact JSON text
// without a line feed, success or error, carrying the request's id. Empty
// only when not even the error reply can be encoded. Never throws.
std::string dispatch(const Request& request, PhotoLibraryPort& library);

}  // namespace vek

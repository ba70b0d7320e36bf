#pragma once

#include <string>

#include "photos/photo_library_port.hpp"
#include "protocol/json_writer.hpp"
#include "protocol/request.hpp"

namespace vek {

// Runs the request's command and returns its reply: one compact JSON text
// without a line feed, success or error, carrying the request's id. Empty
// only when not even the error reply can be encoded. Never throws.
//
// Given a spill, a long listing is handed to it in parts as it is encoded
// and only its end is returned. Should the request fail after a part went
// out, the result is empty: no whole reply can follow that part.
std::string dispatch(const Request& request, PhotoLibraryPort& library, const JsonSpill& spill = {});

}  // namespace vek

#pragma once

#include "photos/photo_library_port.hpp"

namespace vek {

// Reads requests from inputFd, one per 0x0A-terminated line, and writes one
// reply line per request that decodes to outputFd, in order, one request at
// a time. Returns at end of input, on a failed read, or on a failed write
// (the reader has gone). A last line without 0x0A is not answered.
void runMainLoop(int inputFd, int outputFd, PhotoLibraryPort& library);

}  // namespace vek

#pragma once

#include <memory>

#include "photos/photo_library_port.hpp"

namespace vek::linux_library {

// The user's Pictures and Videos folders as the photo library: identifiers
// from a catalog kept under XDG_DATA_HOME, rendering with libvips, export
// with FFmpeg's libraries, deletion into the freedesktop Trash (through the
// desktop's Trash portal inside a Flatpak or Snap sandbox). The library
// is found from the environment on first use, so a missing home answers each
// request with an error instead of stopping the helper. Used from one thread
// at a time.
std::unique_ptr<PhotoLibraryPort> makeLinuxPhotoLibrary();

// The argument that starts the helper as one of the library's render-ahead
// workers instead: processes of the lowest CPU priority that render the
// next assets of a listing while the parent scans it in order.
inline constexpr const char* kRenderAheadWorkerArgument = "--render-ahead-worker";

// The worker's whole life: renders what the library asks over `socket` (its
// stdin), into the render cache too, until the library closes it. Returns
// the exit status.
int serveRendersAhead(int socket);

}  // namespace vek::linux_library

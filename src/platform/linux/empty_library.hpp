#pragma once

#include <memory>

#include "photos/photo_library_port.hpp"

namespace vek::linux_library {

// A library that grants access and holds no assets.
std::unique_ptr<PhotoLibraryPort> makeEmptyPhotoLibrary();

}  // namespace vek::linux_library

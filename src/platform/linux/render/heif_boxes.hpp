#pragma once

#include <optional>
#include <string_view>

namespace vek::linux_library {

// The quarter turns (0 to 3, anticlockwise) that the primary image of the
// HEIF file `bytes` is rotated by for display, read from its `irot` item
// property, when that is its only geometric transformation. nullopt when it
// is also mirrored or cropped (`imir`, `clap`), has more than one rotation,
// or its item properties cannot be read: libheif must then apply the
// transformations itself. Never reads outside `bytes`.
std::optional<int> heifPrimaryRotation(std::string_view bytes);

}  // namespace vek::linux_library

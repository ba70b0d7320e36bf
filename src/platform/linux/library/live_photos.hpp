#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "platform/linux/media_files/media_names.hpp"

namespace vek::linux_library {

// A file of a listing, as Live Photo pairing sees it.
struct LivePhotoFile {
  std::string_view path;               // its folder is what comes before the last '/'
  MediaKind kind = MediaKind::kImage;  // a still is an image, a movie a video
  std::string_view contentIdentifier;  // as probed; empty pairs with nothing
};

// One Live Photo: indices of its still and its movie among the files paired.
struct LivePhotoPair {
  size_t still = 0;
  size_t movie = 0;

  bool operator==(const LivePhotoPair&) const = default;
};

// Which stills and movies are Live Photos. Only the content identifier ties
// two files, never their names: the stills and movies of one folder that
// carry one non-empty identifier form a group, and
// - a group of exactly one still and one movie is a Live Photo whatever the
//   names (IMG_1234.HEIC + IMG_1234_HEVC.MOV, <UUID>.heic + <UUID>_3.mov);
// - in a larger group (an edited copy IMG_E1234.HEIC + IMG_E1234.MOV beside
//   the original pair, a copied still "IMG_1234 (1).HEIC") a still and a
//   movie pair when they share a base name that no other file of the group
//   has. The base name is the file name without its extension, in ASCII
//   lower case, and for a movie without a final "_HEVC" or "_3".
// Every other file stays on its own: two stills that could both own a movie
// (IMG_1234.HEIC and IMG_1234.JPG, or names differing only in case), or two
// movies that could both belong to one still, leave all of them unpaired
// rather than hide a movie behind the wrong still or delete it with it.
// Returns the pairs in the order of their stills; a file is in one pair at
// most. The files may come in any order. O(n log n). Thread: any.
std::vector<LivePhotoPair> pairLivePhotos(std::span<const LivePhotoFile> files);

}  // namespace vek::linux_library

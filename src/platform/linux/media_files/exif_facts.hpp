#pragma once

#include "platform/linux/media_files/media_facts.hpp"

namespace vek::linux_library {

// The EXIF tags an image's facts come from, as the file holds them (empty
// strings where it has none): read from a JPEG's header, a TIFF's EXIF
// directory or a RAW file's. Plain data only: the JPEG header reader fills
// it between setjmp and longjmp.
struct ExifFacts {
  int orientation = 0;
  char dateTimeOriginal[32] = {};
  char subSecTimeOriginal[16] = {};
  char offsetTimeOriginal[16] = {};
  char dateTime[32] = {};
  char subSecTime[16] = {};
  char offsetTime[16] = {};
  char contentIdentifier[kMaxContentIdentifierLength + 1] = {};  // from Apple's maker note
};

}  // namespace vek::linux_library

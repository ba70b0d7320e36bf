#pragma once

#include "platform/linux/media_files/exif_facts.hpp"

namespace vek::linux_library {

// Fills the date fields of `facts` from the TIFF file open for reading at
// `fd`: DateTime from its first directory, the original date and both
// sub-second and offset tags from its EXIF directory. Fields the file does
// not hold, or all of them when it cannot be read as a TIFF, are left as
// they are. Reads with pread(), so the descriptor's offset is left alone;
// writes nothing to stderr. Any thread.
void readTiffDates(int fd, ExifFacts* facts);

}  // namespace vek::linux_library

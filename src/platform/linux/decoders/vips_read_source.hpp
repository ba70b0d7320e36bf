#pragma once

#include <vips/vips.h>

namespace vek::linux_library {

// A new libvips source (caller unrefs) that reads the open file `fd` with
// pread() through a duplicate descriptor it owns. libvips maps ordinary
// files into memory for some loaders (WebP), and a file that another program
// truncates while it is mapped kills the process with SIGBUS; a source that
// cannot be mapped makes libvips read what it needs instead. nullptr when
// the descriptor cannot be duplicated.
VipsSource* newReadSource(int fd);

}  // namespace vek::linux_library

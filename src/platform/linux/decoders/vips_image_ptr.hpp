#pragma once

#include <vips/vips.h>

#include <memory>

namespace vek::linux_library {

struct VipsObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};

// Owns one reference to a VipsImage.
using VipsImagePtr = std::unique_ptr<VipsImage, VipsObjectUnref>;

// Runs `operation(&out)`, a call of a vips operation that writes its output
// image to `out` and returns 0 on success. Returns the output, or nullptr
// (with the vips error buffer emptied, since nothing reads it) on failure.
template <typename Operation>
VipsImagePtr vipsResult(Operation&& operation) {
  VipsImage* out = nullptr;
  if (operation(&out) != 0) {
    if (out) g_object_unref(out);
    vips_error_clear();
    return nullptr;
  }
  return VipsImagePtr(out);
}

}  // namespace vek::linux_library

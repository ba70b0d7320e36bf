#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace vek::testing {

// A linear RGB colour, each channel 0 (black) to 1 (the sensor's white).
using LinearRgb = std::array<double, 3>;

// What a test DNG holds. The raw image is an RGGB Bayer mosaic of
// `picture`, sampled at each photosite, in 16-bit samples from 0 to
// `whiteLevel`. Its colour matrix makes the camera's space linear sRGB and
// its white balance neutral, so a developed pixel is `picture` through the
// developer's tone curve.
struct DngContent {
  int width = 64;  // even
  int height = 48;  // even
  std::function<LinearRgb(int x, int y)> picture = [](int, int) { return LinearRgb{0.5, 0.5, 0.5}; };
  uint16_t whiteLevel = 4095;
  int orientation = 1;  // the EXIF value; 0 leaves the tag out
  // EXIF text; an empty field leaves its tag out.
  std::string dateTimeOriginal;
  std::string subSecTimeOriginal;
  std::string offsetTimeOriginal;
  std::string dateTime;
  // A baseline JPEG stored as the file's preview (a reduced-resolution
  // image in a sub-IFD), with the size its tags give; none when empty.
  std::string previewJpeg;
  int previewWidth = 0;
  int previewHeight = 0;
  // The raw image's size as its tags give it, when not 0: a file that lies.
  uint32_t declaredWidth = 0;
  uint32_t declaredHeight = 0;
};

// The bytes of a little-endian DNG 1.4 file holding `content`: the raw
// image in IFD 0, the preview in a sub-IFD, the dates in the EXIF IFD. Only
// what a raw developer needs is written. The raw data comes last, so a file
// cut short keeps its tags and loses photosites.
std::string makeDng(const DngContent& content);

}  // namespace vek::testing

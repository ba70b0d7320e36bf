#include "platform/linux/render/fit.hpp"

#include <algorithm>
#include <cmath>

namespace vek::linux_library {
namespace {

// Measured on 12- and 24-megapixel photos against a full-size Lanczos3
// reference: DCT scaling is a coarse box filter, and once the decoded image
// is less than about 1.5 times the target the delivered JPEG loses more than
// half a decibel. vipsthumbnail keeps a factor of 2, which costs a full
// decode for a 12-megapixel photo into a 1024 box.
constexpr double kPreShrinkMargin = 1.5;

bool isDeviceSpace(const VipsImage* image) {
  const bool rgbOrGrey = image->Type == VIPS_INTERPRETATION_sRGB || image->Type == VIPS_INTERPRETATION_RGB ||
                         image->Type == VIPS_INTERPRETATION_B_W || image->Type == VIPS_INTERPRETATION_RGB16 ||
                         image->Type == VIPS_INTERPRETATION_GREY16;
  const bool integer = image->BandFmt == VIPS_FORMAT_UCHAR || image->BandFmt == VIPS_FORMAT_USHORT;
  return image->Coding == VIPS_CODING_NONE && rgbOrGrey && integer;
}

bool hasIccProfile(VipsImage* image) { return vips_image_get_typeof(image, VIPS_META_ICC_NAME) != 0; }

// Anything but plain RGB or grey (CMYK, Lab, float, packed codings) goes to
// 8-bit sRGB at once, so the later steps see one kind of image. Its profile
// went into that conversion and must not be applied a second time.
VipsImagePtr toDeviceSpace(VipsImagePtr image) {
  if (isDeviceSpace(image.get())) return image;
  VipsImagePtr srgb = vipsResult(
      [&](VipsImage** out) { return vips_colourspace(image.get(), out, VIPS_INTERPRETATION_sRGB, nullptr); });
  if (!srgb) return nullptr;
  VipsImagePtr copy = vipsResult([&](VipsImage** out) { return vips_copy(srgb.get(), out, nullptr); });
  if (copy) vips_image_remove(copy.get(), VIPS_META_ICC_NAME);
  return copy;
}

// Compositing over white before the resize gives the same pixels as a
// premultiplied resize followed by the flatten, without the float round trip.
VipsImagePtr flattenOntoWhite(VipsImagePtr image) {
  if (!vips_image_hasalpha(image.get())) return image;
  const double white = image->BandFmt == VIPS_FORMAT_USHORT ? 65535.0 : 255.0;
  VipsArrayDouble* background = vips_array_double_newv(1, white);
  VipsImagePtr flat = vipsResult([&](VipsImage** out) {
    return vips_flatten(image.get(), out, "background", background, "max_alpha", white, nullptr);
  });
  vips_area_unref(VIPS_AREA(background));
  return flat;
}

VipsImagePtr resizeTo(VipsImagePtr image, PixelSize target) {
  if (image->Xsize == target.width && image->Ysize == target.height) return image;
  const double hscale = static_cast<double>(target.width) / image->Xsize;
  const double vscale = static_cast<double>(target.height) / image->Ysize;
  return vipsResult([&](VipsImage** out) { return vips_resize(image.get(), out, hscale, "vscale", vscale, nullptr); });
}

// The profile is applied after the resize, where it touches the fewest
// pixels. A profile that lcms cannot use is ignored rather than failing the
// whole render: the pixels are still the best guess at the picture.
VipsImagePtr toSrgb8(VipsImagePtr image) {
  if (hasIccProfile(image.get())) {
    VipsImagePtr managed = vipsResult([&](VipsImage** out) {
      return vips_icc_transform(image.get(), out, "srgb", "embedded", TRUE, "intent", VIPS_INTENT_RELATIVE, "depth", 8,
                                nullptr);
    });
    if (managed) image = std::move(managed);
  }
  VipsImagePtr srgb = vipsResult(
      [&](VipsImage** out) { return vips_colourspace(image.get(), out, VIPS_INTERPRETATION_sRGB, nullptr); });
  if (!srgb || srgb->BandFmt == VIPS_FORMAT_UCHAR) return srgb;
  return vipsResult([&](VipsImage** out) { return vips_cast(srgb.get(), out, VIPS_FORMAT_UCHAR, nullptr); });
}

// Decoding happens here, into memory, unless the loaded pixels come from
// memory: a sequentially read file cannot be read twice, so an image that
// may be encoded more than once must not depend on it, and a damaged file
// must fail now rather than at encoding. Rotation needs random access
// anyway; it is applied to the in-memory pixels as they are read, so a
// full-size image is held only once.
VipsImagePtr decodeUpright(VipsImagePtr image, bool fromMemory) {
  const int orientation = vips_image_get_orientation(image.get());
  if (!fromMemory) {
    image.reset(vips_image_copy_memory(image.get()));
    if (!image) {
      vips_error_clear();
      return nullptr;
    }
  }
  if (orientation < 2 || orientation > 8) return image;
  return vipsResult([&](VipsImage** out) { return vips_autorot(image.get(), out, nullptr); });
}

}  // namespace

PixelSize fittedSize(PixelSize stored, int64_t box) {
  const int longSide = std::max(stored.width, stored.height);
  if (box <= 0 || longSide <= box) return stored;
  const double scale = static_cast<double>(box) / longSide;
  const auto shrink = [scale](int side) { return std::max(1, static_cast<int>(std::lround(side * scale))); };
  if (stored.width >= stored.height) return {static_cast<int>(box), shrink(stored.height)};
  return {shrink(stored.width), static_cast<int>(box)};
}

double preShrinkScale(PixelSize stored, PixelSize target) {
  const double longScale =
      kPreShrinkMargin * std::max(target.width, target.height) / std::max(stored.width, stored.height);
  // A thin image's shorter side would otherwise shrink below the target's,
  // or to nothing, which the loader refuses.
  const double shortScale =
      static_cast<double>(std::min(target.width, target.height)) / std::min(stored.width, stored.height);
  return std::min(1.0, std::max(longScale, shortScale));
}

int jpegShrinkFor(PixelSize stored, PixelSize target) {
  const int storedLong = std::max(stored.width, stored.height);
  const int storedShort = std::min(stored.width, stored.height);
  const int targetLong = std::max(target.width, target.height);
  const int targetShort = std::min(target.width, target.height);
  for (int shrink : {8, 4, 2}) {
    // libjpeg rounds scaled sizes up.
    const int decodedLong = (storedLong + shrink - 1) / shrink;
    const int decodedShort = (storedShort + shrink - 1) / shrink;
    if (decodedLong >= kPreShrinkMargin * targetLong && decodedShort >= targetShort) return shrink;
  }
  return 1;
}

VipsImagePtr finishImage(VipsImagePtr loaded, PixelSize target, bool fromMemory) {
  if (!loaded) return nullptr;
  VipsImagePtr image = toDeviceSpace(std::move(loaded));
  if (image) image = flattenOntoWhite(std::move(image));
  if (image) image = resizeTo(std::move(image), target);
  if (image) image = toSrgb8(std::move(image));
  if (image) image = decodeUpright(std::move(image), fromMemory);
  return image;
}

}  // namespace vek::linux_library

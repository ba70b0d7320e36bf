#include "platform/linux/render/raw.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include <libraw/libraw.h>

#include "platform/linux/decoders/raw_file.hpp"

namespace vek::linux_library {
namespace {

// Previews are a few megabytes; anything this large is not worth reading
// before the raw data it would stand in for.
constexpr size_t kMaxPreviewBytes = 64 << 20;

int longerSide(PixelSize size) { return std::max(size.width, size.height); }

VipsImagePtr withOrientation(VipsImage* image, int orientation) {
  VipsImagePtr copy = vipsResult([&](VipsImage** out) { return vips_copy(image, out, nullptr); });
  if (copy) vips_image_set_int(copy.get(), VIPS_META_ORIENTATION, orientation);
  return copy;
}

// The preview decoded into memory at the least size that still fits
// `target`, or nullptr when there is no JPEG preview, or it is too small,
// not the whole picture or does not decode: the raw data then stands in.
VipsImagePtr decodePreview(RawFile& file, PixelSize developed, PixelSize target) {
  const libraw_thumbnail_t& thumbnail = file.libraw().imgdata.thumbnail;
  const PixelSize declared{thumbnail.twidth, thumbnail.theight};
  if (longerSide(declared) < longerSide(target) || !sameAspect(declared, developed)) return nullptr;
  const std::string jpeg = file.jpegPreview(kMaxPreviewBytes);
  if (jpeg.empty()) return nullptr;
  // The source reads `jpeg` in place: every image over it is gone before
  // `jpeg` is, since what is returned is a copy in memory.
  VipsSource* source = vips_source_new_from_memory(jpeg.data(), jpeg.size());
  if (source == nullptr) {
    vips_error_clear();
    return nullptr;
  }
  std::unique_ptr<VipsSource, VipsObjectUnref> sourceOwner(source);
  // The tags may not say what the JPEG holds: its own header decides.
  VipsImagePtr header = vipsResult([&](VipsImage** out) {
    return vips_jpegload_source(source, out, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on", VIPS_FAIL_ON_ERROR, nullptr);
  });
  if (!header) return nullptr;
  const PixelSize stored{header->Xsize, header->Ysize};
  if (!isDecodable(stored) || longerSide(stored) < longerSide(target) || !sameAspect(stored, developed)) {
    return nullptr;
  }
  const int shrink = jpegShrinkFor(stored, target);
  VipsImagePtr shrunk = vipsResult([&](VipsImage** out) {
    return vips_jpegload_source(source, out, "shrink", shrink, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on",
                                VIPS_FAIL_ON_ERROR, nullptr);
  });
  if (!shrunk) return nullptr;
  VipsImagePtr decoded(vips_image_copy_memory(shrunk.get()));
  if (!decoded) {
    vips_error_clear();
    return nullptr;
  }
  return withOrientation(decoded.get(), file.orientation());
}

void clearProcessedImage(VipsImage*, gpointer processed) {
  LibRaw::dcraw_clear_mem(static_cast<libraw_processed_image_t*>(processed));
}

// The raw data developed: demosaiced (or binned 2 x 2 at half size), the
// camera's white balance, sRGB primaries and tone curve, 8 bits.
VipsImagePtr develop(RawFile& file, bool halfSize) {
  if (!file.reopen()) return nullptr;
  LibRaw& raw = file.libraw();
  libraw_output_params_t& params = raw.imgdata.params;
  params.user_flip = 0;
  params.half_size = halfSize ? 1 : 0;
  params.use_camera_wb = 1;
  params.output_color = 1;
  params.output_bps = 8;
  if (raw.unpack() != LIBRAW_SUCCESS || file.damaged()) return nullptr;
  if (raw.dcraw_process() != LIBRAW_SUCCESS || file.damaged()) return nullptr;
  int error = 0;
  libraw_processed_image_t* processed = raw.dcraw_make_mem_image(&error);
  if (processed == nullptr) return nullptr;
  const bool usable = processed->type == LIBRAW_IMAGE_BITMAP && processed->bits == 8 &&
                      (processed->colors == 1 || processed->colors == 3) &&
                      static_cast<size_t>(processed->width) * processed->height * processed->colors <=
                          processed->data_size;
  VipsImage* image = usable ? vips_image_new_from_memory(processed->data, processed->data_size, processed->width,
                                                         processed->height, processed->colors, VIPS_FORMAT_UCHAR)
                            : nullptr;
  if (image == nullptr) {
    vips_error_clear();
    LibRaw::dcraw_clear_mem(processed);
    return nullptr;
  }
  g_signal_connect(image, "postclose", G_CALLBACK(clearProcessedImage), processed);
  image->Type = processed->colors == 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W;
  VipsImagePtr owner(image);
  return withOrientation(owner.get(), file.orientation());
}

}  // namespace

LoadedImage loadRaw(int fd, int64_t box) {
  std::unique_ptr<RawFile> file = RawFile::open(fd);
  if (!file || !file->rawDataIsWhole()) return {};
  const PixelSize developed = file->developedSize();
  if (!isDecodable(developed)) return {};
  const PixelSize target = fittedSize(developed, box);
  if (box > 0) {
    if (VipsImagePtr preview = decodePreview(*file, developed, target)) return {std::move(preview), target, true};
  }
  // Half size bins each 2 x 2 block of photosites into one pixel: the same
  // margin as a JPEG decoded at half scale.
  const bool halfSize = box > 0 && jpegShrinkFor(developed, target) >= 2;
  VipsImagePtr developedImage = develop(*file, halfSize);
  if (!developedImage) return {};
  return {std::move(developedImage), target, true};
}

}  // namespace vek::linux_library

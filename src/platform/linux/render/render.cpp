#include "platform/linux/render/render.hpp"

#include <sys/stat.h>

#include <optional>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/decoders/vips_read_source.hpp"
#include "platform/linux/media_files/media_names.hpp"
#include "platform/linux/posix/memory_policy.hpp"
#include "platform/linux/render/decode_thread.hpp"
#include "platform/linux/render/fit.hpp"
#include "platform/linux/render/heif.hpp"
#include "platform/linux/render/jpeg.hpp"
#include "platform/linux/render/raw.hpp"
#include "platform/linux/render/video_poster.hpp"
#include "platform/linux/render/vips_platform_image.hpp"

namespace vek::linux_library {
namespace {

// Sequential access lets a loader stream rows into the resize instead of
// decoding the whole image into memory first. A truncated or broken file
// fails rather than rendering grey or garbage where its data ran out; mere
// warnings (stray bytes between markers, common in camera files) do not.
constexpr VipsAccess kAccess = VIPS_ACCESS_SEQUENTIAL;
constexpr VipsFailOn kFailOn = VIPS_FAIL_ON_ERROR;

// A rendered image this large (a 12-megapixel photo at full size) gives the
// heap back before it is encoded: its encoding peaks high enough as it is.
constexpr size_t kLargeRenderBytes = 32 << 20;

PixelSize sizeOf(const VipsImage* image) { return {image->Xsize, image->Ysize}; }

using VipsSourcePtr = std::unique_ptr<VipsSource, VipsObjectUnref>;

// A source that libvips reads rather than maps, so a file truncated while it
// renders fails the render instead of killing the process. Empty files get
// none: libvips aborts on an empty source.
VipsSourcePtr readSourceOf(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size <= 0) return nullptr;
  return VipsSourcePtr(newReadSource(fd));
}

LoadedImage loadJpeg(const OpenedFile& file, VipsSource* source, int64_t box) {
  VipsImagePtr header = vipsResult([&](VipsImage** out) {
    return vips_jpegload_source(source, out, "access", kAccess, "fail_on", kFailOn, nullptr);
  });
  if (!header || !isDecodable(sizeOf(header.get()))) return {};
  const PixelSize target = fittedSize(sizeOf(header.get()), box);
  const int shrink = jpegShrinkFor(sizeOf(header.get()), target);
  if (shrink == 1) return {std::move(header), target};
  if (std::optional<VipsImagePtr> decoded = decodeJpegShrunk(file.fd->get(), shrink, header.get())) {
    return {std::move(*decoded), target, true};
  }
  VipsImagePtr shrunk = vipsResult([&](VipsImage** out) {
    return vips_jpegload_source(source, out, "shrink", shrink, "access", kAccess, "fail_on", kFailOn, nullptr);
  });
  return {std::move(shrunk), target};
}

LoadedImage loadWebp(VipsSource* source, int64_t box) {
  VipsImagePtr header = vipsResult([&](VipsImage** out) {
    return vips_webpload_source(source, out, "access", kAccess, "fail_on", kFailOn, nullptr);
  });
  if (!header || !isDecodable(sizeOf(header.get()))) return {};
  const PixelSize target = fittedSize(sizeOf(header.get()), box);
  const double scale = preShrinkScale(sizeOf(header.get()), target);
  if (scale >= 1.0) return {std::move(header), target};
  VipsImagePtr scaled = vipsResult([&](VipsImage** out) {
    return vips_webpload_source(source, out, "scale", scale, "access", kAccess, "fail_on", kFailOn, nullptr);
  });
  return {std::move(scaled), target};
}

LoadedImage loadOther(VipsSource* source, int64_t box) {
  VipsImagePtr image(vips_image_new_from_source(source, "", "access", kAccess, "fail_on", kFailOn, nullptr));
  if (!image) {
    vips_error_clear();
    return {};
  }
  if (!isDecodable(sizeOf(image.get()))) return {};
  const PixelSize target = fittedSize(sizeOf(image.get()), box);
  return {std::move(image), target};
}

// Every loader reads the open file, through the one source: none opens the
// path again, which could by now lead to another file.
LoadedImage load(const OpenedFile& file, int64_t box) {
  const int fd = file.fd->get();
  // DNG is TIFF underneath, and libvips would show its first IFD instead.
  if (isCameraRawName(file.path)) return loadRaw(fd, box);
  VipsSourcePtr source = readSourceOf(fd);
  if (!source) return {};
  // A JPEG is known by its first bytes, without asking every loader.
  if (startsLikeJpeg(fd)) return loadJpeg(file, source.get(), box);
  // Loaders blocked as unsafe for untrusted files are never found here.
  const char* loader = vips_foreign_find_load_source(source.get());
  if (!loader) {
    vips_error_clear();
    return {};
  }
  if (vips_isprefix("VipsForeignLoadJpeg", loader)) return loadJpeg(file, source.get(), box);
  if (vips_isprefix("VipsForeignLoadHeif", loader)) return loadHeifForBox(fd, box);
  if (vips_isprefix("VipsForeignLoadWebp", loader)) return loadWebp(source.get(), box);
  return loadOther(source.get(), box);
}

std::shared_ptr<PlatformImage> deliver(VipsImagePtr loaded, PixelSize target, bool fromMemory) {
  VipsImagePtr finished = finishImage(std::move(loaded), target, fromMemory);
  if (!finished) return nullptr;
  if (VIPS_IMAGE_SIZEOF_IMAGE(finished.get()) >= kLargeRenderBytes) returnFreedMemory();
  return std::make_shared<VipsPlatformImage>(std::move(finished));
}

}  // namespace

// Handing rows between threads pays only where there is an idle core to
// hand them to; a process that is one of a core's worth of renderers has
// none, and the hand-offs cost a few percent of each render.
void renderOnCallingThread() {
  startMediaLibraries();
  vips_concurrency_set(1);
  keepDecodingInline();
}

std::shared_ptr<PlatformImage> renderImageFile(const OpenedFile& file, int64_t box) {
  startMediaLibraries();
  reuseDecoderMemory();
  LoadedImage loaded = load(file, box);
  if (!loaded.image) return nullptr;
  return deliver(std::move(loaded.image), loaded.target, loaded.fromMemory);
}

std::shared_ptr<PlatformImage> renderVideoPoster(const OpenedFile& file, int64_t box) {
  startMediaLibraries();
  reuseDecoderMemory();
  VipsImagePtr frame = decodeVideoPoster(file);
  if (!frame) return nullptr;
  const PixelSize target = fittedSize(sizeOf(frame.get()), box);
  return deliver(std::move(frame), target, true);
}

}  // namespace vek::linux_library

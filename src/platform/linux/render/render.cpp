#include "platform/linux/render/render.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <system_error>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/decoders/vips_read_source.hpp"
#include "platform/linux/media_files/media_names.hpp"
#include "platform/linux/posix/memory_policy.hpp"
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

LoadedImage loadJpeg(const char* path, int64_t box) {
  VipsImagePtr header = vipsResult(
      [&](VipsImage** out) { return vips_jpegload(path, out, "access", kAccess, "fail_on", kFailOn, nullptr); });
  if (!header || !isDecodable(sizeOf(header.get()))) return {};
  const PixelSize target = fittedSize(sizeOf(header.get()), box);
  const int shrink = jpegShrinkFor(sizeOf(header.get()), target);
  if (shrink == 1) return {std::move(header), target};
  if (std::optional<VipsImagePtr> decoded = decodeJpegShrunk(path, shrink, header.get())) {
    return {std::move(*decoded), target, true};
  }
  VipsImagePtr shrunk = vipsResult([&](VipsImage** out) {
    return vips_jpegload(path, out, "shrink", shrink, "access", kAccess, "fail_on", kFailOn, nullptr);
  });
  return {std::move(shrunk), target};
}

using VipsSourcePtr = std::unique_ptr<VipsSource, VipsObjectUnref>;

// A source that libvips reads rather than maps, so a file truncated while it
// renders fails the render instead of killing the process. Empty files get
// none: libvips aborts on an empty source.
VipsSourcePtr openReadSource(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  VipsSourcePtr source;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) source.reset(newReadSource(fd));
  close(fd);
  return source;
}

LoadedImage loadWebp(const char* path, int64_t box) {
  VipsSourcePtr source = openReadSource(path);
  if (!source) return {};
  VipsImagePtr header = vipsResult([&](VipsImage** out) {
    return vips_webpload_source(source.get(), out, "access", kAccess, "fail_on", kFailOn, nullptr);
  });
  if (!header || !isDecodable(sizeOf(header.get()))) return {};
  const PixelSize target = fittedSize(sizeOf(header.get()), box);
  const double scale = preShrinkScale(sizeOf(header.get()), target);
  if (scale >= 1.0) return {std::move(header), target};
  VipsImagePtr scaled = vipsResult([&](VipsImage** out) {
    return vips_webpload_source(source.get(), out, "scale", scale, "access", kAccess, "fail_on", kFailOn, nullptr);
  });
  return {std::move(scaled), target};
}

LoadedImage loadOther(const char* path, int64_t box) {
  VipsSourcePtr source = openReadSource(path);
  if (!source) return {};
  VipsImagePtr image(vips_image_new_from_source(source.get(), "", "access", kAccess, "fail_on", kFailOn, nullptr));
  if (!image) {
    vips_error_clear();
    return {};
  }
  if (!isDecodable(sizeOf(image.get()))) return {};
  const PixelSize target = fittedSize(sizeOf(image.get()), box);
  return {std::move(image), target};
}

LoadedImage load(const char* path, int64_t box) {
  // DNG is TIFF underneath, and libvips would show its first IFD instead.
  if (isCameraRawName(path)) return loadRaw(path, box);
  // A JPEG is known by its first bytes, without asking every loader.
  if (startsLikeJpeg(path)) return loadJpeg(path, box);
  // Loaders blocked as unsafe for untrusted files are never found here.
  const char* loader = vips_foreign_find_load(path);
  if (!loader) {
    vips_error_clear();
    return {};
  }
  if (vips_isprefix("VipsForeignLoadJpeg", loader)) return loadJpeg(path, box);
  if (vips_isprefix("VipsForeignLoadHeif", loader)) return loadHeifForBox(path, box);
  if (vips_isprefix("VipsForeignLoadWebp", loader)) return loadWebp(path, box);
  return loadOther(path, box);
}

// A FIFO or device given a photo's name would block the first read forever.
bool isRegularFile(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

std::shared_ptr<PlatformImage> deliver(VipsImagePtr loaded, PixelSize target, bool fromMemory) {
  VipsImagePtr finished = finishImage(std::move(loaded), target, fromMemory);
  if (!finished) return nullptr;
  if (VIPS_IMAGE_SIZEOF_IMAGE(finished.get()) >= kLargeRenderBytes) returnFreedMemory();
  return std::make_shared<VipsPlatformImage>(std::move(finished));
}

}  // namespace

std::shared_ptr<PlatformImage> renderImageFile(const std::string& path, int64_t box) {
  if (!isRegularFile(path)) return nullptr;
  startMediaLibraries();
  reuseDecoderMemory();
  LoadedImage loaded = load(path.c_str(), box);
  if (!loaded.image) return nullptr;
  return deliver(std::move(loaded.image), loaded.target, loaded.fromMemory);
}

std::shared_ptr<PlatformImage> renderVideoPoster(const std::string& path, int64_t box) {
  if (!isRegularFile(path)) return nullptr;
  startMediaLibraries();
  reuseDecoderMemory();
  VipsImagePtr frame = decodeVideoPoster(path);
  if (!frame) return nullptr;
  const PixelSize target = fittedSize(sizeOf(frame.get()), box);
  return deliver(std::move(frame), target, true);
}

}  // namespace vek::linux_library

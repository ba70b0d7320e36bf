#include "platform/linux/render/heif.hpp"

#include <sys/stat.h>

#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/posix/io.hpp"
#include "platform/linux/render/heif_boxes.hpp"

namespace vek::linux_library {
namespace {

struct ContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct OptionsFree {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
struct ImageRelease {
  void operator()(heif_image* image) const { heif_image_release(image); }
};

using ContextPtr = std::unique_ptr<heif_context, ContextFree>;
using HandlePtr = std::unique_ptr<heif_image_handle, HandleRelease>;
// Shared by the vips images that read its planes in place.
using SharedHeifImage = std::shared_ptr<heif_image>;

// The whole file is read once, so that libheif and the property reader see
// the same bytes even if the file is replaced meanwhile. Even a
// 200-megapixel photo compresses to far less than this.
constexpr off_t kMaxFileBytes = off_t{256} << 20;

std::optional<std::string> readFile(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || info.st_size <= 0 || info.st_size > kMaxFileBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(info.st_size), '\0');
  if (readAt(fd, bytes.data(), bytes.size(), 0) != bytes.size()) return std::nullopt;
  return bytes;
}

PixelSize handleSize(const heif_image_handle* handle) {
  return {heif_image_handle_get_width(handle), heif_image_handle_get_height(handle)};
}

void deleteKeeper(gpointer keeper) { delete static_cast<SharedHeifImage*>(keeper); }

// A vips view of one 8-bit plane, read in place: the decoded image stays
// alive for as long as the view does.
VipsImagePtr wrapPlane(const SharedHeifImage& image, heif_channel channel) {
  int stride = 0;
  const uint8_t* data = heif_image_get_plane_readonly(image.get(), channel, &stride);
  const int width = heif_image_get_width(image.get(), channel);
  const int height = heif_image_get_height(image.get(), channel);
  if (!data || width <= 0 || height <= 0 || stride < width ||
      heif_image_get_bits_per_pixel_range(image.get(), channel) != 8)
    return nullptr;
  VipsImagePtr rows(
      vips_image_new_from_memory(data, static_cast<size_t>(stride) * height, stride, height, 1, VIPS_FORMAT_UCHAR));
  if (!rows) {
    vips_error_clear();
    return nullptr;
  }
  g_object_set_data_full(G_OBJECT(rows.get()), "vek-heif-image", new SharedHeifImage(image), deleteKeeper);
  if (stride == width) return rows;
  return vipsResult([&](VipsImage** out) { return vips_crop(rows.get(), out, 0, 0, width, height, nullptr); });
}

VipsImagePtr joinPlanes(const SharedHeifImage& image) {
  std::vector<heif_channel> channels = {heif_channel_R, heif_channel_G, heif_channel_B};
  if (heif_image_has_channel(image.get(), heif_channel_Alpha)) channels.push_back(heif_channel_Alpha);
  std::vector<VipsImagePtr> planes;
  std::vector<VipsImage*> inputs;
  for (heif_channel channel : channels) {
    planes.push_back(wrapPlane(image, channel));
    if (!planes.back()) return nullptr;
    if (!inputs.empty() && (planes.back()->Xsize != inputs[0]->Xsize || planes.back()->Ysize != inputs[0]->Ysize))
      return nullptr;
    inputs.push_back(planes.back().get());
  }
  VipsImagePtr joined = vipsResult(
      [&](VipsImage** out) { return vips_bandjoin(inputs.data(), out, static_cast<int>(inputs.size()), nullptr); });
  if (!joined) return nullptr;
  return vipsResult([&](VipsImage** out) {
    return vips_copy(joined.get(), out, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
  });
}

// Planar RGB: libheif converts tiles to it with the least copying, and
// vips joins the planes on its own threads while it shrinks them.
SharedHeifImage decode(const heif_image_handle* handle, bool ignoreTransformations) {
  std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
  if (!options) return nullptr;
  options->ignore_transformations = ignoreTransformations ? 1 : 0;
  options->convert_hdr_to_8bit = 1;
  heif_image* image = nullptr;
  const heif_error error = heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_444, options.get());
  SharedHeifImage owned(image, ImageRelease());
  if (error.code != heif_error_Ok || !image) return nullptr;
  return owned;
}

void attachIccProfile(const heif_image_handle* handle, VipsImage* image) {
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return;
  std::string profile(heif_image_handle_get_raw_color_profile_size(handle), '\0');
  if (profile.empty() || heif_image_handle_get_raw_color_profile(handle, profile.data()).code != heif_error_Ok) return;
  vips_image_set_blob_copy(image, VIPS_META_ICC_NAME, profile.data(), profile.size());
}

VipsImagePtr decodeThumbnail(const heif_image_handle* primary, PixelSize displayed, PixelSize target) {
  const int count = heif_image_handle_get_number_of_thumbnails(primary);
  if (count <= 0) return nullptr;
  std::vector<heif_item_id> ids(static_cast<size_t>(count));
  const int listed = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
  for (int i = 0; i < listed; ++i) {
    heif_image_handle* raw = nullptr;
    if (heif_image_handle_get_thumbnail(primary, ids[i], &raw).code != heif_error_Ok) continue;
    HandlePtr thumbnail(raw);
    const PixelSize size = handleSize(thumbnail.get());
    const bool largerThanTarget = std::max(size.width, size.height) > std::max(target.width, target.height);
    if (!largerThanTarget || size.width >= displayed.width || !sameAspect(size, displayed)) continue;
    SharedHeifImage decoded = decode(thumbnail.get(), false);
    if (!decoded) continue;
    if (VipsImagePtr image = joinPlanes(decoded)) return image;
  }
  return nullptr;
}

int orientationForAnticlockwiseTurns(int quarterTurns) {
  switch (quarterTurns) {
    case 1:
      return 8;
    case 2:
      return 3;
    case 3:
      return 6;
    default:
      return 1;
  }
}

}  // namespace

LoadedImage loadHeifForBox(int fd, int64_t box) {
  const std::optional<std::string> bytes = readFile(fd);
  if (!bytes) return {};
  ContextPtr context(heif_context_alloc());
  if (!context) return {};
  heif_context_set_max_decoding_threads(context.get(), std::max(1, vips_concurrency_get()));
  if (heif_context_read_from_memory_without_copy(context.get(), bytes->data(), bytes->size(), nullptr).code !=
      heif_error_Ok)
    return {};
  heif_image_handle* raw = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &raw).code != heif_error_Ok) return {};
  HandlePtr primary(raw);
  const PixelSize displayed = handleSize(primary.get());
  if (!isDecodable(displayed)) return {};

  const PixelSize displayedTarget = fittedSize(displayed, box);
  if (displayedTarget != displayed) {
    if (VipsImagePtr thumbnail = decodeThumbnail(primary.get(), displayed, displayedTarget)) {
      attachIccProfile(primary.get(), thumbnail.get());
      return {std::move(thumbnail), displayedTarget};
    }
  }

  const std::optional<int> quarterTurns = heifPrimaryRotation(*bytes);
  SharedHeifImage decoded = decode(primary.get(), quarterTurns.has_value());
  if (!decoded) return {};
  VipsImagePtr image = joinPlanes(decoded);
  if (!image) return {};
  attachIccProfile(primary.get(), image.get());
  if (quarterTurns) {
    vips_image_set_int(image.get(), VIPS_META_ORIENTATION, orientationForAnticlockwiseTurns(*quarterTurns));
  }
  const PixelSize stored = {image->Xsize, image->Ysize};
  return {std::move(image), fittedSize(stored, box)};
}

}  // namespace vek::linux_library

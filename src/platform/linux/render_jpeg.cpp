#include "platform/linux/render_jpeg.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

namespace vek::linux_library {
namespace {

// Larger files are left to libvips, which streams them.
constexpr off_t kMaxWholeFileBytes = 256 << 20;

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf escape;
  bool truncated;
};

[[noreturn]] void escape(j_common_ptr info) {
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->escape, 1);
}

// Warnings are kept quiet. Running out of data is the one that fails the
// decode: libjpeg would fill the rest of the picture with grey. Stray bytes
// between markers, common in camera files, do not.
void noteMessage(j_common_ptr info, int level) {
  auto* errors = reinterpret_cast<ErrorManager*>(info->err);
  if (level < 0 && errors->pub.msg_code == JWRN_JPEG_EOF) errors->truncated = true;
}

void dropMessage(j_common_ptr) {}

enum class Outcome { kDecoded, kNotTaken, kFailed };

struct Decoded {
  unsigned char* pixels = nullptr;  // g_malloc'ed
  int width = 0;
  int height = 0;
  int bands = 0;
};

// Only plain data lives in this frame, so leaving it by longjmp skips no
// destructor; the pixels are freed by the caller whatever the outcome.
Outcome decode(const JpegFile& file, int shrink, int expectedWidth, int expectedHeight,
               Decoded& out) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = escape;
  errors.pub.emit_message = noteMessage;
  errors.pub.output_message = dropMessage;
  errors.truncated = false;
  if (setjmp(errors.escape) != 0) {
    jpeg_destroy_decompress(&info);
    return Outcome::kFailed;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.bytes.get(), static_cast<unsigned long>(file.size));
  jpeg_read_header(&info, TRUE);
  if (info.jpeg_color_space == JCS_GRAYSCALE) {
    info.out_color_space = JCS_GRAYSCALE;
  } else if (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB) {
    info.out_color_space = JCS_RGB;
  } else {
    jpeg_destroy_decompress(&info);
    return Outcome::kNotTaken;
  }
  info.scale_num = 1;
  info.scale_denom = static_cast<unsigned int>(shrink);
  jpeg_start_decompress(&info);
  // libvips read the same header: anything else means the file changed.
  if (static_cast<int>(info.output_width) != expectedWidth || static_cast<int>(info.output_height) != expectedHeight) {
    jpeg_destroy_decompress(&info);
    return Outcome::kFailed;
  }
  out.width = static_cast<int>(info.output_width);
  out.height = static_cast<int>(info.output_height);
  out.bands = info.output_components;
  const size_t stride = static_cast<size_t>(out.width) * static_cast<size_t>(out.bands);
  out.pixels = static_cast<unsigned char*>(g_malloc(stride * static_cast<size_t>(out.height)));
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[8];
    const JDIMENSION wanted = std::min<JDIMENSION>(8, info.output_height - info.output_scanline);
    for (JDIMENSION i = 0; i < wanted; ++i) rows[i] = out.pixels + (info.output_scanline + i) * stride;
    jpeg_read_scanlines(&info, rows, wanted);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return errors.truncated ? Outcome::kFailed : Outcome::kDecoded;
}

void freePixels(VipsImage*, void* pixels) { g_free(pixels); }

}  // namespace

bool startsLikeJpeg(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  unsigned char start[3] = {};
  ssize_t n = 0;
  do {
    n = pread(fd, start, sizeof start, 0);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n == 3 && start[0] == 0xFF && start[1] == 0xD8 && start[2] == 0xFF;
}

std::unique_ptr<JpegFile> readJpegFile(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat info {};
  std::unique_ptr<JpegFile> file;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 && info.st_size <= kMaxWholeFileBytes) {
    file = std::make_unique<JpegFile>();
    const auto wanted = static_cast<size_t>(info.st_size);
    // Left uninitialised: only the bytes read are ever looked at.
    file->bytes.reset(new unsigned char[wanted]);
    while (file->size < wanted) {
      const ssize_t n = pread(fd, file->bytes.get() + file->size, wanted - file->size, static_cast<off_t>(file->size));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      file->size += static_cast<size_t>(n);
    }
  }
  close(fd);
  return file;
}

std::optional<VipsImagePtr> decodeJpegShrunk(const JpegFile& file, int shrink, VipsImage* header) {
  const int expectedWidth = (header->Xsize + shrink - 1) / shrink;
  const int expectedHeight = (header->Ysize + shrink - 1) / shrink;
  Decoded decoded;
  const Outcome outcome = decode(file, shrink, expectedWidth, expectedHeight, decoded);
  if (outcome != Outcome::kDecoded) {
    g_free(decoded.pixels);
    if (outcome == Outcome::kNotTaken) return std::nullopt;
    return VipsImagePtr();
  }
  const size_t size = static_cast<size_t>(decoded.width) * decoded.height * decoded.bands;
  VipsImagePtr image(vips_image_new_from_memory(decoded.pixels, size, decoded.width, decoded.height, decoded.bands,
                                                VIPS_FORMAT_UCHAR));
  if (!image) {
    g_free(decoded.pixels);
    vips_error_clear();
    return VipsImagePtr();
  }
  g_signal_connect(image.get(), "postclose", G_CALLBACK(freePixels), decoded.pixels);
  image->Type = decoded.bands == 1 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
  int orientation = 0;
  if (vips_image_get_typeof(header, VIPS_META_ORIENTATION) &&
      vips_image_get_int(header, VIPS_META_ORIENTATION, &orientation) == 0) {
    vips_image_set_int(image.get(), VIPS_META_ORIENTATION, orientation);
  }
  const void* profile = nullptr;
  size_t profileSize = 0;
  if (vips_image_get_typeof(header, VIPS_META_ICC_NAME) &&
      vips_image_get_blob(header, VIPS_META_ICC_NAME, &profile, &profileSize) == 0) {
    vips_image_set_blob_copy(image.get(), VIPS_META_ICC_NAME, profile, profileSize);
  }
  return image;
}

}  // namespace vek::linux_library

#include "platform/linux/render/jpeg.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <jpeglib.h>
#include <jerror.h>

#include "platform/linux/posix/io.hpp"
#include "platform/linux/render/decode_thread.hpp"
#include "platform/linux/render/file_in_memory.hpp"

namespace vek::linux_library {
namespace {

// Larger files are left to libvips, which streams them.
constexpr size_t kMaxWholeFileBytes = 256 << 20;

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

// Feeds libjpeg the file as it is read into memory, as much at a time as
// is read. A file that ends early, or cannot be read on, gets the end
// marker libjpeg's own sources put there, with the same running-out-of-data
// warning.
struct FileSource {
  jpeg_source_mgr pub;
  FileInMemory* file;
  size_t position;  // where the next bytes handed on start
};

constexpr JOCTET kEndOfImage[] = {0xFF, JPEG_EOI};

void startSource(j_decompress_ptr) {}

boolean fillSource(j_decompress_ptr info) {
  auto* source = reinterpret_cast<FileSource*>(info->src);
  const size_t read = source->file->readPast(source->position);
  if (read > source->position) {
    source->pub.next_input_byte = source->file->bytes() + source->position;
    source->pub.bytes_in_buffer = read - source->position;
    source->position = read;
  } else {
    WARNMS(info, JWRN_JPEG_EOF);
    source->pub.next_input_byte = kEndOfImage;
    source->pub.bytes_in_buffer = sizeof kEndOfImage;
  }
  return TRUE;
}

void skipSource(j_decompress_ptr info, long count) {
  auto* source = reinterpret_cast<FileSource*>(info->src);
  if (count <= 0) return;
  const auto wanted = static_cast<size_t>(count);
  if (wanted <= source->pub.bytes_in_buffer) {
    source->pub.next_input_byte += wanted;
    source->pub.bytes_in_buffer -= wanted;
    return;
  }
  source->position += wanted - source->pub.bytes_in_buffer;
  source->pub.bytes_in_buffer = 0;
}

void endSource(j_decompress_ptr) {}

// One JPEG decoded at a reduced scale on the decode thread, while the
// pipeline after it resizes and encodes the rows above on the other core.
// The pipeline's rows wait for the decoder to pass them. Decoded rows stay
// in `pixels_`, so any region can be asked for again, in any order.
class ShrunkDecoder {
 public:
  explicit ShrunkDecoder(std::shared_ptr<FileInMemory> file) : file_(std::move(file)) {
    source_.pub.init_source = startSource;
    source_.pub.fill_input_buffer = fillSource;
    source_.pub.skip_input_data = skipSource;
    source_.pub.resync_to_restart = jpeg_resync_to_restart;
    source_.pub.term_source = endSource;
    source_.file = file_.get();
    info_.err = jpeg_std_error(&errors_.pub);
    errors_.pub.error_exit = escape;
    errors_.pub.emit_message = noteMessage;
    errors_.pub.output_message = dropMessage;
    errors_.truncated = false;
    jpeg_create_decompress(&info_);
  }

  ~ShrunkDecoder() {
    abandoned_ = true;
    {
      std::unique_lock lock(mutex_);
      decoded_.wait(lock, [this] { return !decoding_; });
    }
    jpeg_destroy_decompress(&info_);
    g_free(pixels_);
  }

  ShrunkDecoder(const ShrunkDecoder&) = delete;
  ShrunkDecoder& operator=(const ShrunkDecoder&) = delete;

  enum class Start { kStarted, kNotTaken, kFailed };

  // Reads the header and sets up decoding at 1/shrink. Only plain data lives
  // in this frame, so leaving it by longjmp skips no destructor.
  Start start(int shrink, int expectedWidth, int expectedHeight) {
    if (setjmp(errors_.escape) != 0) return Start::kFailed;
    info_.src = &source_.pub;
    jpeg_read_header(&info_, TRUE);
    if (info_.jpeg_color_space == JCS_GRAYSCALE) {
      info_.out_color_space = JCS_GRAYSCALE;
    } else if (info_.jpeg_color_space == JCS_YCbCr || info_.jpeg_color_space == JCS_RGB) {
      info_.out_color_space = JCS_RGB;
    } else {
      return Start::kNotTaken;
    }
    info_.scale_num = 1;
    info_.scale_denom = static_cast<unsigned int>(shrink);
    jpeg_start_decompress(&info_);
    // libvips read the same header: anything else means the file changed.
    if (static_cast<int>(info_.output_width) != expectedWidth ||
        static_cast<int>(info_.output_height) != expectedHeight) {
      return Start::kFailed;
    }
    stride_ = static_cast<size_t>(info_.output_width) * static_cast<size_t>(info_.output_components);
    pixels_ = static_cast<unsigned char*>(g_try_malloc(stride_ * info_.output_height));
    return pixels_ != nullptr ? Start::kStarted : Start::kFailed;
  }

  // Starts decoding the rows, on the decode thread when there is one, and
  // otherwise all of them now.
  void decodeRows() {
    decoding_ = true;
    if (!runOnDecodeThread([this] { decodeAll(); })) decodeAll();
  }

  int width() const { return static_cast<int>(info_.output_width); }
  int height() const { return static_cast<int>(info_.output_height); }
  int bands() const { return info_.output_components; }

  // Copies the rows of `out`'s rectangle into it once they are decoded.
  // Called from the pipeline's worker threads.
  int generate(VipsRegion* out) {
    const VipsRect& rect = out->valid;
    const auto bottom = static_cast<JDIMENSION>(rect.top + rect.height);
    {
      std::unique_lock lock(mutex_);
      decoded_.wait(lock, [&] { return failed_ || decodedRows_ >= bottom; });
      if (failed_) {
        vips_error("vek", "JPEG data cannot be decoded");
        return -1;
      }
    }
    const size_t offset = static_cast<size_t>(rect.left) * static_cast<size_t>(bands());
    const size_t length = static_cast<size_t>(rect.width) * static_cast<size_t>(bands());
    for (int y = rect.top; y < rect.top + rect.height; ++y) {
      memcpy(VIPS_REGION_ADDR(out, rect.left, y), pixels_ + static_cast<size_t>(y) * stride_ + offset, length);
    }
    return 0;
  }

 private:
  // Rows are handed on in bands of this many, a few of the pipeline's strips.
  static constexpr JDIMENSION kBandRows = 16;

  // Whatever the file holds past what was decoded (a phone's depth map, or
  // anything after damage) is not read on.
  void decodeAll() {
    const bool decoded = decodeBands();
    file_->stopReading();
    file_.reset();
    std::lock_guard lock(mutex_);
    if (decoded) {
      decodedRows_ = info_.output_height;
    } else {
      failed_ = true;
    }
    decoding_ = false;
    decoded_.notify_all();
  }

  // Decodes every row, band by band, handing on all but the last band, then
  // finishes the file. A file that runs out of data fails, rather than
  // showing the grey libjpeg would fill in. Only plain data lives in this
  // frame, so leaving it by longjmp skips no destructor.
  bool decodeBands() {
    if (setjmp(errors_.escape) != 0) return false;
    JDIMENSION rows = 0;
    while (rows < info_.output_height) {
      if (abandoned_) return false;
      const JDIMENSION bandEnd = std::min<JDIMENSION>(rows + kBandRows, info_.output_height);
      while (rows < bandEnd) {
        JSAMPROW band[kBandRows];
        const JDIMENSION wanted = bandEnd - rows;
        for (JDIMENSION i = 0; i < wanted; ++i) band[i] = pixels_ + (rows + i) * stride_;
        rows += jpeg_read_scanlines(&info_, band, wanted);
        if (errors_.truncated) return false;
      }
      if (rows < info_.output_height) publish(rows);
    }
    jpeg_finish_decompress(&info_);
    return !errors_.truncated;
  }

  void publish(JDIMENSION rows) {
    std::lock_guard lock(mutex_);
    decodedRows_ = rows;
    decoded_.notify_all();
  }

  std::shared_ptr<FileInMemory> file_;
  FileSource source_{};
  jpeg_decompress_struct info_{};
  ErrorManager errors_{};
  unsigned char* pixels_ = nullptr;  // g_malloc'ed
  size_t stride_ = 0;
  std::atomic<bool> abandoned_ = false;
  std::mutex mutex_;
  std::condition_variable decoded_;
  JDIMENSION decodedRows_ = 0;
  bool failed_ = false;
  bool decoding_ = false;
};

int generateRows(VipsRegion* out, void*, void* decoder, void*, gboolean*) {
  return static_cast<ShrunkDecoder*>(decoder)->generate(out);
}

void deleteDecoder(VipsImage*, void* decoder) { delete static_cast<ShrunkDecoder*>(decoder); }

void copyMetadata(VipsImage* header, VipsImage* image) {
  int orientation = 0;
  if (vips_image_get_typeof(header, VIPS_META_ORIENTATION) &&
      vips_image_get_int(header, VIPS_META_ORIENTATION, &orientation) == 0) {
    vips_image_set_int(image, VIPS_META_ORIENTATION, orientation);
  }
  const void* profile = nullptr;
  size_t profileSize = 0;
  if (vips_image_get_typeof(header, VIPS_META_ICC_NAME) &&
      vips_image_get_blob(header, VIPS_META_ICC_NAME, &profile, &profileSize) == 0) {
    vips_image_set_blob_copy(image, VIPS_META_ICC_NAME, profile, profileSize);
  }
}

}  // namespace

bool startsLikeJpeg(int fd) {
  unsigned char start[3] = {};
  const size_t n = readAt(fd, start, sizeof start, 0);
  return n == sizeof start && start[0] == 0xFF && start[1] == 0xD8 && start[2] == 0xFF;
}

std::optional<VipsImagePtr> decodeJpegShrunk(int fd, int shrink, VipsImage* header) {
  std::shared_ptr<FileInMemory> file = FileInMemory::open(fd, kMaxWholeFileBytes);
  if (!file) return std::nullopt;
  auto decoder = std::make_unique<ShrunkDecoder>(file);
  const int expectedWidth = (header->Xsize + shrink - 1) / shrink;
  const int expectedHeight = (header->Ysize + shrink - 1) / shrink;
  switch (decoder->start(shrink, expectedWidth, expectedHeight)) {
    case ShrunkDecoder::Start::kStarted:
      break;
    case ShrunkDecoder::Start::kNotTaken:
      return std::nullopt;
    case ShrunkDecoder::Start::kFailed:
      return VipsImagePtr();
  }
  VipsImagePtr image(vips_image_new());
  vips_image_init_fields(image.get(), decoder->width(), decoder->height(), decoder->bands(), VIPS_FORMAT_UCHAR,
                         VIPS_CODING_NONE,
                         decoder->bands() == 1 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
  copyMetadata(header, image.get());
  if (vips_image_pipelinev(image.get(), VIPS_DEMAND_STYLE_THINSTRIP, nullptr) != 0) {
    vips_error_clear();
    return VipsImagePtr();
  }
  ShrunkDecoder* owned = decoder.release();
  g_signal_connect(image.get(), "postclose", G_CALLBACK(deleteDecoder), owned);
  owned->decodeRows();
  if (vips_image_generate(image.get(), nullptr, generateRows, nullptr, owned, nullptr) != 0) {
    vips_error_clear();
    return VipsImagePtr();
  }
  // The decoder reads what it needs when it gets there. Reading the rest of
  // the file here, while it decodes, takes the reading off its path.
  file->readAll();
  return image;
}

}  // namespace vek::linux_library

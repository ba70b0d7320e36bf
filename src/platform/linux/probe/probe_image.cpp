#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include <jpeglib.h>
#include <libexif/exif-data.h>
#include <vips/vips.h>

#include "photos/photo_library_port.hpp"
#include "platform/linux/decoders/vips_read_source.hpp"
#include "platform/linux/media_files/exif_facts.hpp"
#include "platform/linux/posix/io.hpp"
#include "platform/linux/probe/content_identifier.hpp"
#include "platform/linux/probe/dates.hpp"
#include "platform/linux/probe/probe.hpp"
#include "platform/linux/probe/tiff_dates.hpp"

namespace vek::linux_library {
namespace {

void copyAscii(ExifContent* content, ExifTag tag, char* out, size_t capacity) {
  ExifEntry* entry = content != nullptr ? exif_content_get_entry(content, tag) : nullptr;
  if (entry == nullptr || entry->format != EXIF_FORMAT_ASCII || entry->data == nullptr) return;
  size_t length = entry->size < capacity - 1 ? entry->size : capacity - 1;
  std::memcpy(out, entry->data, length);
  out[length] = '\0';
}

// data is an EXIF block that starts with the "Exif\0\0" header.
void readExif(const unsigned char* data, size_t size, ExifFacts* facts) {
  ExifData* exif = exif_data_new();
  if (exif == nullptr) return;
  // The fix-ups that following the specification brings cost time and
  // change nothing we read.
  exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_load_data(exif, data, static_cast<unsigned int>(size));
  ExifEntry* orientation = exif_content_get_entry(exif->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (orientation != nullptr && orientation->format == EXIF_FORMAT_SHORT && orientation->size >= 2) {
    facts->orientation = exif_get_short(orientation->data, exif_data_get_byte_order(exif));
  }
  ExifContent* exifIfd = exif->ifd[EXIF_IFD_EXIF];
  copyAscii(exifIfd, EXIF_TAG_DATE_TIME_ORIGINAL, facts->dateTimeOriginal, sizeof facts->dateTimeOriginal);
  copyAscii(exifIfd, EXIF_TAG_SUB_SEC_TIME_ORIGINAL, facts->subSecTimeOriginal, sizeof facts->subSecTimeOriginal);
  copyAscii(exifIfd, EXIF_TAG_OFFSET_TIME_ORIGINAL, facts->offsetTimeOriginal, sizeof facts->offsetTimeOriginal);
  copyAscii(exif->ifd[EXIF_IFD_0], EXIF_TAG_DATE_TIME, facts->dateTime, sizeof facts->dateTime);
  copyAscii(exifIfd, EXIF_TAG_SUB_SEC_TIME, facts->subSecTime, sizeof facts->subSecTime);
  copyAscii(exifIfd, EXIF_TAG_OFFSET_TIME, facts->offsetTime, sizeof facts->offsetTime);
  // Read from the note's own bytes, which mean the same whatever a given
  // libexif version makes of Apple's notes.
  ExifEntry* makerNote = exifIfd != nullptr ? exif_content_get_entry(exifIfd, EXIF_TAG_MAKER_NOTE) : nullptr;
  if (makerNote != nullptr && makerNote->data != nullptr) {
    const std::string_view identifier = appleContentIdentifier(makerNote->data, makerNote->size);
    facts->contentIdentifier[identifier.copy(facts->contentIdentifier, sizeof facts->contentIdentifier - 1)] = '\0';
  }
  exif_data_unref(exif);
}

struct JpegHeader {
  unsigned width = 0;
  unsigned height = 0;
  ExifFacts exif;
};

// libjpeg reads straight from the descriptor: no stdio stream, no extra
// system calls per file, and segments the header does not need are skipped
// with a seek instead of being read.
struct FdSource {
  jpeg_source_mgr base;
  int fd;
  JOCTET buffer[16384];
};

void startSource(j_decompress_ptr) {}
void endSource(j_decompress_ptr) {}

boolean fillSource(j_decompress_ptr info) {
  auto* source = reinterpret_cast<FdSource*>(info->src);
  ssize_t count = readSome(source->fd, source->buffer, sizeof source->buffer);
  if (count <= 0) {
    // As libjpeg's own sources do: a file that ends early ends in an
    // end-of-image marker, and a header cut short then fails cleanly.
    source->buffer[0] = 0xFF;
    source->buffer[1] = JPEG_EOI;
    count = 2;
  }
  source->base.next_input_byte = source->buffer;
  source->base.bytes_in_buffer = static_cast<size_t>(count);
  return TRUE;
}

void skipSource(j_decompress_ptr info, long count) {
  auto* source = reinterpret_cast<FdSource*>(info->src);
  if (count <= 0) return;
  auto wanted = static_cast<size_t>(count);
  if (wanted <= source->base.bytes_in_buffer) {
    source->base.next_input_byte += wanted;
    source->base.bytes_in_buffer -= wanted;
    return;
  }
  // Past the end of the file, the next read finds nothing and ends the image.
  lseek(source->fd, static_cast<off_t>(wanted - source->base.bytes_in_buffer), SEEK_CUR);
  source->base.bytes_in_buffer = 0;
}

struct JpegErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void jumpOnJpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegErrorManager*>(info->err)->jump, 1);
}

// libjpeg would print warnings to stderr, which is not ours to write to.
void dropJpegMessage(j_common_ptr) {}
void dropJpegWarning(j_common_ptr, int) {}

// libjpeg reports errors by longjmp, so nothing in this frame may need a
// destructor. Reads the markers up to the first frame header, no pixels.
bool readJpegHeader(FdSource* source, JpegHeader* header) {
  jpeg_decompress_struct info{};
  JpegErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = jumpOnJpegError;
  errors.base.output_message = dropJpegMessage;
  errors.base.emit_message = dropJpegWarning;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  source->base.init_source = startSource;
  source->base.fill_input_buffer = fillSource;
  source->base.skip_input_data = skipSource;
  source->base.resync_to_restart = jpeg_resync_to_restart;
  source->base.term_source = endSource;
  info.src = &source->base;
  jpeg_save_markers(&info, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&info, TRUE);
  header->width = info.image_width;
  header->height = info.image_height;
  for (jpeg_saved_marker_ptr marker = info.marker_list; marker != nullptr; marker = marker->next) {
    if (marker->marker == JPEG_APP0 + 1 && marker->data_length > 6 &&
        std::memcmp(marker->data, "Exif\0\0", 6) == 0) {
      readExif(marker->data, marker->data_length, &header->exif);
      break;
    }
  }
  jpeg_destroy_decompress(&info);
  return true;
}

bool swapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

MediaFacts imageFacts(uint64_t width, uint64_t height, const ExifFacts& exif, bool orientationApplies) {
  MediaFacts facts;
  facts.mediaType = kMediaTypeImage;
  bool swap = orientationApplies && swapsSides(exif.orientation);
  facts.pixelWidth = swap ? height : width;
  facts.pixelHeight = swap ? width : height;
  facts.creationDate = exifCreationDate(exif);
  facts.contentIdentifier = exif.contentIdentifier;
  return facts;
}

struct VipsObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
using VipsSourcePtr = std::unique_ptr<VipsSource, VipsObjectUnref>;
using VipsImagePtr = std::unique_ptr<VipsImage, VipsObjectUnref>;

std::optional<MediaFacts> probeWithVips(int fd) {
  if (lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
  VipsSourcePtr source(newReadSource(fd));
  if (!source) {
    vips_error_clear();
    return std::nullopt;
  }
  // Sequential access: libvips reads the header now and pixels only on demand,
  // which never comes.
  VipsImagePtr image(vips_image_new_from_source(source.get(), "", "access", VIPS_ACCESS_SEQUENTIAL, nullptr));
  if (!image) {
    vips_error_clear();
    return std::nullopt;
  }
  ExifFacts exif;
  const char* loader = nullptr;
  if (vips_image_get_string(image.get(), VIPS_META_LOADER, &loader) != 0) loader = nullptr;
  // libheif already turns the picture as its irot and imir boxes say, and
  // libvips reports the turned size; an EXIF orientation in a HEIF file is
  // only a copy of that and must not be applied again.
  bool orientationApplies = !(loader != nullptr && vips_isprefix("heifload", loader));
  int orientation = 0;
  if (vips_image_get_typeof(image.get(), VIPS_META_ORIENTATION) == 0 ||
      vips_image_get_int(image.get(), VIPS_META_ORIENTATION, &orientation) != 0) {
    orientation = 0;
  }
  const void* data = nullptr;
  size_t size = 0;
  if (vips_image_get_typeof(image.get(), VIPS_META_EXIF_NAME) != 0 &&
      vips_image_get_blob(image.get(), VIPS_META_EXIF_NAME, &data, &size) == 0 && data != nullptr && size > 0) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // PNG and some HEIF writers store the bare TIFF structure; libexif wants
    // the header that JPEG puts in front of it.
    static constexpr unsigned char kHeader[] = {'E', 'x', 'i', 'f', 0, 0};
    if (size >= sizeof kHeader && std::memcmp(bytes, kHeader, sizeof kHeader) == 0) {
      readExif(bytes, size, &exif);
    } else {
      std::vector<unsigned char> block(kHeader, kHeader + sizeof kHeader);
      block.insert(block.end(), bytes, bytes + size);
      readExif(block.data(), block.size(), &exif);
    }
  }
  // A TIFF's EXIF tags are a directory of the file itself, which libvips
  // does not read.
  if (loader != nullptr && vips_isprefix("tiffload", loader)) readTiffDates(fd, &exif);
  // libvips' own reading of the orientation also covers TIFF's tag, and is
  // what rendering goes by.
  exif.orientation = orientation;
  return imageFacts(static_cast<uint64_t>(vips_image_get_width(image.get())),
                    static_cast<uint64_t>(vips_image_get_page_height(image.get())), exif, orientationApplies);
}

}  // namespace

std::optional<MediaFacts> probeImage(int fd) {
  // JPEG is by far the most common kind of photo, and libvips' general loader
  // machinery costs many times what reading its header with libjpeg does.
  auto source = std::make_unique<FdSource>();
  source->fd = fd;
  ssize_t count = readSome(fd, source->buffer, sizeof source->buffer);
  if (count >= 3 && source->buffer[0] == 0xFF && source->buffer[1] == 0xD8 && source->buffer[2] == 0xFF) {
    source->base.next_input_byte = source->buffer;
    source->base.bytes_in_buffer = static_cast<size_t>(count);
    JpegHeader header;
    if (!readJpegHeader(source.get(), &header) || header.width == 0 || header.height == 0) return std::nullopt;
    return imageFacts(header.width, header.height, header.exif, true);
  }
  return probeWithVips(fd);
}

}  // namespace vek::linux_library

#include "platform/linux/decoders/raw_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <libraw/libraw.h>

#include "platform/linux/decoders/raw_stream.hpp"

namespace vek::linux_library {
namespace {

// LibRaw's own handlers print to stderr, which is not ours to write to.
void ignoreMemoryError(void*, const char*, const char*) {}

void noteDataError(void* file, const char*, const int) { *static_cast<bool*>(file) = true; }

// Room for the largest raw data within the pixel limit (16 bits a
// photosite), where LibRaw's default is 2 GB.
constexpr unsigned kMaxRawMemoryMb = static_cast<unsigned>(kMaxDecodedPixels * 2 >> 20) + 16;

// LibRaw's flip: bit 0 mirrors the columns, bit 1 the rows, bit 2 swaps
// them first; as an EXIF orientation.
int orientationOfFlip(int flip) {
  static constexpr int kOrientation[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  return kOrientation[flip & 7];
}

void copyText(LibRaw_abstract_datastream* input, int length, char* out, size_t capacity) {
  const size_t count = std::min(static_cast<size_t>(std::max(length, 0)), capacity - 1);
  const int got = input->read(out, 1, count);
  out[std::max(got, 0)] = '\0';
}

// LibRaw calls this for each tag of a TIFF IFD (with the IFD's number plus
// one in bits 20 and up) and of the EXIF IFD (no such bits), with the input
// at the tag's value; it puts the input back itself.
void readDateTag(void* context, int tag, int type, int length, unsigned, void* input, INT64) {
  constexpr int kAscii = 2;
  if (type != kAscii) return;
  const int ifd = tag >> 20;
  const bool exifIfd = (tag >> 16) == 0;
  const bool firstIfd = ifd == 1 && ((tag >> 16) & 0xF) == 0;
  if (!exifIfd && !firstIfd) return;
  auto* dates = static_cast<ExifFacts*>(context);
  auto* stream = static_cast<LibRaw_abstract_datastream*>(input);
  char* out = nullptr;
  size_t capacity = 0;
  switch (tag & 0xFFFF) {
    case 0x9003: out = dates->dateTimeOriginal; capacity = sizeof dates->dateTimeOriginal; break;
    case 0x9291: out = dates->subSecTimeOriginal; capacity = sizeof dates->subSecTimeOriginal; break;
    case 0x9011: out = dates->offsetTimeOriginal; capacity = sizeof dates->offsetTimeOriginal; break;
    case 0x0132: out = dates->dateTime; capacity = sizeof dates->dateTime; break;
    case 0x9290: out = dates->subSecTime; capacity = sizeof dates->subSecTime; break;
    case 0x9010: out = dates->offsetTime; capacity = sizeof dates->offsetTime; break;
    default: return;
  }
  // The first one found is the main image's; makers repeat them further on.
  if (out[0] == '\0') copyText(stream, length, out, capacity);
}

}  // namespace

RawFile::RawFile(std::unique_ptr<RawReadStream> stream, std::unique_ptr<LibRaw> raw)
    : stream_(std::move(stream)), raw_(std::move(raw)) {}

RawFile::~RawFile() {
  // LibRaw may still read its input as it goes.
  raw_.reset();
}

std::unique_ptr<RawFile> RawFile::open(int fd, ExifFacts* dates) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return nullptr;
  auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
  std::unique_ptr<RawFile> file(new RawFile(std::make_unique<RawReadStream>(fd, info.st_size), std::move(raw)));
  LibRaw& libraw = *file->raw_;
  libraw.set_memerror_handler(ignoreMemoryError, nullptr);
  libraw.set_dataerror_handler(noteDataError, &file->damaged_);
  if (dates != nullptr) libraw.set_exifparser_handler(readDateTag, dates);
  libraw.imgdata.params.max_raw_memory_mb = kMaxRawMemoryMb;
  if (!file->parse()) return nullptr;
  return file;
}

bool RawFile::parse() {
  // LibRaw starts reading wherever its input stands.
  stream_->seek(0, SEEK_SET);
  if (raw_->open_datastream(stream_.get()) != LIBRAW_SUCCESS || damaged_) return false;
  const libraw_image_sizes_t& sizes = raw_->imgdata.sizes;
  if (!isDecodable({sizes.raw_width, sizes.raw_height}) || !isDecodable({sizes.width, sizes.height})) return false;
  orientation_ = orientationOfFlip(sizes.flip);
  return true;
}

PixelSize RawFile::developedSize() {
  // Turning upright is left to the caller, who knows the orientation.
  raw_->imgdata.params.user_flip = 0;
  raw_->adjust_sizes_info_only();
  return {raw_->imgdata.sizes.iwidth, raw_->imgdata.sizes.iheight};
}

std::string RawFile::jpegPreview(size_t maxBytes) {
  const INT64 offset = raw_->get_internal_data_pointer()->internal_data.toffset;
  const size_t length = raw_->imgdata.thumbnail.tlength;
  if (!raw_->is_jpeg_thumb() || offset <= 0 || length < 2 || length > maxBytes ||
      offset + static_cast<INT64>(length) > stream_->size()) {
    return {};
  }
  std::string bytes(length, '\0');
  stream_->seek(offset, SEEK_SET);
  if (stream_->read(bytes.data(), 1, length) != static_cast<int>(length)) return {};
  // As LibRaw does: some cameras spoil the start-of-image marker.
  bytes[0] = static_cast<char>(0xFF);
  bytes[1] = static_cast<char>(0xD8);
  return bytes;
}

bool RawFile::rawDataIsWhole() {
  const unpacker_data_t& data = raw_->get_internal_data_pointer()->unpacker_data;
  // Some formats leave the length unknown until the data is decoded.
  return data.data_offset + data.data_size <= stream_->size() &&
         (data.data_size > 0 || data.data_offset < stream_->size());
}

bool RawFile::reopen() {
  raw_->recycle();
  return parse();
}

}  // namespace vek::linux_library

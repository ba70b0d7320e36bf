#include "platform/linux/probe/tiff_dates.hpp"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include <tiffio.h>

namespace vek::linux_library {
namespace {

// No value a date tag needs comes near this; it bounds what a damaged
// directory can make libtiff allocate.
constexpr tmsize_t kMaxTiffAllocation = 16 << 20;

// libtiff reads through these instead of its own descriptor procedures, so
// that the caller's descriptor is neither moved, closed nor mapped (a mapped
// file that another program truncates kills the process with SIGBUS).
struct TiffFile {
  int fd = -1;
  toff_t position = 0;
};

tmsize_t readTiff(thandle_t handle, void* buffer, tmsize_t size) {
  auto* file = static_cast<TiffFile*>(handle);
  ssize_t count;
  do {
    count = pread(file->fd, buffer, static_cast<size_t>(size), static_cast<off_t>(file->position));
  } while (count < 0 && errno == EINTR);
  if (count < 0) return -1;
  file->position += static_cast<toff_t>(count);
  return count;
}

tmsize_t refuseWrite(thandle_t, void*, tmsize_t) { return -1; }

toff_t fileSize(thandle_t handle) {
  struct stat info {};
  if (fstat(static_cast<TiffFile*>(handle)->fd, &info) != 0) return 0;
  return static_cast<toff_t>(info.st_size);
}

toff_t seekTiff(thandle_t handle, toff_t offset, int whence) {
  auto* file = static_cast<TiffFile*>(handle);
  switch (whence) {
    case SEEK_SET:
      file->position = offset;
      break;
    case SEEK_CUR:
      file->position += offset;
      break;
    case SEEK_END:
      file->position = fileSize(handle) + offset;
      break;
    default:
      return static_cast<toff_t>(-1);
  }
  return file->position;
}

int keepOpen(thandle_t) { return 0; }
int neverMap(thandle_t, void**, toff_t*) { return 0; }
void nothingToUnmap(thandle_t, void*, toff_t) {}

// Returning 1 keeps the message from libtiff's process-wide handlers,
// which would print it.
int dropMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct OptionsFree {
  void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
struct TiffClose {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

void copyTag(TIFF* tiff, ttag_t tag, char* out, size_t capacity) {
  const char* value = nullptr;
  if (TIFFGetField(tiff, tag, &value) != 1 || value == nullptr) return;
  const size_t length = strnlen(value, capacity - 1);
  std::memcpy(out, value, length);
  out[length] = '\0';
}

}  // namespace

void readTiffDates(int fd, ExifFacts* facts) {
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
  if (!options) return;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), dropMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), dropMessage, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxTiffAllocation);
  TiffFile file{fd, 0};
  // "O": strip and tile offsets are read only if asked for, and they never are.
  std::unique_ptr<TIFF, TiffClose> tiff(TIFFClientOpenExt("", "rmO", &file, readTiff, refuseWrite, seekTiff, keepOpen,
                                                          fileSize, neverMap, nothingToUnmap, options.get()));
  if (!tiff) return;
  copyTag(tiff.get(), TIFFTAG_DATETIME, facts->dateTime, sizeof facts->dateTime);
  uint64_t exifOffset = 0;
  if (TIFFGetField(tiff.get(), TIFFTAG_EXIFIFD, &exifOffset) != 1 || !TIFFReadEXIFDirectory(tiff.get(), exifOffset)) {
    return;
  }
  copyTag(tiff.get(), EXIFTAG_DATETIMEORIGINAL, facts->dateTimeOriginal, sizeof facts->dateTimeOriginal);
  copyTag(tiff.get(), EXIFTAG_SUBSECTIMEORIGINAL, facts->subSecTimeOriginal, sizeof facts->subSecTimeOriginal);
  copyTag(tiff.get(), EXIFTAG_OFFSETTIMEORIGINAL, facts->offsetTimeOriginal, sizeof facts->offsetTimeOriginal);
  copyTag(tiff.get(), EXIFTAG_SUBSECTIME, facts->subSecTime, sizeof facts->subSecTime);
  copyTag(tiff.get(), EXIFTAG_OFFSETTIME, facts->offsetTime, sizeof facts->offsetTime);
}

}  // namespace vek::linux_library

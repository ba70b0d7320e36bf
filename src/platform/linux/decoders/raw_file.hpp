#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/linux/media_files/exif_facts.hpp"
#include "platform/linux/media_files/picture_size.hpp"

class LibRaw;

namespace vek::linux_library {
class RawReadStream;
}

namespace vek::linux_library {

// A camera RAW file opened with LibRaw: its headers parsed, no pixels read.
// LibRaw reads the open descriptor through pread() (never a mapping, so a
// file truncated meanwhile fails instead of killing the process), prints
// nothing, and refuses images beyond the renderer's pixel limit. Owns its
// LibRaw object, not the descriptor. Not for concurrent use.
class RawFile {
 public:
  // The file open at `fd`, or nullptr when LibRaw cannot read it as a RAW
  // file. With `dates`, the EXIF date tags met while parsing go there.
  static std::unique_ptr<RawFile> open(int fd, ExifFacts* dates = nullptr);
  ~RawFile();
  RawFile(const RawFile&) = delete;
  RawFile& operator=(const RawFile&) = delete;

  LibRaw& libraw() { return *raw_; }

  // The EXIF orientation (1 to 8) of the camera's picture.
  int orientation() const { return orientation_; }

  // The size of the developed picture before it is turned upright. Leaves
  // LibRaw unable to develop, as LibRaw's size query does: call reopen()
  // before unpacking the raw data (the preview stays readable).
  PixelSize developedSize();

  // Parses the file again, for a development after developedSize(). False
  // when it no longer opens.
  bool reopen();

  // The bytes of the embedded JPEG preview, or "" when the file has none,
  // or one of more than `maxBytes`, or one that lies outside the file.
  // LibRaw's own reading of it would print libjpeg's warnings.
  std::string jpegPreview(size_t maxBytes);

  // True when the raw data, as far as the file's tags say where it lies,
  // is inside the file: false for a file cut short, whose preview may well
  // be whole.
  bool rawDataIsWhole();

  // True once LibRaw has met data it could not read (a file cut short or
  // damaged): whatever it decoded is not the picture.
  bool damaged() const { return damaged_; }

 private:
  RawFile(std::unique_ptr<RawReadStream> stream, std::unique_ptr<LibRaw> raw);
  bool parse();

  std::unique_ptr<RawReadStream> stream_;
  std::unique_ptr<LibRaw> raw_;
  int orientation_ = 1;
  bool damaged_ = false;
};

}  // namespace vek::linux_library

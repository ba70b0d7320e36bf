#include <libraw/libraw.h>

#include "photos/photo_library_port.hpp"
#include "platform/linux/decoders/raw_file.hpp"
#include "platform/linux/probe/dates.hpp"
#include "platform/linux/probe/probe.hpp"

namespace vek::linux_library {

std::optional<MediaFacts> probeRaw(int fd) {
  ExifFacts dates;
  std::unique_ptr<RawFile> file = RawFile::open(fd, &dates);
  if (!file) return std::nullopt;
  const PixelSize developed = file->developedSize();
  if (!isDecodable(developed)) return std::nullopt;
  const int orientation = file->orientation();
  const bool swap = orientation >= 5;
  MediaFacts facts;
  facts.mediaType = kMediaTypeImage;
  facts.pixelWidth = static_cast<uint64_t>(swap ? developed.height : developed.width);
  facts.pixelHeight = static_cast<uint64_t>(swap ? developed.width : developed.height);
  facts.creationDate = exifCreationDate(dates);
  // Formats without EXIF (Canon's CRW, some older makers' own) still carry
  // the camera's clock, which LibRaw reads as local time.
  const time_t stamp = file->libraw().imgdata.other.timestamp;
  if (!facts.creationDate && stamp > 0) facts.creationDate = static_cast<double>(stamp);
  return facts;
}

}  // namespace vek::linux_library

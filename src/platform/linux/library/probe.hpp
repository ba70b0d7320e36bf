#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/library/scanner.hpp"
#include "platform/linux/render/exif_facts.hpp"

namespace vek::linux_library {

// What the library says about a media file.
struct MediaFacts {
  int64_t mediaType = 0;  // kMediaTypeImage or kMediaTypeVideo
  uint64_t pixelWidth = 0;  // as displayed: rotation and EXIF orientation applied
  uint64_t pixelHeight = 0;
  std::optional<double> creationDate;  // seconds since 1970-01-01T00:00:00Z
  double duration = 0;                 // seconds; 0 for images

  bool operator==(const MediaFacts&) const = default;
};

struct ProbeResult {
  enum class Status {
    kMedia,       // facts holds what the file says
    kNotMedia,    // the content is not media we can read: remember until the file changes
    kUnreadable,  // could not be opened, or is no longer the file that was found: try again later
  };
  Status status = Status::kUnreadable;
  MediaFacts facts;
};

// Reads the header of the file at path, which must still be the regular file
// `expected` names (same device and inode); a symbolic link is not followed.
// Reads only headers, never decodes pictures. When the file gives no creation
// date, its modification time stands in. Call startMediaLibraries() first.
// Any thread, many at once; never throws but std::bad_alloc.
ProbeResult probeFile(const std::string& path, const FileStamp& expected, MediaKind kind);

// The creation date of an EXIF date and time ("YYYY:MM:DD HH:MM:SS"), with
// its sub-second digits and its "+HH:MM" offset when given; without an offset
// the time is the machine's local time. nullopt when the date is blank or
// invalid, as cameras with an unset clock write it. Local time is the zone
// that tzset() last loaded.
std::optional<double> exifDateToSeconds(std::string_view dateTime, std::string_view subSeconds,
                                        std::string_view offset);

// The creation date an image's EXIF tags give: the original date with its
// sub-seconds and offset, else the date and time with theirs; nullopt when
// neither is a date.
std::optional<double> exifCreationDate(const ExifFacts& exif);

// The creation date of a container date ("YYYY-MM-DDTHH:MM:SS[.fff]" followed
// by "Z", an offset "+HH:MM", "+HHMM" or "+HH", or nothing for local time, and
// a space in place of 'T'), or nullopt when it is not one.
std::optional<double> containerDateToSeconds(std::string_view text);

// The facts of an image file opened for reading at its start, or nullopt when it
// is not an image that can be read. creationDate is left empty when the file
// holds no date. Used by probeFile.
std::optional<MediaFacts> probeImage(int fd);

// The facts of a camera RAW file opened for reading, or nullopt when LibRaw
// cannot read it. Sizes are those of the developed picture; creationDate is
// left empty when the file holds no date. Used by probeFile.
std::optional<MediaFacts> probeRaw(int fd);

// The facts of an open video file, or nullopt when it holds no video stream
// that can be read. nameHint (the file name) helps tell formats apart.
// creationDate is left empty when the container holds no date. Used by
// probeFile.
std::optional<MediaFacts> probeVideo(int fd, const std::string& nameHint);

}  // namespace vek::linux_library

#pragma once

#include <cstdint>
#include <optional>

namespace vek::linux_library {

// What the library says about a media file: what a listing shows of it.
struct MediaFacts {
  int64_t mediaType = 0;    // kMediaTypeImage or kMediaTypeVideo
  uint64_t pixelWidth = 0;  // as displayed: rotation and EXIF orientation applied
  uint64_t pixelHeight = 0;
  std::optional<double> creationDate;  // seconds since 1970-01-01T00:00:00Z
  double duration = 0;                 // seconds; 0 for images

  bool operator==(const MediaFacts&) const = default;
};

// What reading a file's headers found.
struct ProbeResult {
  enum class Status {
    kMedia,       // facts holds what the file says
    kNotMedia,    // the content is not media we can read: remember until the file changes
    kUnreadable,  // could not be opened, or is no longer the file that was found: try again later
  };
  Status status = Status::kUnreadable;
  MediaFacts facts;
};

}  // namespace vek::linux_library

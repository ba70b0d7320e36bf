#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vek::linux_library {

// The longest content identifier a probe keeps. Apple writes an upper-case
// UUID (36 characters); the bound keeps a hostile file from putting a long
// text into every copy of its facts and into the catalog.
inline constexpr size_t kMaxContentIdentifierLength = 64;

// What the library says about a media file: what a listing shows of it.
struct MediaFacts {
  int64_t mediaType = 0;    // kMediaTypeImage or kMediaTypeVideo
  uint64_t pixelWidth = 0;  // as displayed: rotation and EXIF orientation applied
  uint64_t pixelHeight = 0;
  std::optional<double> creationDate;  // seconds since 1970-01-01T00:00:00Z
  double duration = 0;                 // seconds; 0 for images
  // The camera's tie between a Live Photo's still and its movie (printable
  // ASCII, at most kMaxContentIdentifierLength characters); empty when the
  // file carries none.
  std::string contentIdentifier;

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

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/media_files/file_stamp.hpp"
#include "platform/linux/media_files/media_facts.hpp"
#include "platform/linux/media_files/media_names.hpp"
#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {

// Reads the header of the file at path, which must still be the regular file
// `expected` names (same device and inode); a symbolic link is not followed
// in any component of the path.
// Reads only headers, never decodes pictures. When the file gives no creation
// date, its modification time stands in. Call startMediaLibraries() first.
// Any thread, many at once; never throws but std::bad_alloc.
ProbeResult probeFile(const std::string& path, const FileStamp& expected, MediaKind kind);

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
std::optional<MediaFacts> probeVideo(std::shared_ptr<const UniqueFd> file, const std::string& nameHint);

}  // namespace vek::linux_library

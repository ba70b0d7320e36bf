#pragma once

#include <memory>
#include <string>

#include "photos/photo_library_port.hpp"

namespace vek::linux_library {

// An export session that remuxes `media` into a new movie, packet for
// packet (see remuxToMovie), on a worker thread the session owns and joins
// when destroyed. Completion is called once, from that thread, as its last
// act. An output
// file type other than kFileTypeQuickTimeMovie, or a missing output path,
// makes the export fail. A session exports once; a further
// exportAsynchronously calls its completion at once and changes nothing.
// nullptr when the preset is not kExportPresetPassthrough or the media is
// not a VideoMedia.
std::unique_ptr<vek::ExportSession> makeRemuxExportSession(std::shared_ptr<vek::PlatformMedia> media,
                                                           const std::string& presetName);

}  // namespace vek::linux_library

#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "photos/photo_library_port.hpp"
#include "platform/linux/media_files/file_stamp.hpp"
#include "platform/linux/media_files/media_facts.hpp"
#include "platform/linux/media_files/media_names.hpp"

namespace vek::linux_library {

// What the library does with the media libraries lives in two modules,
// loaded on first use, because loading those libraries costs a tenth of a
// second and some 40 MB: a listing with nothing new to probe, or a deletion,
// needs neither module, and an export needs only FFmpeg's.

// A file is handed to a module open (openCatalogued() in
// media_files/file_stamp.hpp): the module reads only that descriptor, never
// the path again, so what it renders or exports is the file that was
// checked to be the catalogued one.

// Probing and rendering, with libvips, libheif, libjpeg, libexif, LibRaw and
// FFmpeg: the functions of probe/probe.hpp and render/render.hpp. Thread: any.
class MediaBackend {
 public:
  virtual ~MediaBackend() = default;
  virtual ProbeResult probeFile(const std::string& path, const FileStamp& expected, MediaKind kind) = 0;
  // Frees what the media libraries keep for a thread; call before a thread
  // that probed ends.
  virtual void releaseThread() = 0;
  virtual std::shared_ptr<vek::PlatformImage> renderImageFile(const OpenedFile& file, int64_t box) = 0;
  virtual std::shared_ptr<vek::PlatformImage> renderVideoPoster(const OpenedFile& file, int64_t box) = 0;
  // From now on every render runs on the thread that asks for it: no
  // libvips pool, no decode thread. For a process that is itself one of
  // several rendering side by side, one per core. Call before rendering.
  virtual void renderOnCallingThread() = 0;
};

// Passthrough export, with FFmpeg alone: the functions of export/remux.hpp and
// export/session.hpp. Thread: any.
class ExportBackend {
 public:
  virtual ~ExportBackend() = default;
  virtual std::shared_ptr<vek::PlatformMedia> openVideoMedia(const OpenedFile& file) = 0;
  virtual std::unique_ptr<vek::ExportSession> makeExportSession(std::shared_ptr<vek::PlatformMedia> media,
                                                                const std::string& presetName) = 0;
};

// The backends, each module loaded (and its libraries started) on the first
// call. A module is found beside the executable, in a build tree and in an
// installation alike. Throw std::runtime_error when the module cannot be
// loaded; a later call tries again.
MediaBackend& mediaBackend();
ExportBackend& exportBackend();

}  // namespace vek::linux_library

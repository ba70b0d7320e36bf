// The entry of the module that probes and renders: the one symbol it exports.

#include <vips/vips.h>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/modules/backends.hpp"
#include "platform/linux/probe/probe.hpp"
#include "platform/linux/render/render.hpp"

namespace vek::linux_library {
namespace {

class LoadedMediaBackend : public MediaBackend {
 public:
  ProbeResult probeFile(const std::string& path, const FileStamp& expected, MediaKind kind) override {
    return linux_library::probeFile(path, expected, kind);
  }
  void releaseThread() override { vips_thread_shutdown(); }
  std::shared_ptr<vek::PlatformImage> renderImageFile(const OpenedFile& file, int64_t box) override {
    return linux_library::renderImageFile(file, box);
  }
  std::shared_ptr<vek::PlatformImage> renderVideoPoster(const OpenedFile& file, int64_t box) override {
    return linux_library::renderVideoPoster(file, box);
  }
  void renderOnCallingThread() override { linux_library::renderOnCallingThread(); }
};

}  // namespace
}  // namespace vek::linux_library

extern "C" __attribute__((visibility("default"))) vek::linux_library::MediaBackend* vek_media_backend_v3() {
  vek::linux_library::startMediaLibraries();
  static vek::linux_library::LoadedMediaBackend backend;
  return &backend;
}

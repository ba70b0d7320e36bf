// The entry of the module that exports videos: the one symbol it exports.

#include "platform/linux/export/remux.hpp"
#include "platform/linux/export/session.hpp"
#include "platform/linux/ffmpeg/quiet.hpp"
#include "platform/linux/modules/backends.hpp"

namespace vek::linux_library {
namespace {

class LoadedExportBackend : public ExportBackend {
 public:
  std::shared_ptr<vek::PlatformMedia> openVideoMedia(const OpenedFile& file) override {
    return linux_library::openVideoMedia(file);
  }
  std::unique_ptr<vek::ExportSession> makeExportSession(std::shared_ptr<vek::PlatformMedia> media,
                                                        const std::string& presetName) override {
    return makeRemuxExportSession(std::move(media), presetName);
  }
};

}  // namespace
}  // namespace vek::linux_library

extern "C" __attribute__((visibility("default"))) vek::linux_library::ExportBackend* vek_export_backend_v2() {
  vek::linux_library::silenceFFmpeg();
  static vek::linux_library::LoadedExportBackend backend;
  return &backend;
}

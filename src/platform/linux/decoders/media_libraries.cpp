#include "platform/linux/decoders/media_libraries.hpp"

#include <mutex>

#include <glib.h>
#include <vips/vips.h>

#include "platform/linux/ffmpeg/quiet.hpp"

namespace vek::linux_library {
namespace {

void dropGLibMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

GLogWriterOutput dropStructuredMessage(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

void startMediaLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_default_handler(dropGLibMessage, nullptr);
    g_log_set_writer_func(dropStructuredMessage, nullptr, nullptr);
    silenceFFmpeg();
    // A failed start leaves every later vips call failing, which each caller
    // already answers as an unreadable file.
    if (VIPS_INIT("vek-photokit-helper") == 0) {
      vips_block_untrusted_set(TRUE);
      // libvips 8.14 still counts libjxl as young, but JPEG XL is what newer
      // cameras and phones write, and Debian's desktop already opens these
      // files with the same libjxl. Only the loader: nothing is saved as JXL.
      vips_operation_block_set("VipsForeignLoadJxl", FALSE);
      vips_cache_set_max(0);
      vips_cache_set_max_mem(0);
      vips_cache_set_max_files(0);
    }
  });
}

}  // namespace vek::linux_library

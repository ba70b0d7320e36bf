#include "platform/linux/ffmpeg/quiet.hpp"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace vek::linux_library {
namespace {

void dropFFmpegMessage(void*, int, const char*, va_list) {}

}  // namespace

void silenceFFmpeg() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback(dropFFmpegMessage);
  });
}

}  // namespace vek::linux_library

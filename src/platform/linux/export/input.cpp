#include "platform/linux/export/input.hpp"

#include <string_view>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace vek::linux_library {
namespace {

// Reading the stream parameters decodes the first frames, which for a 4K
// video takes more memory than the whole remux. A QuickTime-family file's
// sample tables give everything else a remux needs, decoding times included,
// once its sample descriptions give the picture and sound formats; other
// containers store no decoding times, and only a decoder tells how far
// frames are reordered.
constexpr const char* kNoDecoders = "none";

bool headerDescribesStreams(const AVFormatContext& context) {
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    const AVCodecParameters& parameters = *context.streams[i]->codecpar;
    if (parameters.codec_type == AVMEDIA_TYPE_VIDEO && (parameters.width <= 0 || parameters.height <= 0)) {
      return false;
    }
    if (parameters.codec_type == AVMEDIA_TYPE_AUDIO &&
        (parameters.sample_rate <= 0 || parameters.ch_layout.nb_channels <= 0)) {
      return false;
    }
  }
  return true;
}

}  // namespace

VideoInput::Opened openForRemux(std::shared_ptr<const UniqueFd> file) {
  VideoInput::Opened opened = VideoInput::open(std::move(file), "");
  if (!opened.input) return opened;
  AVFormatContext* context = opened.input->context();
  if (std::string_view(context->iformat->name).starts_with("mov,") && headerDescribesStreams(*context)) {
    if (const int error = av_opt_set(context, "codec_whitelist", kNoDecoders, 0); error < 0) return {nullptr, error};
  }
  if (const int error = avformat_find_stream_info(context, nullptr); error < 0) return {nullptr, error};
  return opened;
}

}  // namespace vek::linux_library

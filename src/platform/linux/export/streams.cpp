#include "platform/linux/export/streams.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace vek::linux_library {
namespace {

constexpr int kTrialBufferSize = 4096;

const AVOutputFormat* movMuxer() {
  static const AVOutputFormat* muxer = av_guess_format("mov", nullptr, nullptr);
  return muxer;
}

// avformat_query_codec answers for the whole mov family of muxers; some
// codecs it names (VP9, AV1, Opus, FLAC) are refused when the mov muxer
// writes a QuickTime movie. Setting up the muxer for the stream alone tells.
bool movMuxerTakes(const AVStream& stream) {
  struct Trial {
    AVFormatContext* context = nullptr;
    AVIOContext* io = nullptr;
    ~Trial() {
      avformat_free_context(context);
      if (io != nullptr) {
        av_freep(&io->buffer);
        avio_context_free(&io);
      }
    }
  } trial;
  if (avformat_alloc_output_context2(&trial.context, movMuxer(), nullptr, nullptr) < 0) return false;

  // The muxer insists on seekable output, though nothing is written.
  auto discard = [](void*, uint8_t*, int size) { return size; };
  auto stay = [](void*, int64_t, int) -> int64_t { return 0; };
  auto* buffer = static_cast<unsigned char*>(av_malloc(kTrialBufferSize));
  if (buffer == nullptr) return false;
  trial.io = avio_alloc_context(buffer, kTrialBufferSize, 1, nullptr, nullptr, discard, stay);
  if (trial.io == nullptr) {
    av_free(buffer);
    return false;
  }
  trial.context->pb = trial.io;

  AVStream* copy = avformat_new_stream(trial.context, nullptr);
  if (copy == nullptr || avcodec_parameters_copy(copy->codecpar, stream.codecpar) < 0) return false;
  copy->codecpar->codec_tag = quickTimeCodecTag(*stream.codecpar);
  copy->time_base = stream.time_base;
  return avformat_init_output(trial.context, nullptr) >= 0;
}

bool isCarried(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  switch (parameters.codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      // The mov muxer drops cover art rather than writing it.
      if (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) return false;
      break;
    case AVMEDIA_TYPE_AUDIO:
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      return false;
  }
  return avformat_query_codec(movMuxer(), parameters.codec_id, FF_COMPLIANCE_NORMAL) == 1 && movMuxerTakes(stream);
}

}  // namespace

std::vector<int> quickTimeStreams(const AVFormatContext& input) {
  std::vector<int> streams;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    if (isCarried(*input.streams[i])) streams.push_back(static_cast<int>(i));
  }
  return streams;
}

bool includesVideo(const AVFormatContext& input, const std::vector<int>& streams) {
  for (int index : streams) {
    if (input.streams[index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return true;
  }
  return false;
}

uint32_t quickTimeCodecTag(const AVCodecParameters& source) {
  // A tag from another container (AVI's FourCCs, Matroska's none) means
  // nothing here; a QuickTime tag of the same codec is kept, because players
  // tell codec variants apart by it.
  if (source.codec_tag != 0 && av_codec_get_id(movMuxer()->codec_tag, source.codec_tag) == source.codec_id) {
    return source.codec_tag;
  }
  // The muxer's default for HEVC is hev1, which Apple's players refuse. hvc1
  // promises the parameter sets in the sample description, and the muxer
  // writes them there from the stream's extradata.
  if (source.codec_id == AV_CODEC_ID_HEVC) return MKTAG('h', 'v', 'c', '1');
  return 0;
}

}  // namespace vek::linux_library

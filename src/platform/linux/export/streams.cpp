#include "platform/linux/export/streams.hpp"

#include <cerrno>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace vek::linux_library {
namespace {

constexpr int kTrialBufferSize = 4096;

enum class Need { kLeftOut, kIfCarried, kKept };

Need needOf(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  switch (parameters.codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      // The muxer drops cover art rather than writing it.
      return stream.disposition & AV_DISPOSITION_ATTACHED_PIC ? Need::kLeftOut : Need::kKept;
    case AVMEDIA_TYPE_AUDIO:
      return parameters.sample_rate > 0 ? Need::kKept : Need::kLeftOut;
    case AVMEDIA_TYPE_SUBTITLE:
      // Text and bitmap subtitles of other containers (SubRip, ASS, a
      // camera's PGS) fit neither flavour, and losing them must not cost
      // the whole export.
      return Need::kIfCarried;
    default:
      return Need::kLeftOut;
  }
}

// The muxer alone knows what it takes: avformat_query_codec answers for the
// whole family of muxers at once, and wrongly both ways (it refuses Vorbis,
// which the mov muxer writes, and accepts Opus, which it refuses). So the
// header of a movie holding a copy of the stream alone is written, to
// nowhere. Returns 0 or the muxer's AVERROR code.
int trialWrite(const AVStream& stream, MovieFlavour flavour) {
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
  int error = allocateMovieMuxer(flavour, &trial.context);
  if (error < 0) return error;

  // The muxer insists on seekable output, though what it writes is dropped.
  auto discard = [](void*, uint8_t*, int size) { return size; };
  auto stay = [](void*, int64_t, int) -> int64_t { return 0; };
  auto* buffer = static_cast<unsigned char*>(av_malloc(kTrialBufferSize));
  if (buffer == nullptr) return AVERROR(ENOMEM);
  trial.io = avio_alloc_context(buffer, kTrialBufferSize, 1, nullptr, nullptr, discard, stay);
  if (trial.io == nullptr) {
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  trial.context->pb = trial.io;

  if (addCopiedStream(stream, flavour, *trial.context, &error) == nullptr) return error;
  return writeMovieHeader(*trial.context);
}

// For a codec it has no QuickTime tag for, the mov muxer falls back on the
// codec's Windows (RIFF) tag, and writes no block alignment. Vorbis and
// Theora need none and play back; WMA's decoder cannot open the track
// without it, so such a movie would have sound that never plays.
bool keepsBlockAlignment(const AVStream& stream) {
  const AVCodecParameters& parameters = *stream.codecpar;
  return parameters.block_align <= 0 ||
         av_codec_get_tag(movieMuxer(MovieFlavour::kQuickTime)->codec_tag, parameters.codec_id) != 0;
}

std::string describe(const AVFormatContext& input, int index) {
  const AVCodecParameters& parameters = *input.streams[index]->codecpar;
  const char* type = av_get_media_type_string(parameters.codec_type);
  return "stream " + std::to_string(index) + " (" + avcodec_get_name(parameters.codec_id) + " " +
         (type != nullptr ? type : "unknown") + ")";
}

}  // namespace

MoviePlan planMovie(const AVFormatContext& input) {
  struct Candidate {
    int index;
    Need need;
    int quickTime;  // the QuickTime trial's result
  };
  std::vector<Candidate> candidates;
  bool needsIsoBaseMedia = false;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream& stream = *input.streams[i];
    Need need = needOf(stream);
    if (need == Need::kLeftOut) continue;
    int quickTime = keepsBlockAlignment(stream) ? trialWrite(stream, MovieFlavour::kQuickTime) : AVERROR(EINVAL);
    if (need == Need::kKept && quickTime < 0) needsIsoBaseMedia = true;
    candidates.push_back({static_cast<int>(i), need, quickTime});
  }

  MoviePlan plan;
  // The QuickTime flavour is the one Apple's players expect; the other only
  // where a stream needs it.
  plan.flavour = needsIsoBaseMedia ? MovieFlavour::kIsoBaseMedia : MovieFlavour::kQuickTime;
  for (const Candidate& candidate : candidates) {
    int result = candidate.quickTime;
    if (needsIsoBaseMedia) result = trialWrite(*input.streams[candidate.index], MovieFlavour::kIsoBaseMedia);
    if (result >= 0) {
      plan.streams.push_back(candidate.index);
      continue;
    }
    if (candidate.need != Need::kKept) continue;
    plan.streams.clear();
    plan.error = result;
    plan.refusal = describe(input, candidate.index) +
                   (candidate.quickTime >= 0 ? " fits only a QuickTime movie, and another stream needs an MP4 one"
                                             : " fits in neither a QuickTime nor an MP4 movie");
    return plan;
  }
  return plan;
}

}  // namespace vek::linux_library

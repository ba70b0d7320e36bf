#include "platform/linux/export/muxer.hpp"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace vek::linux_library {

const AVOutputFormat* movieMuxer(MovieFlavour flavour) {
  static const AVOutputFormat* quickTime = av_guess_format("mov", nullptr, nullptr);
  static const AVOutputFormat* isoBaseMedia = av_guess_format("mp4", nullptr, nullptr);
  return flavour == MovieFlavour::kQuickTime ? quickTime : isoBaseMedia;
}

int allocateMovieMuxer(MovieFlavour flavour, AVFormatContext** context) {
  int error = avformat_alloc_output_context2(context, movieMuxer(flavour), nullptr, nullptr);
  if (error < 0) return error;
  // This FFmpeg still calls FLAC in an ISO base-media file experimental,
  // though the mapping is a published one that players read; without this
  // a FLAC soundtrack could only be left out.
  if (flavour == MovieFlavour::kIsoBaseMedia) (*context)->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
  return 0;
}

AVStream* addCopiedStream(const AVStream& input, MovieFlavour flavour, AVFormatContext& movie, int* error) {
  AVStream* output = avformat_new_stream(&movie, nullptr);
  if (output == nullptr) {
    *error = AVERROR(ENOMEM);
    return nullptr;
  }
  *error = avcodec_parameters_copy(output->codecpar, input.codecpar);
  if (*error < 0) return nullptr;
  output->codecpar->codec_tag = movieCodecTag(*input.codecpar, flavour);
  // A hint: the muxer may scale it up, always by a whole factor.
  output->time_base = input.time_base;
  output->avg_frame_rate = input.avg_frame_rate;
  output->disposition = input.disposition;
  if (input.codecpar->codec_type == AVMEDIA_TYPE_VIDEO && input.sample_aspect_ratio.num != 0) {
    // The muxer refuses a stream whose two aspect ratios disagree; the
    // container's is the one players honour.
    output->sample_aspect_ratio = output->codecpar->sample_aspect_ratio = input.sample_aspect_ratio;
  }
  *error = av_dict_copy(&output->metadata, input.metadata, 0);
  if (*error < 0) return nullptr;
  // The display matrix (rotation) travels here, as do HDR and 3D details.
  for (int i = 0; i < input.nb_side_data; ++i) {
    const AVPacketSideData& side = input.side_data[i];
    uint8_t* data = av_stream_new_side_data(output, side.type, side.size);
    if (data == nullptr) {
      *error = AVERROR(ENOMEM);
      return nullptr;
    }
    std::memcpy(data, side.data, side.size);
  }
  return output;
}

int writeMovieHeader(AVFormatContext& movie) {
  AVDictionary* options = nullptr;
  // use_metadata_tags keeps every key, QuickTime's own among them; without
  // it the muxer writes only the few it has a user data box for. No
  // faststart: it would rewrite the whole file to move the index forward.
  av_dict_set(&options, "movflags", "use_metadata_tags", 0);
  // Timecode tracks are not carried over; the muxer would otherwise make one
  // from the timecode the demuxer leaves in the video's metadata.
  av_dict_set(&options, "write_tmcd", "0", 0);
  int error = avformat_write_header(&movie, &options);
  av_dict_free(&options);
  return error;
}

uint32_t movieCodecTag(const AVCodecParameters& source, MovieFlavour flavour) {
  // A tag from another container (AVI's FourCCs, Matroska's none) means
  // nothing here; a tag the muxer knows for the same codec is kept, because
  // players tell codec variants apart by it.
  if (source.codec_tag != 0 && av_codec_get_id(movieMuxer(flavour)->codec_tag, source.codec_tag) == source.codec_id) {
    return source.codec_tag;
  }
  // The muxer's default for HEVC is hev1, which Apple's players refuse. hvc1
  // promises the parameter sets in the sample description, and the muxer
  // writes them there from the stream's extradata.
  if (source.codec_id == AV_CODEC_ID_HEVC) return MKTAG('h', 'v', 'c', '1');
  return 0;
}

}  // namespace vek::linux_library

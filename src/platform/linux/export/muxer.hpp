#pragma once

#include <cstdint>

struct AVCodecParameters;
struct AVFormatContext;
struct AVOutputFormat;
struct AVStream;

namespace vek::linux_library {

// The two flavours of the one container family an export writes, both to
// the same ".mov" path.
enum class MovieFlavour {
  // A QuickTime movie (FFmpeg's "mov" muxer).
  kQuickTime,
  // An ISO base-media file (FFmpeg's "mp4" muxer), for the codecs a
  // QuickTime movie refuses: Opus, FLAC, VP9, AV1.
  kIsoBaseMedia,
};

// FFmpeg's muxer for `flavour`.
const AVOutputFormat* movieMuxer(MovieFlavour flavour);

// A new muxer context of `flavour` with no output and no streams, in
// `*context` (the caller frees it with avformat_free_context). Returns 0 or
// an AVERROR code.
int allocateMovieMuxer(MovieFlavour flavour, AVFormatContext** context);

// Adds to `movie` a stream taking the packets of `input` unchanged: its
// codec parameters and tag, time base, frame rate, disposition, aspect
// ratio, metadata and side data (rotation among them). The new stream, or
// null with `*error` set.
AVStream* addCopiedStream(const AVStream& input, MovieFlavour flavour, AVFormatContext& movie, int* error);

// Writes the header of `movie`, whose streams and output are set, with the
// options every export uses. Returns 0 or an AVERROR code.
int writeMovieHeader(AVFormatContext& movie);

// The codec tag a copy of a stream with `source` parameters gets in
// `flavour`, or 0 to let the muxer choose its default.
uint32_t movieCodecTag(const AVCodecParameters& source, MovieFlavour flavour);

}  // namespace vek::linux_library

#pragma once

#include <cstdint>
#include <vector>

struct AVFormatContext;
struct AVCodecParameters;

namespace vek::linux_library {

// The indexes of the streams of `input` that a QuickTime movie carries, in
// their order: every video stream (cover art aside), and every audio and
// subtitle stream whose codec the mov muxer can hold. Data, timecode and
// maker tracks are left out.
std::vector<int> quickTimeStreams(const AVFormatContext& input);

// Whether `streams`, indexes into `input`, include a video stream.
bool includesVideo(const AVFormatContext& input, const std::vector<int>& streams);

// The codec tag a copy of a stream with `source` parameters gets in the mov
// muxer, or 0 to let the muxer choose its default.
uint32_t quickTimeCodecTag(const AVCodecParameters& source);

}  // namespace vek::linux_library

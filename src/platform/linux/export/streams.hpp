#pragma once

#include <string>
#include <vector>

#include "platform/linux/export/muxer.hpp"

struct AVFormatContext;

namespace vek::linux_library {

// What an export of one input writes.
struct MoviePlan {
  MovieFlavour flavour = MovieFlavour::kQuickTime;
  // The indexes of the input streams the movie carries, in their order.
  std::vector<int> streams;
  // When no flavour carries every stream that must be kept: 0 otherwise,
  // else the muxer's AVERROR code, with `refusal` naming the stream.
  int error = 0;
  std::string refusal;
};

// Chooses the flavour and the streams of the movie for `input`. Every video
// and audio stream must be carried, in a QuickTime movie when it takes them
// all, else in an ISO base-media file. Subtitles go along where the chosen
// flavour takes them; data, timecode and maker tracks, attached pictures and
// audio without a sample rate (no whole frame to play) are left out.
MoviePlan planMovie(const AVFormatContext& input);

}  // namespace vek::linux_library

#pragma once

#include <functional>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/rational.h>
}

namespace vek::linux_library {

// Calls `write` with each AMR-NB frame of `packet` as a packet of its own,
// timed in `timeBase` (the packet's) and sharing the packet's data. 3GP
// files pack several frames into one sample, while the mov muxer takes one
// frame per packet and fails on more. Returns 0, AVERROR_INVALIDDATA when
// the packet does not divide into whole frames, or the first error `write`
// returned.
int splitAmrNbFrames(const AVPacket& packet, AVRational timeBase, const std::function<int(AVPacket&)>& write);

}  // namespace vek::linux_library

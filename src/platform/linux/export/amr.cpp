#include "platform/linux/export/amr.hpp"

#include <memory>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

namespace vek::linux_library {
namespace {

// Bytes per frame, header byte included, by the mode in the header's bits
// 3 to 6; 0 marks the modes no stored frame has.
constexpr int kFrameSizes[16] = {13, 14, 16, 18, 20, 21, 27, 32, 6, 0, 0, 0, 0, 0, 0, 1};
constexpr int64_t kSamplesPerFrame = 160;
constexpr AVRational kSampleTime = {1, 8000};

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

}  // namespace

int splitAmrNbFrames(const AVPacket& packet, AVRational timeBase, const std::function<int(AVPacket&)>& write) {
  std::unique_ptr<AVPacket, PacketDeleter> frame(av_packet_alloc());
  if (!frame) return AVERROR(ENOMEM);
  int offset = 0;
  for (int64_t index = 0; offset < packet.size; ++index) {
    int size = kFrameSizes[(packet.data[offset] >> 3) & 0x0F];
    if (size == 0 || size > packet.size - offset) return AVERROR_INVALIDDATA;
    int error = av_packet_ref(frame.get(), &packet);
    if (error < 0) return error;
    frame->data += offset;
    frame->size = size;
    // Each frame's time is counted from the packet's, so rounding never
    // accumulates.
    int64_t start = av_rescale_q(index * kSamplesPerFrame, kSampleTime, timeBase);
    int64_t end = av_rescale_q((index + 1) * kSamplesPerFrame, kSampleTime, timeBase);
    if (frame->pts != AV_NOPTS_VALUE) frame->pts += start;
    if (frame->dts != AV_NOPTS_VALUE) frame->dts += start;
    frame->duration = end - start;
    error = write(*frame);
    av_packet_unref(frame.get());
    if (error < 0) return error;
    offset += size;
  }
  return 0;
}

}  // namespace vek::linux_library

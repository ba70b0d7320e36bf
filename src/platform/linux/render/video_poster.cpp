#include "platform/linux/render/video_poster.hpp"

#include <cmath>
#include <cstring>
#include <memory>

#include "platform/linux/ffmpeg/video_input.hpp"
#include "platform/linux/render/fit.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace vek::linux_library {
namespace {

struct CodecFreer {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct ScalerFreer {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
struct AvFreer {
  void operator()(uint8_t* data) const { av_free(data); }
};

using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

// A stream that never yields a frame is given up on after this many of its
// packets rather than read to the end.
constexpr int kMaxPacketsBeforeFrame = 600;

// The open file ready for decoding, its streams' parameters read.
std::unique_ptr<VideoInput> openInput(const OpenedFile& file) {
  const size_t slash = file.path.rfind('/');
  VideoInput::Opened opened =
      VideoInput::open(file.fd, file.path.substr(slash == std::string::npos ? 0 : slash + 1));
  if (!opened.input || avformat_find_stream_info(opened.input->context(), nullptr) < 0) return nullptr;
  return std::move(opened.input);
}

CodecPtr openDecoder(const AVStream* stream) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return nullptr;
  CodecPtr context(avcodec_alloc_context3(codec));
  if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0) return nullptr;
  // Frame threads would each need a packet before the first frame comes out;
  // slices are the only parallelism that helps a single frame.
  context->thread_type = FF_THREAD_SLICE;
  context->thread_count = 0;
  // Checked by the decoder before it allocates a frame, whatever the
  // container claimed.
  context->max_pixels = kMaxDecodedPixels;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
  return context;
}

FramePtr decodeFirstFrame(AVFormatContext* format, int streamIndex, AVCodecContext* decoder) {
  FramePtr frame(av_frame_alloc());
  PacketPtr packet(av_packet_alloc());
  if (!frame || !packet) return nullptr;
  int packets = 0;
  bool draining = false;
  while (true) {
    const int received = avcodec_receive_frame(decoder, frame.get());
    if (received == 0) return frame;
    if (received != AVERROR(EAGAIN) || draining) return nullptr;
    const int read = av_read_frame(format, packet.get());
    if (read < 0) {
      // At the end of the file the decoder still holds the frames it delayed.
      draining = true;
      if (avcodec_send_packet(decoder, nullptr) < 0) return nullptr;
      continue;
    }
    const bool ours = packet->stream_index == streamIndex;
    // A damaged packet is skipped: the next one may still decode.
    if (ours) avcodec_send_packet(decoder, packet.get());
    av_packet_unref(packet.get());
    if (ours && ++packets > kMaxPacketsBeforeFrame) return nullptr;
  }
}

// libswscale assumes BT.601 when it is not told otherwise; untagged HD video
// is BT.709 by convention.
const int* yuvCoefficients(const AVFrame* frame) {
  if (frame->colorspace == AVCOL_SPC_UNSPECIFIED || frame->colorspace == AVCOL_SPC_RESERVED)
    return sws_getCoefficients(frame->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601);
  return sws_getCoefficients(frame->colorspace);
}

bool isFullRange(const AVFrame* frame) {
  const auto format = static_cast<AVPixelFormat>(frame->format);
  return frame->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P ||
         format == AV_PIX_FMT_YUVJ444P || format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

// Converted into FFmpeg's own padded buffer first: libswscale's vector code
// may assume alignment and padding that a tightly packed vips row lacks.
VipsImagePtr toSrgbImage(const AVFrame* frame) {
  const int width = frame->width;
  const int height = frame->height;
  std::unique_ptr<SwsContext, ScalerFreer> scaler(
      sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width, height, AV_PIX_FMT_RGB24,
                     SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr));
  if (!scaler) return nullptr;
  sws_setColorspaceDetails(scaler.get(), yuvCoefficients(frame), isFullRange(frame) ? 1 : 0,
                           sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);

  uint8_t* planes[4] = {};
  int strides[4] = {};
  if (av_image_alloc(planes, strides, width, height, AV_PIX_FMT_RGB24, 64) < 0) return nullptr;
  std::unique_ptr<uint8_t, AvFreer> rgb(planes[0]);
  if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, height, planes, strides) != height) return nullptr;

  VipsImagePtr image(vips_image_new_memory());
  vips_image_init_fields(image.get(), width, height, 3, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE, VIPS_INTERPRETATION_sRGB,
                         1.0, 1.0);
  if (vips_image_write_prepare(image.get()) != 0) {
    vips_error_clear();
    return nullptr;
  }
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int y = 0; y < height; ++y)
    std::memcpy(VIPS_IMAGE_ADDR(image.get(), 0, y), rgb.get() + static_cast<size_t>(y) * strides[0], rowBytes);
  return image;
}

}  // namespace

int orientationFromDisplayMatrix(const int32_t* matrix) {
  // The 2x2 part maps stored (x, y) to displayed (a x + c y, b x + d y),
  // y pointing down.
  const double a = matrix[0];
  const double b = matrix[1];
  const double c = matrix[3];
  const double d = matrix[4];
  if (a == 0 && b == 0 && c == 0 && d == 0) return 1;
  if (std::abs(a) + std::abs(d) >= std::abs(b) + std::abs(c)) {
    if (a >= 0) return d >= 0 ? 1 : 4;
    return d >= 0 ? 2 : 3;
  }
  if (b > 0) return c < 0 ? 6 : 5;
  return c > 0 ? 8 : 7;
}

VipsImagePtr decodeVideoPoster(const OpenedFile& file) {
  const std::unique_ptr<VideoInput> input = openInput(file);
  if (!input) return nullptr;
  AVFormatContext* format = input->context();
  const AVStream* video = firstVideoStream(*format);
  if (video == nullptr) return nullptr;
  const int streamIndex = video->index;
  AVStream* stream = format->streams[streamIndex];
  const AVCodecParameters* parameters = stream->codecpar;
  if (parameters->width > 0 && parameters->height > 0 && !isDecodable({parameters->width, parameters->height}))
    return nullptr;
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (static_cast<int>(i) != streamIndex) format->streams[i]->discard = AVDISCARD_ALL;

  CodecPtr decoder = openDecoder(stream);
  if (!decoder) return nullptr;
  FramePtr frame = decodeFirstFrame(format, streamIndex, decoder.get());
  if (!frame || !isDecodable({frame->width, frame->height})) return nullptr;

  VipsImagePtr image = toSrgbImage(frame.get());
  if (!image) return nullptr;
  size_t matrixSize = 0;
  const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &matrixSize);
  if (matrix && matrixSize >= 9 * sizeof(int32_t)) {
    int32_t entries[9];
    std::memcpy(entries, matrix, sizeof(entries));
    vips_image_set_int(image.get(), VIPS_META_ORIENTATION, orientationFromDisplayMatrix(entries));
  }
  return image;
}

}  // namespace vek::linux_library

#include <cmath>
#include <memory>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include "photos/photo_library_port.hpp"
#include "platform/linux/ffmpeg/video_input.hpp"
#include "platform/linux/probe/content_identifier.hpp"
#include "platform/linux/probe/dates.hpp"
#include "platform/linux/probe/probe.hpp"

namespace vek::linux_library {
namespace {

std::optional<double> durationOf(const AVFormatContext& context) {
  if (context.duration != AV_NOPTS_VALUE && context.duration > 0) {
    return static_cast<double>(context.duration) / AV_TIME_BASE;
  }
  std::optional<double> longest;
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    const AVStream* stream = context.streams[i];
    if (stream->duration == AV_NOPTS_VALUE || stream->duration <= 0) continue;
    double seconds = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
    if (!longest || seconds > *longest) longest = seconds;
  }
  return longest;
}

bool isQuarterTurn(const AVStream& stream) {
  size_t size = 0;
  const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix == nullptr || size < 9 * sizeof(int32_t)) return false;
  double degrees = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (!std::isfinite(degrees)) return false;
  long turned = ((std::lround(degrees) % 360) + 360) % 360;
  return turned == 90 || turned == 270;
}

std::optional<double> dateFrom(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
  return entry != nullptr && entry->value != nullptr ? containerDateToSeconds(entry->value) : std::nullopt;
}

// The QuickTime creation date carries the time zone the video was shot in
// and survives edits that rewrite creation_time, so it goes first.
std::optional<double> creationDateOf(const AVFormatContext& context, const AVStream& video) {
  if (auto date = dateFrom(context.metadata, "com.apple.quicktime.creationdate")) return date;
  if (auto date = dateFrom(context.metadata, "creation_time")) return date;
  return dateFrom(video.metadata, "creation_time");
}

// A Live Photo's movie carries its still's identifier in this QuickTime
// metadata key, which FFmpeg's mov demuxer gives as a format tag.
std::string contentIdentifierOf(const AVFormatContext& context) {
  const AVDictionaryEntry* entry =
      av_dict_get(context.metadata, "com.apple.quicktime.content.identifier", nullptr, AV_DICT_MATCH_CASE);
  if (entry == nullptr || entry->value == nullptr || !isPlausibleContentIdentifier(entry->value)) return {};
  return entry->value;
}

}  // namespace

std::optional<MediaFacts> probeVideo(std::shared_ptr<const UniqueFd> file, const std::string& nameHint) {
  VideoInput::Opened opened = VideoInput::open(std::move(file), nameHint);
  if (!opened.input) return std::nullopt;
  AVFormatContext* context = opened.input->context();

  const AVStream* video = firstVideoStream(*context);
  // MP4, MOV and Matroska headers give size and duration outright. Only
  // streams that do not (MPEG-TS, some 3GP codecs) are read further, which
  // decodes a few frames within FFmpeg's default probe size.
  if (video == nullptr || video->codecpar->width <= 0 || video->codecpar->height <= 0 || !durationOf(*context)) {
    if (avformat_find_stream_info(context, nullptr) < 0) return std::nullopt;
    video = firstVideoStream(*context);
  }
  if (video == nullptr || video->codecpar->width <= 0 || video->codecpar->height <= 0) return std::nullopt;

  MediaFacts facts;
  facts.mediaType = kMediaTypeVideo;
  auto width = static_cast<uint64_t>(video->codecpar->width);
  auto height = static_cast<uint64_t>(video->codecpar->height);
  bool swap = isQuarterTurn(*video);
  facts.pixelWidth = swap ? height : width;
  facts.pixelHeight = swap ? width : height;
  facts.duration = durationOf(*context).value_or(0);
  facts.creationDate = creationDateOf(*context, *video);
  facts.contentIdentifier = contentIdentifierOf(*context);
  return facts;
}

}  // namespace vek::linux_library

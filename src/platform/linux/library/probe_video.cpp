#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include "photos/photo_library_port.hpp"
#include "platform/linux/library/probe.hpp"

namespace vek::linux_library {
namespace {

// The containers a video asset may come in. Anything else the probe would
// guess (playlists, image sequences, raw streams) is refused.
constexpr const char* kDemuxers = "mov,matroska,avi,mpegts";
constexpr int kIoBufferSize = 64 * 1024;

struct OpenFile {
  int fd;
  int64_t size;
};

int readFromFile(void* opaque, uint8_t* buffer, int size) {
  auto* file = static_cast<OpenFile*>(opaque);
  for (;;) {
    ssize_t count = read(file->fd, buffer, static_cast<size_t>(size));
    if (count > 0) return static_cast<int>(count);
    if (count == 0) return AVERROR_EOF;
    if (errno != EINTR) return AVERROR(errno);
  }
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
  auto* file = static_cast<OpenFile*>(opaque);
  if (whence == AVSEEK_SIZE) return file->size;
  off_t position = lseek(file->fd, offset, whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : position;
}

// A probe reads the one file it was given: a demuxer that wants to follow a
// reference to another file or URL gets nothing.
int refuseOtherFiles(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

struct IoContextFree {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

struct FormatContextClose {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

const AVStream* firstVideoStream(const AVFormatContext& context) {
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    const AVStream* stream = context.streams[i];
    // Cover art comes as a one-picture "video" stream; it is not the video.
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      return stream;
    }
  }
  return nullptr;
}

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

}  // namespace

std::optional<MediaFacts> probeVideo(int fd, const std::string& nameHint) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || lseek(fd, 0, SEEK_SET) != 0) return std::nullopt;
  OpenFile file{fd, static_cast<int64_t>(info.st_size)};

  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return std::nullopt;
  AVIOContext* rawIo = avio_alloc_context(buffer, kIoBufferSize, 0, &file, readFromFile, nullptr, seekInFile);
  if (rawIo == nullptr) {
    av_free(buffer);
    return std::nullopt;
  }
  std::unique_ptr<AVIOContext, IoContextFree> io(rawIo);

  AVFormatContext* rawContext = avformat_alloc_context();
  if (rawContext == nullptr) return std::nullopt;
  rawContext->pb = io.get();
  rawContext->flags |= AVFMT_FLAG_CUSTOM_IO;
  rawContext->io_open = refuseOtherFiles;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kDemuxers, 0);
  // On failure avformat_open_input frees the context, but never custom I/O.
  int opened = avformat_open_input(&rawContext, nameHint.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return std::nullopt;
  std::unique_ptr<AVFormatContext, FormatContextClose> context(rawContext);

  const AVStream* video = firstVideoStream(*context);
  // MP4, MOV and Matroska headers give size and duration outright. Only
  // streams that do not (MPEG-TS, some 3GP codecs) are read further, which
  // decodes a few frames within FFmpeg's default probe size.
  if (video == nullptr || video->codecpar->width <= 0 || video->codecpar->height <= 0 || !durationOf(*context)) {
    if (avformat_find_stream_info(context.get(), nullptr) < 0) return std::nullopt;
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
  return facts;
}

}  // namespace vek::linux_library

#include "platform/linux/ffmpeg/video_input.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include "platform/linux/ffmpeg/quiet.hpp"

namespace vek::linux_library {
namespace {

// The demuxers of the containers the library lists as videos. Probing
// untrusted files with every demuxer FFmpeg has would expose far more
// parsing code, and playlists among them reach out to other files.
constexpr const char* kVideoDemuxers = "mov,matroska,avi,mpegts";

// Large enough that a sequential read of interleaved media costs few system
// calls; samples larger than this are read straight into their packets.
constexpr int kReadBufferSize = 256 * 1024;

// Playlists, references and external data would otherwise make the demuxer
// open further files or URLs.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

int64_t sizeOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return AVERROR(errno);
  return st.st_size;
}

}  // namespace

struct VideoInput::Reader {
  std::shared_ptr<const UniqueFd> file;
  int64_t position = 0;
  int error = 0;
  AVIOContext* io = nullptr;

  ~Reader() {
    if (io != nullptr) {
      // The demuxer may have replaced the buffer it was given.
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  }

  static int read(void* opaque, uint8_t* buffer, int size) {
    auto* reader = static_cast<Reader*>(opaque);
    for (;;) {
      ssize_t n = ::pread(reader->file->get(), buffer, static_cast<size_t>(size), reader->position);
      if (n > 0) {
        reader->position += n;
        return static_cast<int>(n);
      }
      if (n == 0) return AVERROR_EOF;
      if (errno == EINTR) continue;
      if (reader->error == 0) reader->error = AVERROR(errno);
      return reader->error;
    }
  }

  static int64_t seek(void* opaque, int64_t offset, int whence) {
    auto* reader = static_cast<Reader*>(opaque);
    int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE:
        return sizeOf(reader->file->get());
      case SEEK_SET:
        target = offset;
        break;
      case SEEK_CUR:
        target = reader->position + offset;
        break;
      case SEEK_END: {
        int64_t size = sizeOf(reader->file->get());
        if (size < 0) return size;
        target = size + offset;
        break;
      }
      default:
        return AVERROR(EINVAL);
    }
    if (target < 0) return AVERROR(EINVAL);
    reader->position = target;
    return target;
  }
};

VideoInput::VideoInput() = default;

VideoInput::~VideoInput() {
  // The context goes first: closing it may still touch the reader's I/O.
  avformat_close_input(&context_);
}

VideoInput::Opened VideoInput::open(std::shared_ptr<const UniqueFd> file, const std::string& nameHint) {
  silenceFFmpeg();
  std::unique_ptr<VideoInput> input(new VideoInput());
  input->reader_ = std::make_unique<Reader>();
  Reader& reader = *input->reader_;
  reader.file = std::move(file);

  auto* buffer = static_cast<unsigned char*>(av_malloc(kReadBufferSize));
  if (buffer == nullptr) return {nullptr, AVERROR(ENOMEM)};
  reader.io = avio_alloc_context(buffer, kReadBufferSize, 0, &reader, &Reader::read, nullptr, &Reader::seek);
  if (reader.io == nullptr) {
    av_free(buffer);
    return {nullptr, AVERROR(ENOMEM)};
  }

  AVFormatContext* context = avformat_alloc_context();
  if (context == nullptr) return {nullptr, AVERROR(ENOMEM)};
  context->pb = reader.io;
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  context->io_open = refuseNestedOpen;

  AVDictionary* options = nullptr;
  av_dict_set(&options, "format_whitelist", kVideoDemuxers, 0);
  const int error = avformat_open_input(&context, nameHint.c_str(), nullptr, &options);
  av_dict_free(&options);
  // On failure avformat_open_input has freed the context, not the I/O.
  if (error < 0) return {nullptr, error};
  input->context_ = context;
  return {std::move(input), 0};
}

int VideoInput::readError() const { return reader_->error; }

int64_t VideoInput::fileSize() const { return sizeOf(reader_->file->get()); }

const AVStream* firstVideoStream(const AVFormatContext& context) {
  for (unsigned i = 0; i < context.nb_streams; ++i) {
    const AVStream* stream = context.streams[i];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      return stream;
    }
  }
  return nullptr;
}

}  // namespace vek::linux_library

#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/posix/unique_fd.hpp"

struct AVFormatContext;
struct AVStream;

namespace vek::linux_library {

// An FFmpeg demuxer reading one open video file through a position of its
// own (pread), so that several can share the file: the one way the library
// opens a video, to probe it, to decode its poster or to export it. Only the
// containers of the library's videos (MP4, MOV, M4V, 3GP, MKV, WebM, AVI,
// MPEG-TS) are accepted, and the demuxer can open no other file or URL: a
// playlist or reference renamed .mp4 reads nothing else. Not thread safe; it
// may move between threads.
class VideoInput {
 public:
  struct Opened {
    std::unique_ptr<VideoInput> input;  // null on failure
    int error = 0;                      // the AVERROR code on failure
  };

  // Opens a demuxer on `file`, which stays open while the demuxer lives, and
  // reads the container's header; stream parameters that only decoding
  // tells are left to avformat_find_stream_info(). `nameHint` (the file's
  // name) helps tell formats apart. Silences FFmpeg's log first.
  static Opened open(std::shared_ptr<const UniqueFd> file, const std::string& nameHint);

  VideoInput(const VideoInput&) = delete;
  VideoInput& operator=(const VideoInput&) = delete;
  ~VideoInput();

  // Owned by the VideoInput.
  AVFormatContext* context() const { return context_; }
  // The first error a read of the file met (an AVERROR code), or 0. Demuxers
  // report a failed read as the end of the file; this tells them apart.
  int readError() const;
  // The size the file has now, or an AVERROR code.
  int64_t fileSize() const;

 private:
  struct Reader;

  VideoInput();

  std::unique_ptr<Reader> reader_;
  AVFormatContext* context_ = nullptr;
};

// The video of a file: its first video stream that is not cover art (which
// comes as a one-picture "video" stream). nullptr when it has none.
const AVStream* firstVideoStream(const AVFormatContext& context);

}  // namespace vek::linux_library

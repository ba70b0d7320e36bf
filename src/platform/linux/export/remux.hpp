#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "photos/photo_library_port.hpp"
#include "platform/linux/export/input.hpp"
#include "platform/linux/export/output.hpp"
#include "platform/linux/media_files/file_stamp.hpp"
#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {

// Video media opened from a local file for export. It keeps the file open,
// so an export reads the file that was opened even if it is renamed or
// replaced meanwhile, and the file's stamp when it was opened, so that an
// export can tell whether the file was written to while it was copied.
// Thread safe.
class VideoMedia : public vek::PlatformMedia {
 public:
  VideoMedia(std::shared_ptr<const UniqueFd> file, FileStamp stamp, std::unique_ptr<VideoInput> demuxer);

  // A demuxer at the start of the file for one export: the one that opened
  // the media the first time, a new one on the same file after that.
  VideoInput::Opened takeDemuxer();

  // Whether the file is still as it was when opened.
  bool unchanged() const;

 private:
  std::shared_ptr<const UniqueFd> file_;
  const FileStamp stamp_;
  std::mutex mutex_;
  std::unique_ptr<VideoInput> demuxer_;
};

// Opens the video file open at `file` with libavformat (local data only:
// the file itself, no other file or URL it names). nullptr when it holds no
// video stream (cover art aside). Thread: any.
std::shared_ptr<VideoMedia> openVideoMedia(const OpenedFile& file);

struct RemuxError {
  int code = 0;         // an AVERROR code
  std::string message;  // the step that failed, then FFmpeg's description of the code
};

// Writes a new movie at `outputPath` holding every packet of the streams of
// `media` that planMovie() chooses, unchanged, with their codec tags, time
// bases, rotation and metadata: a QuickTime movie, or an ISO base-media file
// when a stream needs one. Fails, naming the stream, when a video or audio
// stream fits neither, and fails when the video's file was written to since
// it was opened. Never replaces an existing file, and a failed remux
// leaves no file behind. Blocks until done; call it on a worker thread.
// nullopt on success.
std::optional<RemuxError> remuxToMovie(VideoMedia& media, const std::string& outputPath,
                                       MovieFile::Staging staging = MovieFile::Staging::kUnnamed);

}  // namespace vek::linux_library

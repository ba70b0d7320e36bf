#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/export/unique_fd.hpp"

struct AVFormatContext;

namespace vek::linux_library {

// A demuxer reading one open video file through a position of its own, so
// that several can share the file. Not thread safe; it may move between
// threads.
class DemuxedFile {
 public:
  struct Opened {
    std::unique_ptr<DemuxedFile> file;  // null on failure
    int error = 0;                      // the AVERROR code on failure
  };

  // Opens a demuxer on `file` and reads its streams' parameters. Only the
  // container formats of the library's videos are accepted, and the demuxer
  // can open no other file or URL. The file stays open while the demuxer
  // lives. Call silenceFFmpeg() first.
  static Opened open(std::shared_ptr<const UniqueFd> file);

  DemuxedFile(const DemuxedFile&) = delete;
  DemuxedFile& operator=(const DemuxedFile&) = delete;
  ~DemuxedFile();

  // Owned by the DemuxedFile.
  AVFormatContext* context() const { return context_; }
  // The first error a read of the file met (an AVERROR code), or 0. Demuxers
  // report a failed read as the end of the file; this tells them apart.
  int readError() const;
  // The size the file has now, or an AVERROR code.
  int64_t fileSize() const;

 private:
  struct Reader;

  DemuxedFile();

  std::unique_ptr<Reader> reader_;
  AVFormatContext* context_ = nullptr;
};

}  // namespace vek::linux_library

#pragma once

#include <memory>
#include <string>

#include "platform/linux/posix/unique_fd.hpp"

struct AVIOContext;

namespace vek::linux_library {

// A new movie file being written. It has no name, or a hidden one, until
// publish() gives it its final name; a file never published is removed. Not
// thread safe; it may move between threads.
class MovieFile {
 public:
  enum class Staging {
    // An O_TMPFILE file: nothing is left behind even if the process is
    // killed. Falls back to kHiddenName where the file system or /proc
    // cannot provide it.
    kUnnamed,
    // A hidden file created exclusively beside the final name.
    kHiddenName,
  };

  struct Created {
    std::unique_ptr<MovieFile> file;  // null on failure
    int error = 0;                    // the AVERROR code on failure
  };

  // Starts a file that will be named `path`, mode 0600 (less the umask). Fails
  // with AVERROR(EEXIST) when something already has that name, and with the
  // system's error when the directory cannot take the file.
  static Created create(const std::string& path, Staging staging = Staging::kUnnamed);

  MovieFile(const MovieFile&) = delete;
  MovieFile& operator=(const MovieFile&) = delete;
  ~MovieFile();

  // Seekable output for a muxer, owned by the MovieFile.
  AVIOContext* io() const { return io_; }
  // Writes out what is buffered and gives the file its final name, never
  // replacing anything that took that name meanwhile (AVERROR(EEXIST)).
  // Returns 0 or an AVERROR code; the first write error wins.
  int publish();

 private:
  MovieFile() = default;
  int openUnnamed();
  int openHidden();
  int allocateIo();

  UniqueFd directory_;
  UniqueFd file_;
  std::string name_;
  std::string stagingName_;  // empty when the file has no name
  AVIOContext* io_ = nullptr;
  int writeError_ = 0;
};

}  // namespace vek::linux_library

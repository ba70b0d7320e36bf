#include "platform/linux/probe/probe.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "platform/linux/media_files/media_names.hpp"
#include "platform/linux/posix/no_links.hpp"
#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {

ProbeResult probeFile(const std::string& path, const FileStamp& expected, MediaKind kind) {
  ProbeResult result;
  // Non-blocking, so that a FIFO put in the file's place cannot hang the
  // probe before the type check below refuses it.
  auto fd = std::make_shared<const UniqueFd>(openWithoutLinks(path, O_RDONLY | O_NONBLOCK));
  if (!*fd) return result;
  struct stat info {};
  if (fstat(fd->get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<uint64_t>(info.st_dev) != expected.device || static_cast<uint64_t>(info.st_ino) != expected.inode) {
    return result;
  }
  // An empty file is no media, and libvips 8.14 aborts the process on an
  // empty file read through a source.
  if (info.st_size == 0) {
    result.status = ProbeResult::Status::kNotMedia;
    return result;
  }
  std::optional<MediaFacts> facts;
  if (kind == MediaKind::kImage && isCameraRawName(path)) {
    facts = probeRaw(fd->get());
  } else if (kind == MediaKind::kImage) {
    facts = probeImage(fd->get());
  } else {
    size_t slash = path.rfind('/');
    facts = probeVideo(fd, slash == std::string::npos ? path : path.substr(slash + 1));
  }
  if (!facts) {
    result.status = ProbeResult::Status::kNotMedia;
    return result;
  }
  if (!facts->creationDate) {
    facts->creationDate = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
  }
  result.status = ProbeResult::Status::kMedia;
  result.facts = *facts;
  return result;
}

}  // namespace vek::linux_library

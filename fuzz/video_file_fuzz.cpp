// Arbitrary bytes as a video file in the library: probing, the poster and a
// passthrough export either refuse it or succeed, never crash, leak or hang,
// and a failed export leaves no file behind. The first byte picks the file's
// extension; the rest is the file's content.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>

#include "media_file.hpp"
#include "photos/photo_library_port.hpp"
#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/export/remux.hpp"
#include "platform/linux/export/session.hpp"
#include "platform/linux/probe/probe.hpp"
#include "platform/linux/render/render.hpp"

namespace {

using vek::fuzzing::workDirectory;
using vek::fuzzing::writeFile;

constexpr std::array<const char*, 9> kExtensions = {".mp4", ".mov", ".m4v", ".3gp", ".mkv",
                                                    ".webm", ".avi", ".mts", ".m2ts"};
constexpr int64_t kPosterBox = 32;

// How many entries other than "." and ".." the directory holds.
int entryCount(const std::string& directory) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) __builtin_trap();
  int count = 0;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") ++count;
  }
  closedir(listing);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vek::linux_library::startMediaLibraries();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vek::linux_library;
  if (size == 0) return 0;
  const std::string input = workDirectory() + "/input" + kExtensions[data[0] % kExtensions.size()];
  const std::string movie = workDirectory() + "/vek-pk-fuzz.mov";
  writeFile(input, data + 1, size - 1);

  struct stat info {};
  if (stat(input.c_str(), &info) != 0) __builtin_trap();
  const ProbeResult probed = probeFile(input, FileStamp{info.st_dev, info.st_ino, info.st_size, 0}, MediaKind::kVideo);
  if (probed.status == ProbeResult::Status::kUnreadable) __builtin_trap();
  if (probed.status == ProbeResult::Status::kMedia &&
      (probed.facts.mediaType != vek::kMediaTypeVideo || !(probed.facts.duration >= 0) || !probed.facts.creationDate)) {
    __builtin_trap();
  }

  const std::optional<OpenedFile> opened = openMediaFile(input);
  if (!opened) __builtin_trap();
  if (auto poster = renderVideoPoster(*opened, kPosterBox)) {
    const vek::ImageSize rendered = poster->size();
    if (rendered.width < 1 || rendered.height < 1 || rendered.width > kPosterBox || rendered.height > kPosterBox) {
      __builtin_trap();
    }
  }

  if (auto session = makeRemuxExportSession(openVideoMedia(*opened), vek::kExportPresetPassthrough)) {
    session->setOutputURL(movie);
    session->setOutputFileType(vek::kFileTypeQuickTimeMovie);
    std::promise<void> done;
    session->exportAsynchronously([&done] { done.set_value(); });
    done.get_future().wait();
    const bool completed = session->status() == vek::kExportStatusCompleted;
    if (completed != (access(movie.c_str(), F_OK) == 0)) __builtin_trap();
    if (!completed && !session->error()) __builtin_trap();
    unlink(movie.c_str());
  }
  unlink(input.c_str());
  if (entryCount(workDirectory()) != 0) __builtin_trap();
  return 0;
}

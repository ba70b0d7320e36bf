// Arbitrary bytes as an image file in the library: probing and rendering
// either refuse it or describe and draw a sane image, and never crash, leak
// or hang. The first byte picks the file's extension (its low seven bits) and
// whether the render asks for a small box or the full image (its high bit);
// the rest is the file's content.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "media_file.hpp"
#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/probe/probe.hpp"
#include "platform/linux/render/render.hpp"

namespace {

using vek::fuzzing::workDirectory;
using vek::fuzzing::writeFile;

constexpr std::array<const char*, 9> kExtensions = {".jpg",  ".png",  ".heic", ".avif", ".webp",
                                                    ".gif",  ".tiff", ".dng",  ".jxl"};
constexpr int64_t kSmallBox = 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vek::linux_library::startMediaLibraries();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vek::linux_library;
  if (size == 0) return 0;
  const std::string path = workDirectory() + "/input" + kExtensions[(data[0] & 0x7f) % kExtensions.size()];
  const int64_t box = (data[0] & 0x80) ? 0 : kSmallBox;
  writeFile(path, data + 1, size - 1);

  struct stat info {};
  if (stat(path.c_str(), &info) != 0) __builtin_trap();
  const FileStamp stamp{info.st_dev, info.st_ino, info.st_size, 0};
  const ProbeResult probed = probeFile(path, stamp, MediaKind::kImage);
  if (probed.status == ProbeResult::Status::kUnreadable) __builtin_trap();
  if (probed.status == ProbeResult::Status::kMedia &&
      (probed.facts.mediaType != vek::kMediaTypeImage || probed.facts.duration != 0 || !probed.facts.creationDate)) {
    __builtin_trap();
  }

  const std::optional<OpenedFile> opened = openMediaFile(path);
  if (!opened) __builtin_trap();
  if (auto image = renderImageFile(*opened, box)) {
    const vek::ImageSize rendered = image->size();
    if (rendered.width < 1 || rendered.height < 1) __builtin_trap();
    if (box > 0 && (rendered.width > box || rendered.height > box)) __builtin_trap();
    if (auto jpeg = image->jpegRepresentation(0.85)) {
      if (jpeg->size() < 4 || uint8_t((*jpeg)[0]) != 0xFF || uint8_t((*jpeg)[1]) != 0xD8) __builtin_trap();
    }
  }
  unlink(path.c_str());
  return 0;
}

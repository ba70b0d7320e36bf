#include "platform/linux/media_files/media_names.hpp"

#include <algorithm>

namespace vek::linux_library {
namespace {

constexpr std::array<std::string_view, 11> kImageExtensions = {"jpg",  "jpeg", "png", "heic", "heif", "avif",
                                                               "webp", "gif", "tif",  "tiff", "jxl"};
constexpr std::array<std::string_view, 10> kVideoExtensions = {"mp4", "mov", "m4v",  "3gp", "mkv",
                                                               "webm", "avi", "mts", "m2ts", "ts"};

// The extension of the last component, or nothing for a name without one
// (or one that only starts with a dot).
std::optional<std::string_view> extensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name[dot - 1] == '/' ||
      name.find('/', dot) != std::string_view::npos) {
    return std::nullopt;
  }
  return name.substr(dot + 1);
}

template <size_t N>
bool isAmong(std::string_view extension, const std::array<std::string_view, N>& lowerCase) {
  return std::any_of(lowerCase.begin(), lowerCase.end(), [&](std::string_view candidate) {
    return extension.size() == candidate.size() &&
           std::equal(extension.begin(), extension.end(), candidate.begin(), [](char a, char b) {
             return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
  });
}

constexpr std::array<std::string_view, 10> kStillsWithExif = {"jpg",  "jpeg", "png", "heic", "heif",
                                                              "avif", "webp", "tif", "tiff", "jxl"};
constexpr std::array<std::string_view, 4> kQuickTimeMovies = {"mov", "mp4", "m4v", "3gp"};

}  // namespace

std::optional<MediaKind> mediaKindForName(std::string_view name) {
  const std::optional<std::string_view> extension = extensionOf(name);
  if (!extension) return std::nullopt;
  if (isAmong(*extension, kImageExtensions) || isAmong(*extension, kCameraRawExtensions)) return MediaKind::kImage;
  if (isAmong(*extension, kVideoExtensions)) return MediaKind::kVideo;
  return std::nullopt;
}

bool isCameraRawName(std::string_view name) {
  const std::optional<std::string_view> extension = extensionOf(name);
  return extension && isAmong(*extension, kCameraRawExtensions);
}

bool mayCarryContentIdentifier(std::string_view name) {
  const std::optional<std::string_view> extension = extensionOf(name);
  return extension && (isAmong(*extension, kStillsWithExif) || isAmong(*extension, kQuickTimeMovies));
}

}  // namespace vek::linux_library

#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/media_files/file_stamp.hpp"

namespace vek::linux_library {

// A file a test names, opened as the library opens a catalogued file:
// without following a link, from the real path of its folder (the
// temporary folder may itself be reached through one). nullopt when it
// cannot be opened so.
inline std::optional<OpenedFile> openForTest(const std::filesystem::path& path) {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::canonical(path.parent_path(), error);
  if (error) return std::nullopt;
  return openMediaFile((folder / path.filename()).string());
}

// `make(file)` for the file at `path` opened so, or nullptr when it cannot
// be opened: the library's media functions as a test calls them by name.
template <typename Make>
auto withOpened(const std::filesystem::path& path, Make&& make) -> decltype(make(std::declval<const OpenedFile&>())) {
  const std::optional<OpenedFile> file = openForTest(path);
  if (!file) return nullptr;
  return make(*file);
}

}  // namespace vek::linux_library

#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/linux/media_files/file_stamp.hpp"

namespace vek::linux_library {

// `make(file)` for the file a test names, opened as the library opens a
// catalogued file: without following a link, from the real path of its
// folder (the temporary folder may itself be reached through one). nullptr
// when it cannot be opened so.
template <typename Make>
auto withOpened(const std::filesystem::path& path, Make&& make) -> decltype(make(std::declval<const OpenedFile&>())) {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::canonical(path.parent_path(), error);
  const std::optional<OpenedFile> file = error ? std::nullopt : openMediaFile((folder / path.filename()).string());
  return file ? make(*file) : nullptr;
}

}  // namespace vek::linux_library

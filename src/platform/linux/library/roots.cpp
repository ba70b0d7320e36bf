#include "platform/linux/library/roots.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "platform/linux/posix/io.hpp"
#include "platform/linux/xdg/folders.hpp"

namespace vek::linux_library {
namespace {

constexpr size_t kMaxUserDirsBytes = 1 << 20;

bool skipBlanks(std::string_view& line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return !line.empty();
}

bool consume(std::string_view& line, std::string_view prefix) {
  if (!line.starts_with(prefix)) return false;
  line.remove_prefix(prefix.size());
  return true;
}

// One line of user-dirs.dirs: the folder it names for `key` ("PICTURES"), or
// nothing when the line is about something else or is malformed.
std::optional<std::string> userDirFromLine(std::string_view line, std::string_view key, std::string_view home) {
  skipBlanks(line);
  if (!consume(line, "XDG_") || !consume(line, key) || !consume(line, "_DIR")) return std::nullopt;
  skipBlanks(line);
  if (!consume(line, "=")) return std::nullopt;
  skipBlanks(line);
  if (!consume(line, "\"")) return std::nullopt;
  std::string dir;
  if (consume(line, "$HOME/")) {
    dir.assign(home);
    dir.push_back('/');
  } else if (!line.starts_with('/')) {
    return std::nullopt;
  }
  for (size_t i = 0; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    dir.push_back(line[i]);
  }
  return dir;
}

std::string canonicalOrSelf(const std::string& path) {
  std::error_code error;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(path, error);
  if (error) return path;
  std::string text = canonical.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool isSameOrInside(const std::string& inner, const std::string& outer) {
  if (inner == outer) return true;
  if (outer == "/") return true;
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 && inner[outer.size()] == '/';
}

}  // namespace

UserDirs parseUserDirs(std::string_view content, std::string_view home) {
  UserDirs dirs;
  while (!content.empty()) {
    size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
    if (auto dir = userDirFromLine(line, "PICTURES", home)) dirs.pictures = std::move(dir);
    if (auto dir = userDirFromLine(line, "VIDEOS", home)) dirs.videos = std::move(dir);
  }
  return dirs;
}

LibraryLocation libraryLocationFromEnvironment() {
  const std::string home = homeFolder();
  UserDirs dirs;
  // A link is followed: users keep their settings in files linked from elsewhere.
  if (auto content = readSmallFile(AT_FDCWD, configHome() + "/user-dirs.dirs", kMaxUserDirsBytes, true)) {
    dirs = parseUserDirs(*content, home);
  }

  LibraryLocation location;
  const std::string canonicalHome = canonicalOrSelf(home);
  for (const std::string& root : {dirs.pictures.value_or(home + "/Pictures"), dirs.videos.value_or(home + "/Videos")}) {
    if (isSameOrInside(canonicalHome, canonicalOrSelf(root))) continue;
    location.roots.push_back(root);
  }
  location.catalogPath = dataHome() + "/vek-photokit-helper/catalog.sqlite3";
  return location;
}

std::vector<std::string> distinctRoots(const std::vector<std::string>& roots) {
  std::vector<std::string> existing;
  for (const std::string& root : roots) {
    char* resolved = realpath(root.c_str(), nullptr);
    if (resolved == nullptr) continue;
    std::string path = resolved;
    std::free(resolved);
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) existing.push_back(std::move(path));
  }
  // Sorted, a folder comes before everything inside it.
  std::sort(existing.begin(), existing.end());
  std::vector<std::string> distinct;
  for (std::string& path : existing) {
    bool covered = std::any_of(distinct.begin(), distinct.end(),
                               [&](const std::string& outer) { return isSameOrInside(path, outer); });
    if (!covered) distinct.push_back(std::move(path));
  }
  return distinct;
}

}  // namespace vek::linux_library

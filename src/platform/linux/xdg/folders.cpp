#include "platform/linux/xdg/folders.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace vek::linux_library {
namespace {

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string baseFolder(const char* variable, const char* belowHome) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return withoutTrailingSlashes(value);
  return homeFolder() + belowHome;
}

}  // namespace

std::string homeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return withoutTrailingSlashes(home);
  // Without HOME, desktop libraries ask the password database, as we do.
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return withoutTrailingSlashes(found->pw_dir);
  }
  throw std::runtime_error("The home directory is unknown: HOME is not set.");
}

std::string configHome() { return baseFolder("XDG_CONFIG_HOME", "/.config"); }
std::string dataHome() { return baseFolder("XDG_DATA_HOME", "/.local/share"); }
std::string cacheHome() { return baseFolder("XDG_CACHE_HOME", "/.cache"); }

}  // namespace vek::linux_library

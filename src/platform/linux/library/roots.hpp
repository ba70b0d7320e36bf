#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vek::linux_library {

// Where the user's library lives: the folders to list and the catalog file.
struct LibraryLocation {
  std::vector<std::string> roots;  // absolute paths; may not exist
  std::string catalogPath;
};

// The user's Pictures and Videos folders (from $XDG_CONFIG_HOME/user-dirs.dirs,
// else ~/Pictures and ~/Videos) and the catalog under $XDG_DATA_HOME. A folder
// that is the home directory, or contains it, is left out: desktops name the
// home directory for a folder the user turned off, and the home directory is
// never scanned as a library. Reads the environment; call from one thread.
// Throws std::runtime_error when no home directory is known.
LibraryLocation libraryLocationFromEnvironment();

// The Pictures and Videos entries of a user-dirs.dirs file, read the way
// xdg-user-dir-lookup reads them: the last valid line of each wins, and a key
// that no valid line names stays empty.
struct UserDirs {
  std::optional<std::string> pictures;
  std::optional<std::string> videos;
};
UserDirs parseUserDirs(std::string_view content, std::string_view home);

// The roots to walk: the existing folders, each resolved to its real path,
// without repeats and without any folder that lies inside another of them.
std::vector<std::string> distinctRoots(const std::vector<std::string>& roots);

}  // namespace vek::linux_library

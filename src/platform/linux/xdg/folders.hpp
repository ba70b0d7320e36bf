#pragma once

#include <string>

namespace vek::linux_library {

// The user's folders as desktop programs find them, one rule for every part
// of the library: the catalog, the Trash and the render cache live where
// the user's other programs would put theirs. Each reads the environment
// afresh; call from one thread at a time.

// HOME when it is an absolute path, else the home of this user's entry in
// the password database. Throws std::runtime_error when neither gives one.
std::string homeFolder();

// The XDG base folders: the variable when it holds an absolute path (a
// relative one is invalid and ignored), else its default below the home
// folder; without trailing slashes. Throw as homeFolder() does when the
// default is needed and there is no home.
std::string configHome();  // XDG_CONFIG_HOME, else ~/.config
std::string dataHome();    // XDG_DATA_HOME, else ~/.local/share
std::string cacheHome();   // XDG_CACHE_HOME, else ~/.cache

}  // namespace vek::linux_library

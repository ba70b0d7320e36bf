#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

namespace vek::testing {

// The real phone and camera files that lie beside the checkout
// (../shared/samples), as CI lays it out; by their real path, as the
// library opens files without "..", or a symbolic link, on the way.
inline std::filesystem::path samplesFolder() {
  std::error_code missing;
  return std::filesystem::weakly_canonical(VEK_SAMPLES_DIR, missing);
}

// True in CI, where everything the setup installs must be there: a test
// that finds a prerequisite missing fails rather than skips.
inline bool inCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace vek::testing

// Skips the test, saying why, where the file `path` is missing; fails it in
// CI.
#define VEK_REQUIRE_FILE(path)                                                         \
  do {                                                                                 \
    if (!std::filesystem::exists(path)) {                                              \
      if (::vek::testing::inCi()) FAIL() << "missing in CI: " << (path);              \
      GTEST_SKIP() << "not on this machine: " << (path);                               \
    }                                                                                  \
  } while (false)

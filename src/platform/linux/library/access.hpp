#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vek::linux_library {

// What the file system lets this process do with the library, as an
// authorization status: denied (2) when an existing root folder cannot be read
// and searched, limited (4) when every existing root can be read but one cannot
// be written, authorized (3) otherwise, including when no root exists (an
// empty library). A root that is missing or is not a folder does not count.
// Asks the file system afresh on every call; any thread.
int64_t authorizationStatusForRoots(const std::vector<std::string>& roots);

}  // namespace vek::linux_library

#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace vek::linux_library {

// The longest name a trashed file may take, so that its info file's name
// (the same name plus ".trashinfo") still fits in a directory entry.
inline constexpr size_t kMaxTrashNameLength = 255 - std::string_view(".trashinfo").size();

// The whole text of a trashed file's info file. originalLocation is written
// percent-encoded byte by byte (ASCII letters, digits, "-._~" and "/" are
// kept), so that names which are not UTF-8 come back unchanged.
// originalLocation must not contain a NUL byte.
std::string trashInfoText(const std::string& originalLocation, std::string_view deletionDate);

// when as local time in the form YYYY-MM-DDThh:mm:ss.
std::string trashDeletionDate(std::time_t when);

// Candidate number n (1, 2, ...) for the name of a file called name in the
// trash: name itself first, then "stem.2.ext", "stem.3.ext", ... Every
// candidate is at most kMaxTrashNameLength bytes long; a longer name loses the
// end of its stem, cut between UTF-8 characters.
std::string trashNameCandidate(std::string_view name, unsigned n);

}  // namespace vek::linux_library

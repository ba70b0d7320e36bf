#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/media_files/file_stamp.hpp"

namespace vek::linux_library {

// Where the calling user's trash is.
struct TrashSettings {
  std::string homeTrash;  // $XDG_DATA_HOME/Trash (default $HOME/.local/share/Trash), absolute
  uid_t uid = 0;
  // Where each move notes the info files it makes (TrashJournal), so that
  // those a killed move leaves without their file are cleared later; none
  // when empty.
  std::string journalFolder = "";
};

// The settings of this process: XDG_DATA_HOME when it is an absolute path,
// else HOME, else the home folder of the user's account entry; getuid(); and
// the journal folder $XDG_DATA_HOME/vek-photokit-helper/trash-moves.
// Throws std::runtime_error when no home can be found.
TrashSettings trashSettingsFromEnvironment();

// Removes the info files that moves of this user's helpers, killed before
// all their files were moved, left without a file (and only those), as the
// notes in the settings' journal folder tell. Every move does it first.
// Never throws.
void clearInterruptedMoves(const TrashSettings& settings);

// A file to move to the trash: a regular file or a symbolic link, given by
// its absolute path without "." or ".." parts, and the stamp it must still
// have (isCatalogued: the same file, unchanged).
struct TrashItem {
  std::string path;
  FileStamp expected;
};

struct TrashFailure {
  // Some file is no longer there as expected: gone, replaced, changed, or
  // reachable only through a symbolic link (another program got there
  // first). A fresh look tells which files are left to move.
  bool gone = false;
  // In plain words, naming the file and why; UTF-8.
  std::string reason;
};

// Moves every file to the trash of its file system, as one change: all of
// them, or none. Files on the home trash's file system go to the home
// trash; others to the trash at the top of their own mount. Each file's
// folder is opened without following a link, and the file is renamed from
// that folder once found to be the expected one, and checked again once in
// the trash: one put in its place meanwhile goes back. Files are renamed,
// never copied or erased, and each gets its info file first, so a process
// killed at any moment leaves every file either where it was or in the
// trash with its info, and the next move clears the info files of those
// left where they were. The same file named twice is moved once.
//
// Returns nullopt when every file was moved. Otherwise nothing was moved and
// the failure says why; in the rare case that a file moved before a failure
// cannot be put back, it stays in the trash with its info and the reason
// says so. Blocks the calling thread; safe to call from several threads at
// once.
std::optional<TrashFailure> moveToTrash(const std::vector<TrashItem>& items, const TrashSettings& settings);

}  // namespace vek::linux_library

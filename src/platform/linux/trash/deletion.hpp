#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/linux/media_files/file_stamp.hpp"

namespace vek::linux_library {

// What a deletion did. Every file is either in `moved` (now in a Trash) or
// still where it was; `refusal` says why some, or all, are not in `moved`.
struct TrashOutcome {
  std::vector<std::string> moved;      // paths as given
  std::optional<std::string> refusal;  // UTF-8; nullopt when every file moved
  // Nothing moved, because some file was no longer the catalogued one, or
  // was gone (another program got there first): a fresh lookup tells which
  // files are left to delete.
  bool changedSinceListed = false;
};

// Whether this process deletes through the desktop's Trash portal: inside a
// Flatpak (/.flatpak-info exists) or a Snap (SNAP is set), whose own data
// folder holds a Trash no file manager shows, or when GIO_USE_PORTALS=1
// asks for it as it does of GLib.
bool deletesThroughPortal();

// Moves the files to the user's Trash, the one place that chooses how:
// through the portal when deletesThroughPortal() (trashThroughPortal(),
// which cannot undo a move, so some files may go and others not), else into
// the freedesktop Trash (moveToTrash(), all of them or none). `goesAfter`,
// when given, has one index per file: that of an earlier file that must
// have gone before this one is tried, or the file's own; only the portal
// needs it. Blocks the calling thread. Throws std::runtime_error when no
// home folder can be found for the freedesktop Trash.
TrashOutcome trashFiles(const std::vector<CataloguedFile>& files, const std::vector<size_t>& goesAfter = {});

// Clears what deletions into the freedesktop Trash killed half way left
// (clearInterruptedMoves()); trashFiles() does it first too. Nothing
// through the portal, which moves each file whole. Never throws.
void clearInterruptedDeletions();

}  // namespace vek::linux_library

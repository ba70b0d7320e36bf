#pragma once

#include <string>

#include "platform/linux/posix/unique_fd.hpp"
#include "platform/linux/trash/directory.hpp"

namespace vek::linux_library {

// The info files that one move into the trash makes, noted as each is
// made, so that when the process is killed before all its files are moved,
// a later move can remove the info files that no file followed (a file
// manager shows those as broken entries for ever), and only those. Each
// batch notes in a file of its own in the journal folder, locked for as
// long as the batch runs: a note that can be locked is one whose process
// has died. Not for concurrent use.
class TrashJournal {
 public:
  // A note for a new batch in `folder` (made when missing). When it cannot
  // be made (no folder given, or a disk full or read-only), the batch runs
  // unnoted, as before there were notes.
  explicit TrashJournal(const std::string& folder);
  // The batch is over, whatever became of it: its note goes.
  ~TrashJournal();
  TrashJournal(const TrashJournal&) = delete;
  TrashJournal& operator=(const TrashJournal&) = delete;

  // Notes the info file `name`.trashinfo just made in `trash`, open at
  // `infoFile` and still empty.
  void noteInfoFile(const TrashDirectory& trash, const std::string& name, int infoFile);
  // Puts what was noted on disk, as the info files are.
  void flush();

 private:
  UniqueFd folder_;
  UniqueFd note_;
  std::string name_;
};

// For every batch noted in `folder` whose process has died: removes each
// info file it made that is still there, the very file it made, while no
// file of that name is in the trash; then its note. Never throws.
void clearInterruptedBatches(const std::string& folder);

}  // namespace vek::linux_library

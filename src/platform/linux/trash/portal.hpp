#pragma once

#include <vector>

#include "platform/linux/trash/deletion.hpp"

namespace vek::linux_library {

// Moves the files into the user's real Trash through the desktop's Trash
// portal (org.freedesktop.portal.Trash on the session bus): the way out of
// a sandbox, whose own data folder would hold a Trash that no file manager
// shows.
//
// Before the first file moves, everything that can be checked is: the
// portal answers (its version is read), and each file, opened for writing
// without following a link on its way as the portal requires, is still the
// catalogued one (device, inode, size, modification time) in a folder this
// process may write. A failure there leaves every file in place, and the
// refusal says why (changedSinceListed when a file was taken, replaced or
// changed).
//
// Each file is then opened and checked again and its descriptor handed to
// the portal, which trashes whatever path that file has at that moment. The
// portal cannot put a file back and answers a file it cannot trash with a
// bare 0, so the files it took stay in the Trash and the rest are still
// tried; the refusal then says how many went and names those that did not.
// When the portal stops answering half way, the files after it are not
// tried. A file whose goesAfter index names another file (trashFiles()) is
// tried only once that one went: with a Live Photo's movie before its
// still, a movie the portal refuses keeps its still in place.
//
// The bus is the one DBUS_SESSION_BUS_ADDRESS names, else
// $XDG_RUNTIME_DIR/bus; none is ever started. The connection is the call's
// own and is closed before returning. Blocks the calling thread.
TrashOutcome trashThroughPortal(const std::vector<CataloguedFile>& files, const std::vector<size_t>& goesAfter = {});

}  // namespace vek::linux_library

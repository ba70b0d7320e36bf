#include "platform/linux/trash/portal.hpp"

#include <fcntl.h>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/linux/posix/io.hpp"
#include "platform/linux/posix/no_links.hpp"
#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalObject = "/org/freedesktop/portal/desktop";
constexpr const char* kTrashInterface = "org.freedesktop.portal.Trash";
// A refusal names this many files at most; the caller learns of every one
// that moved all the same.
constexpr size_t kNamedAtMost = 10;

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
struct VariantUnref {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// The error's message, freeing it. A D-Bus error's name is left out: the
// message is for a user.
std::string takeMessage(GError* error) {
  g_dbus_error_strip_remote_error(error);
  std::string message = error->message;
  g_error_free(error);
  return message;
}

std::string displayable(const std::string& text) {
  std::unique_ptr<char, decltype(&g_free)> valid(g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size())),
                                                 &g_free);
  return valid.get();
}

std::string refusalFor(const std::string& path, const std::string& why) {
  return displayable("Cannot move \"" + path + "\" to the trash: " + why + ".");
}

// The session bus as the desktop's programs find it, except that none is
// ever launched: GLib's own lookup would start one under X11, which would
// hold no portal anyway.
std::optional<std::string> sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address != nullptr && *address != '\0') {
    return address;
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || runtime[0] != '/') return std::nullopt;
  const std::string socket = std::string(runtime) + "/bus";
  struct stat info {};
  if (stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
  std::unique_ptr<char, decltype(&g_free)> escaped(g_dbus_address_escape_value(socket.c_str()), &g_free);
  return "unix:path=" + std::string(escaped.get());
}

enum class Answer { kTrashed, kRefused, kFailed };

// A connection of our own to the portal. GLib's shared session connection
// would end the whole process when the bus goes away.
class Portal {
 public:
  Portal() = default;
  Portal(const Portal&) = delete;
  Portal& operator=(const Portal&) = delete;
  ~Portal() {
    if (!connection_) return;
    g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
  }

  // Nullopt once the portal has answered, else why it cannot be used.
  std::optional<std::string> connect() {
    const std::optional<std::string> address = sessionBusAddress();
    if (!address) return "there is no session bus to reach the desktop's Trash portal on";
    GError* error = nullptr;
    connection_.reset(g_dbus_connection_new_for_address_sync(
        address->c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    if (!connection_) return "the session bus cannot be reached (" + takeMessage(error) + ")";
    g_dbus_connection_set_exit_on_close(connection_.get(), FALSE);
    // Reading a property starts the portal where the bus can, and fails
    // where the portal or its Trash interface is missing.
    VariantPtr version(g_dbus_connection_call_sync(
        connection_.get(), kPortalName, kPortalObject, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kTrashInterface, "version"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, -1,
        nullptr, &error));
    if (!version) return "the desktop's Trash portal does not answer (" + takeMessage(error) + ")";
    return std::nullopt;
  }

  // The portal's answer for the open file; `failure` says why a call failed.
  Answer trash(int fd, std::string& failure) {
    std::unique_ptr<GUnixFDList, ObjectUnref> descriptors(g_unix_fd_list_new());
    GError* error = nullptr;
    if (g_unix_fd_list_append(descriptors.get(), fd, &error) < 0) {
      failure = takeMessage(error);
      return Answer::kFailed;
    }
    VariantPtr reply(g_dbus_connection_call_with_unix_fd_list_sync(
        connection_.get(), kPortalName, kPortalObject, kTrashInterface, "TrashFile", g_variant_new("(h)", 0),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, descriptors.get(), nullptr, nullptr, &error));
    if (!reply) {
      failure = takeMessage(error);
      return Answer::kFailed;
    }
    guint32 trashed = 0;
    g_variant_get(reply.get(), "(u)", &trashed);
    return trashed == 1 ? Answer::kTrashed : Answer::kRefused;
  }

 private:
  std::unique_ptr<GDBusConnection, ObjectUnref> connection_;
};

// The file opened as the portal takes it: for writing, so a read-only file
// is refused here and not by the portal half way. Without following a link
// on its way, and without blocking on a FIFO put in its place. Empty, with
// `why` set, unless it is still the catalogued file; `gone` then tells
// whether it is no longer there as catalogued (taken, replaced or changed
// by another program).
UniqueFd openForPortal(const CataloguedFile& file, std::string& why, bool& gone) {
  UniqueFd fd = openWithoutLinks(file.path, O_RDWR | O_NONBLOCK);
  gone = false;
  if (!fd) {
    const int error = errno;
    gone = error == ENOENT || error == ELOOP || error == ENOTDIR;
    if (error == ENOENT) {
      why = "it does not exist";
    } else if (error == ELOOP || error == ENOTDIR) {
      why = "a symbolic link has taken its place, or that of a folder on its way";
    } else if (error == EACCES || error == EPERM || error == EROFS) {
      why = "it cannot be opened for writing, which the desktop's Trash portal requires (" + errnoText(error) + ")";
    } else {
      why = "it cannot be opened (" + errnoText(error) + ")";
    }
    return fd;
  }
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) {
    why = "it cannot be read (" + errnoText() + ")";
    fd.reset();
    return fd;
  }
  const FileStamp now = stampOf(info);
  if (!S_ISREG(info.st_mode) || !isCatalogued(now, file.stamp)) {
    why = S_ISREG(info.st_mode) && keyOf(now) == keyOf(file.stamp) ? "it has changed since it was listed"
                                                                    : "another file has taken its place since it was listed";
    gone = true;
    fd.reset();
  }
  return fd;
}

std::optional<std::string> folderProblem(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0) return std::nullopt;
  return "its folder is not writable (" + errnoText() + ")";
}

// True when the path still holds the open file: the portal has not moved it.
bool stillInPlace(int fd, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

using NotMoved = std::vector<std::pair<std::string, std::string>>;  // path, why

std::string partialRefusal(size_t moved, size_t total, const NotMoved& notMoved) {
  std::string text = std::to_string(moved) + " of " + std::to_string(total) +
                     " files went to the trash (through the desktop's Trash portal, which cannot put them back); "
                     "these did not:";
  for (size_t k = 0; k < notMoved.size() && k < kNamedAtMost; ++k) {
    text += (k == 0 ? " \"" : ", \"") + notMoved[k].first + "\" (" + notMoved[k].second + ")";
  }
  if (notMoved.size() > kNamedAtMost) text += " and " + std::to_string(notMoved.size() - kNamedAtMost) + " more";
  return displayable(text + ".");
}

}  // namespace

TrashOutcome trashThroughPortal(const std::vector<CataloguedFile>& given, const std::vector<size_t>& goesAfter) {
  std::vector<const CataloguedFile*> files;
  std::vector<const std::string*> after;  // the path that must have gone first, if any
  std::set<std::string> named;
  for (size_t k = 0; k < given.size(); ++k) {
    if (!named.insert(given[k].path).second) continue;
    files.push_back(&given[k]);
    after.push_back(goesAfter.empty() || goesAfter[k] == k ? nullptr : &given[goesAfter[k]].path);
  }
  if (files.empty()) return {};

  Portal portal;
  if (auto why = portal.connect()) return {{}, displayable("Cannot move files to the trash: " + *why + ".")};
  for (const CataloguedFile* file : files) {
    std::string why;
    bool gone = false;
    if (!openForPortal(*file, why, gone)) return {{}, refusalFor(file->path, why), gone};
    if (auto problem = folderProblem(file->path)) return {{}, refusalFor(file->path, *problem)};
  }

  TrashOutcome outcome;
  NotMoved notMoved;
  std::set<std::string> moved;
  for (size_t k = 0; k < files.size(); ++k) {
    const CataloguedFile& file = *files[k];
    if (after[k] != nullptr && !moved.contains(*after[k])) {
      notMoved.emplace_back(file.path, "left with \"" + *after[k] + "\", which did not go");
      continue;
    }
    // Checked again: the portal trashes whatever the open file is now.
    std::string why;
    bool gone = false;
    UniqueFd fd = openForPortal(file, why, gone);
    if (!fd) {
      notMoved.emplace_back(file.path, why);
      continue;
    }
    const Answer answer = portal.trash(fd.get(), why);
    if (answer == Answer::kTrashed) {
      outcome.moved.push_back(file.path);
      moved.insert(file.path);
    } else if (answer == Answer::kRefused) {
      notMoved.emplace_back(file.path, "the desktop's Trash portal refused it");
    } else {
      // A call that timed out may still have moved the file; where it is
      // now tells.
      if (stillInPlace(fd.get(), file.path)) {
        notMoved.emplace_back(file.path, "the desktop's Trash portal failed: " + why);
      } else {
        outcome.moved.push_back(file.path);
        moved.insert(file.path);
      }
      for (++k; k < files.size(); ++k) {
        notMoved.emplace_back(files[k]->path, "not tried after the desktop's Trash portal failed: " + why);
      }
    }
  }
  if (!notMoved.empty()) outcome.refusal = partialRefusal(outcome.moved.size(), files.size(), notMoved);
  return outcome;
}

}  // namespace vek::linux_library

#include "platform/linux/trash/journal.hpp"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/media_files/file_stamp.hpp"
#include "platform/linux/posix/byte_fields.hpp"
#include "platform/linux/posix/io.hpp"

namespace vek::linux_library {
namespace {

constexpr std::string_view kNotePrefix = "batch-";
// A note is made under this prefix and renamed once locked, so that no one
// ever finds a note of a live batch unlocked.
constexpr std::string_view kNewNotePrefix = ".new-";
// Larger notes are not of this program: a batch of a million photos notes
// some 120 MB.
constexpr size_t kMaxNoteBytes = 512 << 20;

std::optional<InodeKey> identityOf(int fd, const char* name = "", int flags = AT_EMPTY_PATH) {
  struct stat info {};
  if (fstatat(fd, name, &info, flags) != 0) return std::nullopt;
  return keyOf(stampOf(info));
}

void putIdentity(ByteWriter& writer, const InodeKey& identity) { writer.put(identity.device).put(identity.inode); }

bool getIdentity(ByteReader& reader, InodeKey& identity) {
  return reader.get(identity.device) && reader.get(identity.inode);
}

// One info file a batch made.
struct Noted {
  std::string trash;  // the trash directory's path
  InodeKey files{}, info{}, infoFile{};
  std::string name;
};

// The trash's files and info folders, as they were when noted; none when
// they are no longer the very folders (the disk is not mounted, or others
// are in their place).
struct TrashFolders {
  UniqueFd files, info;
};

TrashFolders reopen(const Noted& noted) {
  TrashFolders folders;
  const UniqueFd trash(open(noted.trash.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!trash) return folders;
  UniqueFd files(openat(trash.get(), "files", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd info(openat(trash.get(), "info", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!files || !info || identityOf(files.get()) != noted.files || identityOf(info.get()) != noted.info) {
    return folders;
  }
  return {std::move(files), std::move(info)};
}

void clearNoted(const std::string& note) {
  ByteReader reader(note);
  std::map<std::string, TrashFolders> trashes;
  for (;;) {
    Noted noted;
    // A note cut short by the kill ends before its last record.
    if (!reader.getText(noted.trash) || !getIdentity(reader, noted.files) || !getIdentity(reader, noted.info) ||
        !getIdentity(reader, noted.infoFile) || !reader.getText(noted.name)) {
      return;
    }
    auto found = trashes.find(noted.trash);
    if (found == trashes.end()) found = trashes.emplace(noted.trash, reopen(noted)).first;
    const TrashFolders& folders = found->second;
    if (!folders.info) continue;
    const std::string infoName = noted.name + ".trashinfo";
    struct stat file {};
    const bool fileArrived = fstatat(folders.files.get(), noted.name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 ||
                             errno != ENOENT;
    if (!fileArrived && identityOf(folders.info.get(), infoName.c_str(), AT_SYMLINK_NOFOLLOW) == noted.infoFile) {
      unlinkat(folders.info.get(), infoName.c_str(), 0);
    }
  }
}

UniqueFd openJournalFolder(const std::string& folder, bool create) {
  if (create && g_mkdir_with_parents(folder.c_str(), 0700) != 0) return UniqueFd();
  UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!fd || fstat(fd.get(), &info) != 0 || info.st_uid != geteuid()) return UniqueFd();
  return fd;
}

}  // namespace

TrashJournal::TrashJournal(const std::string& folder) {
  if (folder.empty()) return;
  folder_ = openJournalFolder(folder, true);
  if (!folder_) return;
  // Unique enough: a name taken already just leaves the batch unnoted.
  const std::string suffix = std::to_string(getpid()) + "-" +
                             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  const std::string fresh = std::string(kNewNotePrefix) + suffix;
  UniqueFd note(openat(folder_.get(), fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!note) return;
  name_ = std::string(kNotePrefix) + suffix;
  if (flock(note.get(), LOCK_EX) != 0 || renameat(folder_.get(), fresh.c_str(), folder_.get(), name_.c_str()) != 0) {
    unlinkat(folder_.get(), fresh.c_str(), 0);
    return;
  }
  note_ = std::move(note);
}

TrashJournal::~TrashJournal() {
  if (note_) unlinkat(folder_.get(), name_.c_str(), 0);
}

void TrashJournal::noteInfoFile(const TrashDirectory& trash, const std::string& name, int infoFile) {
  if (!note_) return;
  const std::optional<InodeKey> files = identityOf(trash.filesFd());
  const std::optional<InodeKey> info = identityOf(trash.infoFd());
  const std::optional<InodeKey> file = identityOf(infoFile);
  if (!files || !info || !file) return;
  ByteWriter record;
  record.putText(trash.path());
  putIdentity(record, *files);
  putIdentity(record, *info);
  putIdentity(record, *file);
  record.putText(name);
  // Appended whole or, at the end, cut short; either reads back.
  if (!writeAll(note_.get(), record.bytes)) note_.reset();
}

void TrashJournal::flush() {
  if (note_) fdatasync(note_.get());
}

void clearInterruptedBatches(const std::string& folder) {
  if (folder.empty()) return;
  const UniqueFd journal = openJournalFolder(folder, false);
  if (!journal) return;
  for (const std::string& name : namesInFolder(journal.get())) {
    if (!name.starts_with(kNotePrefix)) continue;
    const UniqueFd note(openat(journal.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    // Locked: its batch is running.
    if (!note || flock(note.get(), LOCK_EX | LOCK_NB) != 0) continue;
    struct stat info {};
    if (fstat(note.get(), &info) == 0 && static_cast<uint64_t>(info.st_size) <= kMaxNoteBytes) {
      std::string bytes(static_cast<size_t>(info.st_size), '\0');
      bytes.resize(readAt(note.get(), bytes.data(), bytes.size(), 0));
      clearNoted(bytes);
    }
    unlinkat(journal.get(), name.c_str(), 0);
  }
}

}  // namespace vek::linux_library

#include "platform/linux/decoders/vips_read_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vek::linux_library {
namespace {

// Loaders ask for a few KiB at a time (a PNG's chunks, libvips' own 4 KiB
// reads); reading ahead in larger pieces spares thousands of system calls a
// photo.
constexpr size_t kReadAhead = 256 * 1024;

struct Reader {
  int fd = -1;
  gint64 position = 0;
  std::vector<char> ahead;  // the file's bytes from aheadStart on
  gint64 aheadStart = 0;
};

gint64 readAt(VipsSourceCustom*, void* buffer, gint64 length, Reader* reader) {
  const gint64 offset = reader->position - reader->aheadStart;
  if (offset < 0 || offset >= static_cast<gint64>(reader->ahead.size())) {
    if (static_cast<size_t>(length) >= kReadAhead) {
      const ssize_t n = pread(reader->fd, buffer, size_t(length), off_t(reader->position));
      if (n < 0) return -1;
      reader->position += n;
      return n;
    }
    reader->ahead.resize(kReadAhead);
    const ssize_t n = pread(reader->fd, reader->ahead.data(), kReadAhead, off_t(reader->position));
    reader->ahead.resize(n > 0 ? size_t(n) : 0);
    reader->aheadStart = reader->position;
    if (n < 0) return -1;
    if (n == 0) return 0;
  }
  const gint64 at = reader->position - reader->aheadStart;
  const gint64 count = std::min<gint64>(length, static_cast<gint64>(reader->ahead.size()) - at);
  std::memcpy(buffer, reader->ahead.data() + at, size_t(count));
  reader->position += count;
  return count;
}

gint64 seekTo(VipsSourceCustom*, gint64 offset, int whence, Reader* reader) {
  gint64 base = 0;
  if (whence == SEEK_CUR) {
    base = reader->position;
  } else if (whence == SEEK_END) {
    struct stat info {};
    if (fstat(reader->fd, &info) != 0) return -1;
    base = info.st_size;
  } else if (whence != SEEK_SET) {
    return -1;
  }
  if (base + offset < 0) return -1;
  reader->position = base + offset;
  return reader->position;
}

void closeReader(gpointer data) {
  auto* reader = static_cast<Reader*>(data);
  close(reader->fd);
  delete reader;
}

}  // namespace

VipsSource* newReadSource(int fd) {
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return nullptr;
  VipsSourceCustom* source = vips_source_custom_new();
  auto* reader = new Reader();
  reader->fd = own;
  // The reader lives exactly as long as the source, which images made from
  // it may keep after the caller has let go.
  g_object_set_data_full(G_OBJECT(source), "vek-reader", reader, closeReader);
  g_signal_connect(source, "read", G_CALLBACK(readAt), reader);
  g_signal_connect(source, "seek", G_CALLBACK(seekTo), reader);
  return VIPS_SOURCE(source);
}

}  // namespace vek::linux_library

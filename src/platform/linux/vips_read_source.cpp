#include "platform/linux/vips_read_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vek::linux_library {
namespace {

struct Reader {
  int fd;
  gint64 position = 0;
};

gint64 readAt(VipsSourceCustom*, void* buffer, gint64 length, Reader* reader) {
  const ssize_t n = pread(reader->fd, buffer, size_t(length), off_t(reader->position));
  if (n < 0) return -1;
  reader->position += n;
  return n;
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
  auto* reader = new Reader{own};
  // The reader lives exactly as long as the source, which images made from
  // it may keep after the caller has let go.
  g_object_set_data_full(G_OBJECT(source), "vek-reader", reader, closeReader);
  g_signal_connect(source, "read", G_CALLBACK(readAt), reader);
  g_signal_connect(source, "seek", G_CALLBACK(seekTo), reader);
  return VIPS_SOURCE(source);
}

}  // namespace vek::linux_library

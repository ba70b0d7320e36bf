#include "platform/linux/render/file_in_memory.hpp"

#include <fcntl.h>

#include <cstring>
#include <thread>

#include "platform/linux/helper_home.hpp"
#include "platform/linux/posix/unique_fd.hpp"

namespace vek::linux_library {
namespace {

constexpr size_t kMiB = 1 << 20;

using FileInMemoryTest = vek::testing::HelperHome;

// The file at `path`, from a descriptor closed at once: the file keeps
// one of its own.
std::unique_ptr<FileInMemory> openFile(const std::filesystem::path& path, size_t maxBytes) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  return fd ? FileInMemory::open(fd.get(), maxBytes) : nullptr;
}

// One thread reads the whole file while another asks for more and more of
// it: both see the file's own bytes, and neither reads past its end.
TEST_F(FileInMemoryTest, ReadsInPiecesWhileAnotherThreadReadsOn) {
  const std::string bytes = vek::testing::randomBytes(3 * kMiB + 12345, 7);
  const Path path = pictures() / "photo.jpg";
  vek::testing::writeAll(path, bytes);
  std::unique_ptr<FileInMemory> file = openFile(path, 4 * kMiB);
  ASSERT_TRUE(file);
  std::thread reader([&] { file->readAll(); });
  size_t have = 0;
  for (;;) {
    const size_t read = file->readPast(have);
    ASSERT_LE(read, bytes.size());
    if (read == have) break;
    ASSERT_EQ(std::memcmp(file->bytes() + have, bytes.data() + have, read - have), 0) << "at " << have;
    have = read;
  }
  reader.join();
  EXPECT_EQ(have, bytes.size());
}

// A file cut short after it was opened keeps what could be read, and stops
// there rather than waiting for bytes that will not come; a reader done
// with the file stops the reading on, even mid-way.
TEST_F(FileInMemoryTest, ReadingEndsWhereTheFileWasCutOrWhenStopped) {
  const std::string bytes = vek::testing::randomBytes(2 * kMiB, 7);
  const Path path = pictures() / "cut.jpg";
  vek::testing::writeAll(path, bytes);
  std::unique_ptr<FileInMemory> cut = openFile(path, 4 * kMiB);
  std::unique_ptr<FileInMemory> stopped = openFile(path, 4 * kMiB);
  ASSERT_TRUE(cut && stopped);
  const size_t first = cut->readPast(0);
  ASSERT_LT(first, 300000u);
  EXPECT_EQ(stopped->readPast(0), first);
  std::filesystem::resize_file(path, 300000);
  cut->readAll();
  EXPECT_EQ(cut->readPast(bytes.size()), 300000u);
  EXPECT_EQ(std::memcmp(cut->bytes(), bytes.data(), 300000), 0);
  stopped->stopReading();
  stopped->readAll();
  EXPECT_EQ(stopped->readPast(bytes.size()), first);
}

// A FIFO would block the first read; an empty or oversized file is left to
// others.
TEST_F(FileInMemoryTest, OnlyRegularFilesWithSomethingInThemWithinTheLimitAreOpened) {
  vek::testing::writeAll(pictures() / "small.jpg", "abc");
  vek::testing::writeAll(pictures() / "empty.jpg", "");
  ASSERT_EQ(mkfifo((pictures() / "fifo.jpg").c_str(), 0600), 0);
  EXPECT_TRUE(openFile(pictures() / "small.jpg", 3));
  EXPECT_FALSE(openFile(pictures() / "small.jpg", 2));
  EXPECT_FALSE(openFile(pictures() / "empty.jpg", 3));
  EXPECT_FALSE(openFile(pictures() / "fifo.jpg", 3));
}

}  // namespace
}  // namespace vek::linux_library

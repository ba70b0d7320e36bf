#include "platform/linux/file_in_memory.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = 1 << 20;

std::string randomBytes(size_t size) {
  std::mt19937 generator(7);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

class FileInMemoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vek-file-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const char* name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path dir_;
};

// One thread reads the whole file while another asks for more and more of
// it: both see the file's own bytes, and neither reads past its end.
TEST_F(FileInMemoryTest, ReadsInPiecesWhileAnotherThreadReadsOn) {
  const std::string bytes = randomBytes(3 * kMiB + 12345);
  std::unique_ptr<FileInMemory> file = FileInMemory::open(write("photo.jpg", bytes).c_str(), 4 * kMiB);
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
  EXPECT_EQ(file->readPast(bytes.size()), bytes.size());
}

// A file cut short after it was opened keeps what could be read, and stops
// there rather than waiting for bytes that will not come.
TEST_F(FileInMemoryTest, AFileCutShortKeepsWhatWasRead) {
  const std::string bytes = randomBytes(2 * kMiB);
  const fs::path path = write("cut.jpg", bytes);
  std::unique_ptr<FileInMemory> file = FileInMemory::open(path.c_str(), 4 * kMiB);
  ASSERT_TRUE(file);
  const size_t first = file->readPast(0);
  ASSERT_GT(first, 0u);
  ASSERT_LT(first, 300000u);
  fs::resize_file(path, 300000);
  file->readAll();
  EXPECT_EQ(file->readPast(bytes.size()), 300000u);
  EXPECT_EQ(std::memcmp(file->bytes(), bytes.data(), 300000), 0);
}

// A reader done with the file stops the reading on, even mid-way.
TEST_F(FileInMemoryTest, ReadingStopsWhenAskedTo) {
  const std::string bytes = randomBytes(3 * kMiB);
  std::unique_ptr<FileInMemory> file = FileInMemory::open(write("photo.jpg", bytes).c_str(), 4 * kMiB);
  ASSERT_TRUE(file);
  const size_t first = file->readPast(0);
  file->stopReading();
  file->readAll();
  EXPECT_EQ(file->readPast(bytes.size()), first);
}

TEST_F(FileInMemoryTest, OnlyRegularFilesWithSomethingInThemWithinTheLimitAreOpened) {
  EXPECT_TRUE(FileInMemory::open(write("small.jpg", "abc").c_str(), 3));
  EXPECT_FALSE(FileInMemory::open(write("large.jpg", "abcd").c_str(), 3));
  EXPECT_FALSE(FileInMemory::open(write("empty.jpg", "").c_str(), 3));
  EXPECT_FALSE(FileInMemory::open(dir_.c_str(), 3));
  EXPECT_FALSE(FileInMemory::open((dir_ / "missing.jpg").c_str(), 3));
  const fs::path fifo = dir_ / "fifo.jpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(FileInMemory::open(fifo.c_str(), 3));
  fs::create_symlink(dir_ / "small.jpg", dir_ / "link.jpg");
  EXPECT_FALSE(FileInMemory::open((dir_ / "link.jpg").c_str(), 3));
}

}  // namespace
}  // namespace vek::linux_library

#include "platform/linux/library/scanner.hpp"

#include <algorithm>
#include <climits>

#include "platform/linux/helper_home.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

class ScannerTest : public vek::testing::TempFolder {
 protected:
  // rm removes folders nested deeper than a path can name.
  void TearDown() override { EXPECT_EQ(std::system(("rm -rf '" + root_.string() + "'").c_str()), 0); }

  static void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
  }

  static std::vector<std::string> pathsOf(const std::vector<FoundFile>& files) {
    std::vector<std::string> paths;
    for (const FoundFile& file : files) paths.push_back(file.path);
    return paths;
  }
};

// Folders are read by several threads in whatever order they get to them:
// every file must still be found once, and the whole in byte order of the
// full paths, with names that sort differently from the folders that hold
// them ("a b" and "a-" sort before "a/", "a0" after).
TEST_F(ScannerTest, EveryFileOfManyFoldersOnceInPathOrder) {
  std::vector<std::string> expected;
  const std::vector<std::string> names = {"a", "a b", "a-", "a0", "B", "b", "é"};
  for (const std::string& top : names) {
    for (const std::string& middle : names) {
      for (int i = 0; i < 6; ++i) {
        fs::path file = root_ / top / middle / ("img" + std::to_string(i) + ".jpg");
        touch(file);
        expected.push_back(file);
      }
      fs::path beside = root_ / top / (middle + ".jpg");
      touch(beside);
      expected.push_back(beside);
    }
  }
  std::sort(expected.begin(), expected.end());

  // More threads than folders at any level, whatever cores this machine has.
  for (int run = 0; run < 3; ++run) EXPECT_EQ(pathsOf(scanLibrary({root_}, 8)), expected) << "run " << run;
}

// Paths the system cannot open by name are left out, and the walk still
// finishes and lists everything above them.
TEST_F(ScannerTest, PathsTooLongToOpenAreLeftOut) {
  touch(root_ / "top.jpg");
  int fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const std::string name(200, 'd');
  // Long enough that the deepest folder that can be named holds a file that
  // cannot.
  const std::string fileName = std::string(100, 'x') + ".jpg";
  size_t length = root_.string().size();
  while (length < PATH_MAX + 400) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0);
    int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    ASSERT_GE(child, 0);
    fd = child;
    length += 1 + name.size();
    int file = openat(fd, fileName.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(file, 0);
    close(file);
  }
  close(fd);

  std::vector<FoundFile> files = scanLibrary({root_});
  ASSERT_GT(files.size(), 10u);
  EXPECT_EQ(files.back().path, root_ / "top.jpg");
  for (const FoundFile& file : files) EXPECT_LT(file.path.size(), size_t{PATH_MAX});
  // Every path short enough is there: one file a level until the limit.
  EXPECT_EQ(files.size() - 1, (PATH_MAX - 1 - root_.string().size() - 1 - fileName.size()) / (1 + name.size()));
}

}  // namespace
}  // namespace vek::linux_library

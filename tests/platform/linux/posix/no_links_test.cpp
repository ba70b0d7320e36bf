#include "platform/linux/posix/no_links.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/linux/helper_home.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

// Both ways, the kernel's and the one step per folder taken where the
// kernel lacks it, open what lies on a plain path and nothing reached
// through a link, wherever on the path the link is.
using NoLinksTest = testing::TempFolder;

TEST_F(NoLinksTest, ALinkAnywhereOnThePathLeadsNowhere) {
  const fs::path base = root_;
  fs::create_directories(base / "sub");
  std::ofstream(base / "sub" / "file") << "content";
  fs::create_directory_symlink("sub", base / "linked-folder");
  fs::create_symlink("file", base / "sub" / "linked-file");
  for (auto open : {openWithoutLinks, openWithoutLinksStepwise}) {
    EXPECT_TRUE(open(base / "sub" / "file", O_RDONLY));
    EXPECT_TRUE(open(base / "sub", O_PATH | O_DIRECTORY));
    EXPECT_TRUE(open("/", O_PATH | O_DIRECTORY));
    EXPECT_FALSE(open(base / "linked-folder" / "file", O_RDONLY));
    EXPECT_FALSE(open(base / "sub" / "linked-file", O_RDONLY));
    // O_PATH would otherwise open the link itself.
    EXPECT_FALSE(open(base / "sub" / "linked-file", O_PATH));
    EXPECT_FALSE(open(base / "sub" / ".." / "sub" / "file", O_RDONLY));
    EXPECT_FALSE(open("sub/file", O_RDONLY));
  }
}

}  // namespace
}  // namespace vek::linux_library

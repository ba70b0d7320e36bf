#include "platform/linux/library/roots.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/scoped_environment.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;
using vek::testing::ScopedEnvironment;

TEST(UserDirsTest, LastValidLineWinsWithEscapesAndMalformedLinesAreIgnored) {
  UserDirs dirs = parseUserDirs(
      "# written by xdg-user-dirs-update\n"
      "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
      "XDG_PICTURES_DIR=\"$HOME/First\"\n"
      "  XDG_PICTURES_DIR = \"$HOME/My \\\"Pics\\\\\"\n"
      "XDG_PICTURES_DIR=relative/unquoted\n"
      "XDG_PICTURES_DIR=\"relative\"\n"
      "XDG_PICTURES_DIR=\"$HOMEless\"\n"
      "XDG_PICTURESX_DIR=\"/other\"\n"
      "#XDG_PICTURES_DIR=\"/commented\"\n"
      "XDG_VIDEOS_DIR=\"/media/films\"",
      "/home/ann");
  EXPECT_EQ(dirs.pictures, "/home/ann/My \"Pics\\");
  EXPECT_EQ(dirs.videos, "/media/films");
  EXPECT_EQ(parseUserDirs("XDG_PICTURES_DIR=\"/p\"\n", "/home/ann").videos, std::nullopt);
}

class LibraryLocationTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(home_); }
  void TearDown() override { fs::remove_all(home_); }

  const fs::path home_ = fs::temp_directory_path() / ("vek-roots-" + std::to_string(getpid()));
  ScopedEnvironment homeVariable_{"HOME", home_.c_str()};
  ScopedEnvironment configVariable_{"XDG_CONFIG_HOME", nullptr};
  ScopedEnvironment dataVariable_{"XDG_DATA_HOME", nullptr};
};

TEST_F(LibraryLocationTest, FollowsXdgVariablesElseTheDefaultsAndDropsTheHomeFolderItself) {
  EXPECT_EQ(libraryLocationFromEnvironment().roots, (std::vector<std::string>{home_ / "Pictures", home_ / "Videos"}));
  fs::create_directories(home_ / "config");
  std::ofstream(home_ / "config/user-dirs.dirs") << "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
                                                  << "XDG_VIDEOS_DIR=\"$HOME/\"\n";
  ScopedEnvironment config("XDG_CONFIG_HOME", (home_ / "config").c_str());
  {
    ScopedEnvironment data("XDG_DATA_HOME", (home_ / "data").c_str());
    LibraryLocation location = libraryLocationFromEnvironment();
    EXPECT_EQ(location.roots, (std::vector<std::string>{home_ / "Bilder"}));
    EXPECT_EQ(location.catalogPath, home_ / "data/vek-photokit-helper/catalog.sqlite3");
  }
  // A relative XDG value is invalid and falls back to the default place.
  ScopedEnvironment relative("XDG_DATA_HOME", "data");
  EXPECT_EQ(libraryLocationFromEnvironment().catalogPath, home_ / ".local/share/vek-photokit-helper/catalog.sqlite3");
}

TEST_F(LibraryLocationTest, DistinctRootsDropsMissingRepeatedAndNestedFolders) {
  fs::create_directories(home_ / "Pictures/Videos");
  fs::create_directories(home_ / "Pictures-2019");
  fs::create_symlink(home_ / "Pictures", home_ / "Alias");
  std::vector<std::string> roots = distinctRoots({home_ / "Pictures/Videos", home_ / "Missing", home_ / "Alias",
                                                  home_ / "Pictures", home_ / "Pictures-2019"});
  std::string real = fs::canonical(home_);
  EXPECT_EQ(roots, (std::vector<std::string>{real + "/Pictures", real + "/Pictures-2019"}));
}

}  // namespace
}  // namespace vek::linux_library

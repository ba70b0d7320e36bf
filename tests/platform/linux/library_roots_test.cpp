#include "platform/linux/library_roots.hpp"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

TEST(UserDirsTest, ReadsQuotedHomeRelativeAndAbsoluteValuesWithEscapes) {
  UserDirs dirs = parseUserDirs(
      "# written by xdg-user-dirs-update\n"
      "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
      "  XDG_PICTURES_DIR = \"$HOME/My \\\"Pics\\\\\"\n"
      "XDG_VIDEOS_DIR=\"/media/films\"\n",
      "/home/ann");
  EXPECT_EQ(dirs.pictures, "/home/ann/My \"Pics\\");
  EXPECT_EQ(dirs.videos, "/media/films");
}

TEST(UserDirsTest, LastValidLineWinsAndMalformedLinesAreIgnored) {
  UserDirs dirs = parseUserDirs(
      "XDG_PICTURES_DIR=\"$HOME/First\"\n"
      "XDG_PICTURES_DIR=\"$HOME/Second\"\n"
      "XDG_PICTURES_DIR=relative/unquoted\n"
      "XDG_PICTURES_DIR=\"relative\"\n"
      "XDG_PICTURES_DIR=\"$HOMEless\"\n"
      "XDG_PICTURESX_DIR=\"/other\"\n"
      "#XDG_PICTURES_DIR=\"/commented\"",
      "/home/ann");
  EXPECT_EQ(dirs.pictures, "/home/ann/Second");
  EXPECT_EQ(dirs.videos, std::nullopt);
}

class LibraryLocationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("vek-roots-" + std::to_string(getpid()));
    fs::create_directories(home_);
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
      if (const char* value = getenv(name)) saved_[name] = value;
    }
    setenv("HOME", home_.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
  }
  void TearDown() override {
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
      auto saved = saved_.find(name);
      if (saved != saved_.end()) {
        setenv(name, saved->second.c_str(), 1);
      } else {
        unsetenv(name);
      }
    }
    fs::remove_all(home_);
  }

  fs::path home_;
  std::map<std::string, std::string> saved_;
};

TEST_F(LibraryLocationTest, DefaultsToPicturesVideosAndLocalShare) {
  LibraryLocation location = libraryLocationFromEnvironment();
  EXPECT_EQ(location.roots, (std::vector<std::string>{home_ / "Pictures", home_ / "Videos"}));
  EXPECT_EQ(location.catalogPath, home_ / ".local/share/vek-photokit-helper/catalog.sqlite3");
}

TEST_F(LibraryLocationTest, FollowsXdgVariablesAndDropsTheHomeFolderItself) {
  fs::create_directories(home_ / "config");
  std::ofstream(home_ / "config/user-dirs.dirs") << "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
                                                  << "XDG_VIDEOS_DIR=\"$HOME/\"\n";
  setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
  LibraryLocation location = libraryLocationFromEnvironment();
  EXPECT_EQ(location.roots, (std::vector<std::string>{home_ / "Bilder"}));
  EXPECT_EQ(location.catalogPath, home_ / "data/vek-photokit-helper/catalog.sqlite3");

  // A relative XDG value is invalid and falls back to the default place.
  setenv("XDG_DATA_HOME", "data", 1);
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

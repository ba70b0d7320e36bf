#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/helper_home.hpp"
#include "platform/linux/replies/render_cache.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

// A render cache that others could reach into: another user's folder, or
// links put in place of its own folders.
class ForeignCacheTest : public testing::TempFolder {
 protected:
  fs::path folder() const { return root_ / "cache" / "vek-photokit-helper"; }

  static CachedRender render(const std::string& jpeg) {
    return CachedRender{ImageSize{256, 171}, 0.85, jpeg, FileStamp{1, 2, 3000, 4, 5}};
  }

  // The folder that holds the asset's entries, found by storing one.
  fs::path assetFolderOf(const std::string& identifier) {
    RenderCache(folder().string(), 1 << 20).store(identifier, 1, render("probe"));
    for (const auto& entry : fs::recursive_directory_iterator(folder())) {
      if (entry.path().filename() == "1") return entry.path().parent_path();
    }
    ADD_FAILURE() << "no entry stored";
    return {};
  }
};

TEST_F(ForeignCacheTest, ACacheFolderOfAnotherUserIsNeitherReadNorWritten) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give the cache folder to another user";
  RenderCache(folder().string(), 1 << 20).store("A/L0/001", 256, render("planted"));
  ASSERT_EQ(std::system(("chown -R 4242:4242 '" + folder().string() + "'").c_str()), 0);
  chmod(folder().c_str(), 0777);

  RenderCache cache(folder().string(), 1 << 20);
  EXPECT_FALSE(cache.load("A/L0/001", 256, render("").stamp));
  EXPECT_FALSE(cache.holds("A/L0/001", 256, render("").stamp));
  cache.store("B/L0/001", 256, render("ours"));
  EXPECT_FALSE(cache.load("B/L0/001", 256, render("").stamp));
  struct stat info {};
  ASSERT_EQ(stat(folder().c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 4242u);
  EXPECT_EQ(info.st_mode & 0777, 0777u);
}

TEST_F(ForeignCacheTest, NoLinkInsideTheCacheIsFollowed) {
  const fs::path asset = assetFolderOf("A/L0/001");
  const fs::path prefix = asset.parent_path();
  fs::create_directories(root_ / "elsewhere");
  // What lies elsewhere, under the names the links lead to.
  fs::create_directories(root_ / "elsewhere" / asset.filename());
  std::ofstream(root_ / "elsewhere" / "kept") << "not the cache's";
  std::ofstream(root_ / "elsewhere" / asset.filename() / "kept") << "not the cache's";
  auto untouched = [&] {
    return std::vector<fs::path>(fs::recursive_directory_iterator(root_ / "elsewhere"), {}).size() == 3;
  };

  // The asset's folder, then the folder above it, swapped for a link.
  for (const fs::path& swapped : {asset, prefix}) {
    SCOPED_TRACE(swapped);
    fs::remove_all(swapped);
    fs::create_directory_symlink(root_ / "elsewhere", swapped);
    RenderCache cache(folder().string(), 1 << 20);
    cache.store("A/L0/001", 256, render("through the link"));
    EXPECT_FALSE(cache.load("A/L0/001", 256, render("").stamp));
    cache.forget({"A/L0/001"});
    EXPECT_TRUE(untouched());
    fs::remove(swapped);
  }
}

}  // namespace
}  // namespace vek::linux_library

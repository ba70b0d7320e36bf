#include "platform/linux/replies/render_cache.hpp"

#include <chrono>
#include <thread>
#include <tuple>

#include "platform/linux/helper_home.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

class RenderCacheTest : public vek::testing::TempFolder {
 protected:
  fs::path folder() const { return root_ / "cache" / "vek-photokit-helper"; }

  static CachedRender render(const std::string& jpeg, int64_t mtimeNs = 1) {
    return CachedRender{ImageSize{256, 171}, 0.85, jpeg, FileStamp{1, 2, 3000, mtimeNs, 5}};
  }

  // Every entry file below the cache folder (not the usage note beside them).
  std::vector<fs::path> entries() const {
    std::vector<fs::path> found;
    if (!fs::exists(folder())) return found;
    for (auto it = fs::recursive_directory_iterator(folder()); it != fs::recursive_directory_iterator(); ++it) {
      if (it.depth() == 2 && it->is_regular_file()) found.push_back(it->path());
    }
    return found;
  }

  uint64_t bytesOnDisk() const {
    uint64_t total = 0;
    for (const auto& entry : entries()) total += fs::file_size(entry);
    return total;
  }

};

TEST_F(RenderCacheTest, ServesAnEntryOnlyForItsAssetBoxAndStamp) {
  RenderCache cache(folder().string(), 1 << 20);
  constexpr char kBytes[] = "\xFF\xD8\xFF jpeg bytes \0 with a zero";
  const CachedRender kept = render(std::string(kBytes, sizeof kBytes - 1));
  cache.store("A/L0/001", 256, kept);

  std::optional<CachedRender> loaded = cache.load("A/L0/001", 256, kept.stamp);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(std::tie(loaded->jpeg, loaded->size, loaded->compressionFactor),
            std::tie(kept.jpeg, kept.size, kept.compressionFactor));

  EXPECT_TRUE(cache.holds("A/L0/001", 256, kept.stamp));
  EXPECT_FALSE(cache.load("A/L0/001", 1024, kept.stamp));
  EXPECT_FALSE(cache.holds("A/L0/001", 1024, kept.stamp));
  EXPECT_FALSE(cache.load("B/L0/001", 256, kept.stamp));
  // Size or either time differing: the file is not the one rendered. Other
  // device and inode numbers alone: the same file on a drive mounted again.
  void (*const changes[])(FileStamp&) = {[](FileStamp& s) { ++s.size; }, [](FileStamp& s) { ++s.mtimeNs; },
                                         [](FileStamp& s) { ++s.ctimeNs; }};
  for (auto change : changes) {
    FileStamp other = kept.stamp;
    change(other);
    EXPECT_FALSE(cache.load("A/L0/001", 256, other));
    EXPECT_FALSE(cache.holds("A/L0/001", 256, other));
  }
  FileStamp remounted = kept.stamp;
  remounted.device += 1;
  remounted.inode += 7;
  EXPECT_TRUE(cache.load("A/L0/001", 256, remounted));
  EXPECT_TRUE(cache.holds("A/L0/001", 256, remounted));

  // A newer render of the file replaces the entry.
  const CachedRender newer = render("newer", 9);
  cache.store("A/L0/001", 256, newer);
  EXPECT_FALSE(cache.load("A/L0/001", 256, kept.stamp));
  ASSERT_TRUE(cache.load("A/L0/001", 256, newer.stamp));
  EXPECT_EQ(entries().size(), 1u);
}

TEST_F(RenderCacheTest, NeverServesADamagedEntry) {
  RenderCache cache(folder().string(), 1 << 20);
  const CachedRender kept = render(std::string(5000, 'j'));
  cache.store("A/L0/001", 256, kept);
  ASSERT_EQ(entries().size(), 1u);
  const fs::path entry = entries().front();
  const std::string whole = vek::testing::readAll(entry);
  auto replace = [&](const std::string& bytes) { vek::testing::writeAll(entry, bytes); };

  // One flipped byte anywhere: in the header, the pixels or the checksum.
  for (size_t at : {size_t(2), size_t(30), whole.size() / 2, whole.size() - 1}) {
    std::string flipped = whole;
    flipped[at] ^= 0x20;
    replace(flipped);
    EXPECT_FALSE(cache.load("A/L0/001", 256, kept.stamp)) << "flipped byte " << at;
  }
  for (size_t length : {size_t(0), size_t(10), whole.size() - 40, whole.size() - 1}) {
    replace(whole.substr(0, length));
    EXPECT_FALSE(cache.load("A/L0/001", 256, kept.stamp)) << "cut to " << length;
  }
  replace(whole + "more");
  EXPECT_FALSE(cache.load("A/L0/001", 256, kept.stamp));
  replace(whole);
  EXPECT_TRUE(cache.load("A/L0/001", 256, kept.stamp));
}

TEST_F(RenderCacheTest, KeepsItsFilesPrivate) {
  // A folder someone else made first, open to all, is closed up.
  fs::create_directories(folder());
  chmod(folder().c_str(), 0755);
  RenderCache cache(folder().string(), 1 << 20);
  cache.store("A/L0/001", 256, render("bytes"));
  ASSERT_EQ(entries().size(), 1u);
  for (fs::path path = entries().front(); path != root_ / "cache"; path = path.parent_path()) {
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, S_ISDIR(info.st_mode) ? 0700u : 0600u) << path;
  }
}

TEST_F(RenderCacheTest, EvictsTheLeastRecentlyUsedToStayUnderItsCap) {
  constexpr uint64_t kCap = 60 << 10;
  RenderCache cache(folder().string(), kCap);
  const CachedRender kept = render(std::string(10 << 10, 'j'));
  // File times are coarse: the uses are spaced so their order is on disk.
  auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); };
  for (int i = 0; i < 5; ++i) {
    cache.store("asset" + std::to_string(i), 256, kept);
    pause();
  }
  // The oldest written is the latest used.
  ASSERT_TRUE(cache.load("asset0", 256, kept.stamp));
  pause();
  for (int i = 5; i < 9; ++i) {
    cache.store("asset" + std::to_string(i), 256, kept);
    EXPECT_LE(bytesOnDisk(), kCap) << "after entry " << i;
    pause();
  }
  // Each store past the cap took the least recently used one out.
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(bool(cache.load("asset" + std::to_string(i), 256, kept.stamp)), i == 0 || i >= 5) << i;
  }
}

TEST_F(RenderCacheTest, ClearsAwayWhatADeadWriterLeft) {
  const CachedRender kept = render("bytes");
  RenderCache(folder().string(), 1000).store("A/L0/001", 256, kept);
  const fs::path assetFolder = entries().front().parent_path();
  // A helper killed mid-write leaves its temporary file, never the entry.
  const fs::path abandoned = assetFolder / ".1024.0123456789abcdef.tmp";
  const fs::path writing = assetFolder / ".512.0123456789abcdef.tmp";
  std::ofstream(abandoned) << "half an entry";
  std::ofstream(writing) << "another helper is writing this";
  RenderCache later(folder().string(), 250);
  EXPECT_FALSE(later.load("A/L0/001", 1024, kept.stamp));
  fs::last_write_time(abandoned, fs::file_time_type::clock::now() - std::chrono::hours(2));
  // The next helper knows what the first wrote, so its own store passes
  // the cap, and the sweep clears the dead writer's file away.
  later.store("B/L0/001", 256, kept);
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(writing));
  EXPECT_FALSE(later.load("A/L0/001", 256, kept.stamp));
  EXPECT_TRUE(later.load("B/L0/001", 256, kept.stamp));
}

}  // namespace
}  // namespace vek::linux_library

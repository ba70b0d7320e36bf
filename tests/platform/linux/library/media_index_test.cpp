#include "platform/linux/library/media_index.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <vips/vips.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <tuple>

#include "platform/linux/decoders/media_libraries.hpp"
#include "platform/linux/scoped_environment.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

void writeImage(const fs::path& path, int width, int height, const std::map<std::string, std::string>& exif = {},
                int orientation = 0) {
  fs::create_directories(path.parent_path());
  VipsImage* black = nullptr;
  ASSERT_EQ(vips_black(&black, width, height, "bands", 3, nullptr), 0);
  VipsImage* image = nullptr;
  ASSERT_EQ(vips_copy(black, &image, nullptr), 0);
  g_object_unref(black);
  for (const auto& [field, value] : exif) vips_image_set_string(image, field.c_str(), value.c_str());
  if (orientation != 0) vips_image_set_int(image, "orientation", orientation);
  int written = vips_image_write_to_file(image, path.c_str(), nullptr);
  g_object_unref(image);
  ASSERT_EQ(written, 0) << vips_error_buffer();
}

void writeVideo(const fs::path& path, int width, int height, double seconds, const std::string& options = "") {
  fs::create_directories(path.parent_path());
  std::string command = "ffmpeg -v error -y -f lavfi -i testsrc=size=" + std::to_string(width) + "x" +
                        std::to_string(height) + ":rate=10 -t " + std::to_string(seconds) + " -c:v mpeg4 " + options +
                        " '" + path.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// FFmpeg's encoders drop a rotation asked for while encoding; a stream copy
// writes it into the track's display matrix.
void copyRotated(const fs::path& source, const fs::path& target, const std::string& options) {
  fs::create_directories(target.parent_path());
  std::string command = "ffmpeg -v error -y -i '" + source.string() + "' -c copy -metadata:s:v:0 rotate=90 " +
                        options + " '" + target.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

void setModificationTime(const fs::path& path, time_t seconds) {
  timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Replaces the content of the file without changing its inode.
void overwrite(const fs::path& target, const fs::path& source) {
  std::ifstream in(source, std::ios::binary);
  std::ofstream(target, std::ios::binary | std::ios::trunc) << in.rdbuf();
}

// Path relative to the test's folder, media type, width, height, and date
// and duration to the millisecond.
using Row = std::tuple<std::string, int64_t, uint64_t, uint64_t, double, double>;

double toMilliseconds(double seconds) { return std::round(seconds * 1000) / 1000; }

class MediaIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    startMediaLibraries();
    std::string pattern = (fs::temp_directory_path() / "vek-index-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = fs::canonical(pattern);
    fs::create_directories(pictures());
    fs::create_directories(videos());
    location_ = LibraryLocation{{pictures(), videos()}, folder_ / "data/vek-photokit-helper/catalog.sqlite3"};
  }

  void TearDown() override {
    for (const auto& root : {pictures(), videos()}) {
      if (fs::exists(root)) fs::permissions(root, fs::perms::owner_all, fs::perm_options::add);
    }
    fs::remove_all(folder_);
  }

  fs::path pictures() const { return folder_ / "Pictures"; }
  fs::path videos() const { return folder_ / "Videos"; }

  std::vector<Row> rows(const std::vector<IndexedAsset>& assets) const {
    std::vector<Row> rows;
    for (const IndexedAsset& indexed : assets) {
      const PhotoAsset& asset = indexed.asset;
      rows.emplace_back(fs::relative(indexed.path, folder_).string(), asset.mediaType, asset.pixelWidth,
                        asset.pixelHeight, toMilliseconds(asset.creationDate.value_or(-1)),
                        toMilliseconds(asset.duration));
    }
    return rows;
  }

  // A listing with the path of each asset, as the catalog gives it.
  static std::vector<IndexedAsset> listed(MediaIndex& index, int64_t type, bool newestFirst) {
    std::vector<std::string> identifiers;
    for (const PhotoAsset& asset : index.list(type, newestFirst)) identifiers.push_back(asset.localIdentifier);
    std::vector<IndexedAsset> assets = index.lookup(identifiers);
    EXPECT_EQ(assets.size(), identifiers.size());
    return assets;
  }

  // Identifier by path relative to the test's folder.
  std::map<std::string, std::string> identifiers(MediaIndex& index) const {
    std::map<std::string, std::string> byPath;
    for (int64_t type : {kMediaTypeImage, kMediaTypeVideo}) {
      for (const IndexedAsset& indexed : listed(index, type, true)) {
        byPath[fs::relative(indexed.path, folder_).string()] = indexed.asset.localIdentifier;
      }
    }
    return byPath;
  }

  testing::ScopedEnvironment zone_{"TZ", "EST5"};
  fs::path folder_;
  LibraryLocation location_;
};

TEST_F(MediaIndexTest, ListsDisplayedSizesDatesAndDurationsInDateOrder) {
  writeImage(pictures() / "turned.jpg", 40, 30,
             {{"exif-ifd2-DateTimeOriginal", "2019:09:26 16:38:00"},
              {"exif-ifd2-SubSecTimeOriginal", "0532"},
              {"exif-ifd2-OffsetTimeOriginal", "+03:00"}},
             6);
  writeImage(pictures() / "local.jpg", 40, 30, {{"exif-ifd0-DateTime", "2020:01:02 03:04:05"}});
  writeImage(pictures() / "plain.png", 20, 10);
  setModificationTime(pictures() / "plain.png", 1500000000);
  writeVideo(folder_ / "upright.mp4", 64, 48, 1);
  copyRotated(folder_ / "upright.mp4", pictures() / "clips/turned.mp4", "-metadata creation_time=2021-03-04T05:06:07Z");
  writeVideo(videos() / "phone.mov", 64, 48, 2,
             "-movflags use_metadata_tags -metadata com.apple.quicktime.creationdate=2019-07-24T11:25:40+0300 "
             "-metadata creation_time=2019-07-24T08:25:57Z");
  writeVideo(videos() / "undated.mp4", 32, 16, 1);
  setModificationTime(videos() / "undated.mp4", 1400000000);

  MediaIndex index(location_);
  EXPECT_EQ(rows(listed(index, kMediaTypeImage, true)), (std::vector<Row>{
                                                         {"Pictures/local.jpg", 1, 40, 30, 1577952245, 0},
                                                         {"Pictures/turned.jpg", 1, 30, 40, 1569505080.053, 0},
                                                         {"Pictures/plain.png", 1, 20, 10, 1500000000, 0},
                                                     }));
  EXPECT_EQ(rows(listed(index, kMediaTypeVideo, false)), (std::vector<Row>{
                                                          {"Videos/undated.mp4", 2, 32, 16, 1400000000, 1},
                                                          {"Videos/phone.mov", 2, 64, 48, 1563956740, 2},
                                                          {"Pictures/clips/turned.mp4", 2, 48, 64, 1614834367, 1},
                                                      }));
}

TEST_F(MediaIndexTest, LeavesOutHiddenLinkedDuplicateAndUnreadableFiles) {
  writeImage(pictures() / "visible.jpg", 8, 8);
  writeImage(pictures() / ".dotted.jpg", 8, 8);
  writeImage(pictures() / ".folder/inside.jpg", 8, 8);
  writeImage(pictures() / "listed.jpg", 8, 8);
  writeImage(pictures() / "secret/inside.jpg", 8, 8);
  std::ofstream(pictures() / ".hidden") << "listed.jpg\nsecret\n";
  writeImage(folder_ / "outside/linked.jpg", 8, 8);
  fs::create_symlink(folder_ / "outside/linked.jpg", pictures() / "link.jpg");
  fs::create_symlink(folder_ / "outside", pictures() / "linked-folder");
  fs::create_symlink(pictures(), pictures() / "loop");
  writeImage(pictures() / "b/twice.jpg", 8, 8);
  fs::create_directories(pictures() / "a");
  fs::create_hard_link(pictures() / "b/twice.jpg", pictures() / "a/twice.jpg");
  ASSERT_EQ(mkfifo((pictures() / "pipe.jpg").c_str(), 0600), 0);
  fs::path deep = pictures();
  for (int level = 0; level < 25; ++level) deep /= "level" + std::to_string(level);
  writeImage(deep / "deep.jpg", 8, 8);

  MediaIndex index(location_);
  std::vector<std::string> paths;
  for (const IndexedAsset& asset : listed(index, kMediaTypeImage, true)) paths.push_back(asset.path);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{pictures() / "a/twice.jpg", deep / "deep.jpg", pictures() / "visible.jpg"}));
}

TEST_F(MediaIndexTest, IdentifiersFollowFilesAcrossRunsEditsAndRenames) {
  writeImage(pictures() / "edited.jpg", 8, 8);
  writeImage(pictures() / "moved.jpg", 8, 8);
  writeImage(pictures() / "replaced.jpg", 8, 8);
  writeImage(folder_ / "bigger.jpg", 16, 12);
  std::map<std::string, std::string> first = identifiers(*std::make_unique<MediaIndex>(location_));
  ASSERT_EQ(first.size(), 3u);
  const std::regex randomUuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}/L0/001");
  for (const auto& [path, identifier] : first) EXPECT_TRUE(std::regex_match(identifier, randomUuid)) << identifier;
  EXPECT_NE(first["Pictures/edited.jpg"], first["Pictures/moved.jpg"]);

  MediaIndex index(location_);
  EXPECT_EQ(identifiers(index), first);

  overwrite(pictures() / "edited.jpg", folder_ / "bigger.jpg");
  fs::create_directories(pictures() / "sub");
  fs::rename(pictures() / "moved.jpg", pictures() / "sub/moved.jpg");
  fs::rename(folder_ / "bigger.jpg", pictures() / "replaced.jpg");
  std::map<std::string, std::string> after = identifiers(index);
  EXPECT_EQ(after["Pictures/edited.jpg"], first["Pictures/edited.jpg"]);
  EXPECT_EQ(after["Pictures/sub/moved.jpg"], first["Pictures/moved.jpg"]);
  EXPECT_NE(after["Pictures/replaced.jpg"], first["Pictures/replaced.jpg"]);
  EXPECT_EQ(after.size(), 3u);
  EXPECT_EQ(index.lookup({first["Pictures/edited.jpg"]}).at(0).asset.pixelWidth, 16u);

  fs::remove(pictures() / "edited.jpg");
  EXPECT_EQ(identifiers(index).count("Pictures/edited.jpg"), 0u);
}

TEST_F(MediaIndexTest, LookupGivesEachLiveFileOnceInTheOrderFirstNamed) {
  writeImage(pictures() / "a.jpg", 8, 8);
  writeImage(pictures() / "b.jpg", 8, 8);
  writeImage(pictures() / "c.jpg", 8, 8);
  writeImage(folder_ / "other.jpg", 8, 8);
  MediaIndex index(location_);
  std::map<std::string, IndexedAsset> byName;
  for (IndexedAsset& asset : listed(index, kMediaTypeImage, true)) byName[fs::path(asset.path).filename()] = asset;
  const std::string a = byName["a.jpg"].asset.localIdentifier;
  const std::string b = byName["b.jpg"].asset.localIdentifier;
  const std::string c = byName["c.jpg"].asset.localIdentifier;

  EXPECT_EQ(index.lookup({c, a, "00000000-0000-4000-8000-000000000000/L0/001", c, b}),
            (std::vector<IndexedAsset>{byName["c.jpg"], byName["a.jpg"], byName["b.jpg"]}));

  // Without a new listing, the catalog still names b.jpg's path, but another
  // file now lives there.
  fs::rename(folder_ / "other.jpg", pictures() / "b.jpg");
  fs::remove(pictures() / "a.jpg");
  EXPECT_EQ(index.lookup({a, b, c}), (std::vector<IndexedAsset>{byName["c.jpg"]}));

  index.forget({c});
  EXPECT_EQ(index.lookup({c}), std::vector<IndexedAsset>{});
}

TEST_F(MediaIndexTest, FileThatFailedToProbeIsListedOnceItChanges) {
  std::ofstream(pictures() / "late.jpg") << "still downloading";
  MediaIndex index(location_);
  EXPECT_TRUE(index.list(kMediaTypeImage, true).empty());
  writeImage(folder_ / "done.jpg", 8, 8);
  overwrite(pictures() / "late.jpg", folder_ / "done.jpg");
  EXPECT_EQ(index.list(kMediaTypeImage, true).size(), 1u);
}

TEST_F(MediaIndexTest, DamagedOrForeignCatalogIsSetAsideAndRebuilt) {
  const fs::path catalog = location_.catalogPath;
  for (int i = 0; i < 40; ++i) writeImage(pictures() / ("photo-with-a-long-name-" + std::to_string(i) + ".jpg"), 8, 8);
  const std::map<std::string, std::string> before = identifiers(*std::make_unique<MediaIndex>(location_));
  const std::function<void()> damages[] = {
      // Pages after the first: found only when the catalog is read.
      [&] {
        std::fstream file(catalog, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096);
        for (int i = 0; i < 8192; ++i) file.put(static_cast<char>(0xA5));
      },
      [&] { std::ofstream(catalog, std::ios::trunc) << std::string(8192, 'x'); },
      [&] {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(catalog.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
      },
  };
  for (size_t damage = 0; damage < std::size(damages); ++damage) {
    SCOPED_TRACE(damage);
    damages[damage]();
    const std::map<std::string, std::string> rebuilt = identifiers(*std::make_unique<MediaIndex>(location_));
    EXPECT_EQ(rebuilt.size(), 40u);
    if (damage == 0) {
      EXPECT_NE(rebuilt, before);
    }
    size_t setAside = 0;
    for (const auto& entry : fs::directory_iterator(catalog.parent_path())) {
      setAside += entry.path().filename().string().starts_with("catalog.sqlite3.broken-");
    }
    EXPECT_EQ(setAside, damage + 1);
  }
}

// The status the index reports to a process without special privileges:
// a root process may read and write anything, so as root the question is
// asked in a child that gives its privileges up.
int64_t statusWithoutPrivileges(const MediaIndex& index) {
  if (geteuid() != 0) return index.authorizationStatus();
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(static_cast<int>(index.authorizationStatus()));
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MediaIndexTest, AuthorizationFollowsTheRootsPermissions) {
  fs::permissions(folder_, fs::perms::all);
  MediaIndex index(location_);
  for (const auto& root : {pictures(), videos()}) fs::permissions(root, fs::perms::all);
  EXPECT_EQ(statusWithoutPrivileges(index), kAuthorizationStatusAuthorized);

  fs::permissions(pictures(), fs::perms(0555));
  EXPECT_EQ(statusWithoutPrivileges(index), kAuthorizationStatusLimited);

  fs::permissions(videos(), fs::perms::none);
  EXPECT_EQ(statusWithoutPrivileges(index), kAuthorizationStatusDenied);

  fs::remove(videos());
  fs::remove(pictures());
  EXPECT_EQ(statusWithoutPrivileges(index), kAuthorizationStatusAuthorized);
}

}  // namespace
}  // namespace vek::linux_library

#include "platform/linux/trash/trash.hpp"

#include "platform/linux/helper_home.hpp"
#include "platform/linux/scoped_environment.hpp"

#include <glib.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>

#include <chrono>
#include <ctime>
#include <iterator>
#include <random>
#include <regex>
#include <set>

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;
using testing::namesIn;
using testing::readAll;
using testing::ScopedEnvironment;

// Files hold their own original path, so a file found in the trash shows
// where it came from independently of its info file.
void makeFile(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << path;
}

struct TrashInfo {
  std::string path;  // decoded
  std::string rawPath;
  std::string deletionDate;
};

TrashInfo readInfo(const fs::path& trash, const std::string& name) {
  static const std::regex kInfo("\\[Trash Info\\]\nPath=([^\n]*)\nDeletionDate=([^\n]*)\n");
  std::string text = readAll(trash / "info" / (name + ".trashinfo"));
  std::smatch parts;
  if (!std::regex_match(text, parts, kInfo)) {
    ADD_FAILURE() << "malformed info for " << name << ": " << text;
    return {};
  }
  std::unique_ptr<char, decltype(&g_free)> decoded(g_uri_unescape_string(parts[1].str().c_str(), nullptr), &g_free);
  return {decoded ? decoded.get() : "", parts[1], parts[2]};
}

// Every file in the trash has its info, whose location is where the file
// came from (as relative locations are taken below base). Returns those
// original paths.
std::set<std::string> checkTrash(const fs::path& trash, const std::string& base = "") {
  std::set<std::string> origins;
  for (const std::string& name : namesIn(trash / "files")) {
    std::string origin = base + readInfo(trash, name).path;
    if (!fs::is_symlink(trash / "files" / name)) {
      EXPECT_EQ(readAll(trash / "files" / name), origin) << name;
    }
    EXPECT_TRUE(origins.insert(origin).second) << origin << " is in the trash twice";
  }
  return origins;
}

fs::perms permissionsOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

// The files to move as they are now (a missing one as nothing).
std::vector<TrashItem> asTheyAre(const std::vector<std::string>& paths) {
  std::vector<TrashItem> items;
  for (const std::string& path : paths) {
    struct stat info {};
    items.push_back({path, lstat(path.c_str(), &info) == 0 ? stampOf(info) : FileStamp{}});
  }
  return items;
}

class TrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vek-trash-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    settings_ = {root_ + "/data/Trash", getuid()};
  }
  void TearDown() override {
    for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount) umount2(mount->c_str(), MNT_DETACH);
    fs::remove_all(root_);
  }

  // A fresh tmpfs at path, in a mount namespace of this process's own so
  // that nothing outlives the test. False when the machine does not allow it.
  bool mountScratchFileSystem(const std::string& path) {
    static const bool isolated =
        unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    fs::create_directories(path);
    if (!isolated || mount("tmpfs", path.c_str(), "tmpfs", 0, "mode=0755") != 0) return false;
    mounts_.push_back(path);
    return true;
  }

  fs::path homeTrash() const { return settings_.homeTrash; }
  bool homeTrashIsEmpty() const {
    return namesIn(homeTrash() / "files").empty() && namesIn(homeTrash() / "info").empty();
  }

  std::string root_;
  TrashSettings settings_;
  std::vector<std::string> mounts_;
};

TEST_F(TrashTest, MovesFilesOnceIntoTheHomeTrashWithTheirInfo) {
  // An offset no machine runs in, so that a date written in UTC shows.
  ScopedEnvironment zone("TZ", "<+0545>-05:45");
  std::vector<std::string> paths = {root_ + "/Pictures/a.jpg", root_ + "/Videos/trip/b.mov", root_ + "/Pictures/link"};
  makeFile(paths[0]);
  makeFile(paths[1]);
  fs::create_symlink("a.jpg", paths[2]);
  std::time_t before = std::time(nullptr);

  EXPECT_EQ(moveToTrash(asTheyAre({paths[0], paths[1], paths[2], paths[0]}), settings_), std::nullopt);

  std::time_t after = std::time(nullptr);
  EXPECT_EQ(namesIn(homeTrash() / "files"), (std::set<std::string>{"a.jpg", "b.mov", "link"}));
  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>(paths.begin(), paths.end()));
  EXPECT_EQ(fs::read_symlink(homeTrash() / "files/link"), "a.jpg");
  for (const std::string& path : paths) EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
  for (std::string folder : {"", "/files", "/info"})
    EXPECT_EQ(permissionsOf(homeTrash().string() + folder), fs::perms::owner_all);
  EXPECT_EQ(permissionsOf(homeTrash() / "info/a.jpg.trashinfo"), fs::perms::owner_read | fs::perms::owner_write);

  auto localDate = [](std::time_t when) {
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", std::localtime(&when)));
  };
  std::string date = readInfo(homeTrash(), "b.mov").deletionDate;
  EXPECT_TRUE(date.size() == 19 && localDate(before) <= date && date <= localDate(after)) << date;

  // A name taken in files, or reserved by an info file alone, is not reused.
  makeFile((homeTrash() / "info/a.2.jpg.trashinfo").string());
  makeFile(paths[0]);
  makeFile(paths[2]);
  EXPECT_EQ(moveToTrash(asTheyAre({paths[0], paths[2]}), settings_), std::nullopt);
  EXPECT_EQ(namesIn(homeTrash() / "files"), (std::set<std::string>{"a.jpg", "a.3.jpg", "b.mov", "link", "link.2"}));
  EXPECT_EQ(readInfo(homeTrash(), "link.2").path, paths[2]);
}

TEST_F(TrashTest, OddNamesComeBackFromTheirInfo) {
  std::vector<std::string> paths;
  for (const std::string& name : {std::string("a b%\xe9\xc3\xbc.jpg"), std::string("line\nbreak.jpg"),
                                  std::string("#?&=+;~.jpg"), std::string("latin1-\xe9t\xe9"),
                                  std::string(250, 'x') + ".jpg"}) {
    makeFile(paths.emplace_back(root_ + "/odd dir/" + name));
  }

  EXPECT_EQ(moveToTrash(asTheyAre(paths), settings_), std::nullopt);

  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>(paths.begin(), paths.end()));
  EXPECT_EQ(readInfo(homeTrash(), "a b%\xe9\xc3\xbc.jpg").rawPath, root_ + "/odd%20dir/a%20b%25%E9%C3%BC.jpg");
}

TEST_F(TrashTest, OneFileThatCannotMoveKeepsAllInPlaceEvenHalfWay) {
  std::string first = root_ + "/p/first.jpg";
  std::string last = root_ + "/p/last.jpg";
  makeFile(first);
  makeFile(last);
  mkfifo((root_ + "/p/fifo").c_str(), 0600);
  fs::create_directories(root_ + "/p/folder");
  fs::create_symlink(root_ + "/p", root_ + "/alias");
  const std::pair<std::string, std::string> cases[] = {
      {root_ + "/p/missing.jpg", "does not exist"},
      {root_ + "/alias/last.jpg", "reached through a symbolic link"},
      {root_ + "/p/folder", "is a folder"},
      {root_ + "/p/fifo", "not a regular file"},
      {"p/first.jpg", "not an absolute path"},
      {root_ + "/p/../p/first.jpg", "not an absolute path"},
      {root_ + "/p/first.jpg/", "not an absolute path"},
      {root_ + std::string("/p/first.jpg\0.png", 17), "not an absolute path"}};
  for (const auto& [path, why] : cases) {
    SCOPED_TRACE(path);
    std::optional<TrashFailure> failure = moveToTrash(asTheyAre({first, path, last}), settings_);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->reason.find(why), std::string::npos) << failure->reason;
    EXPECT_EQ(readAll(first), first);
    EXPECT_EQ(readAll(last), last);
    EXPECT_TRUE(homeTrashIsEmpty());
  }

  makeFile(root_ + "/blocker");
  std::optional<TrashFailure> failure = moveToTrash(asTheyAre({first}), {root_ + "/blocker/Trash", getuid()});
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->reason.find("no usable trash"), std::string::npos) << failure->reason;
  EXPECT_EQ(readAll(first), first);
}

TEST_F(TrashTest, FilesOnAnotherFileSystemGoToItsOwnTrashOrNowhere) {
  std::string disk = root_ + "/disk";
  if (!mountScratchFileSystem(disk)) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string user = std::to_string(getuid());
  std::string userTrash = disk + "/.Trash-" + user;
  std::vector<std::string> paths = {root_ + "/p/a.jpg", disk + "/album/b.jpg"};
  for (const std::string& path : paths) makeFile(path);

  makeFile(userTrash);
  std::optional<TrashFailure> failure = moveToTrash(asTheyAre(paths), settings_);
  ASSERT_TRUE(failure.has_value());
  EXPECT_NE(failure->reason.find(paths[1] + "\" to the trash: there is no usable trash"), std::string::npos)
      << failure->reason;
  fs::remove(userTrash);
  if (getuid() == 0) {
    fs::create_directories(userTrash);
    ASSERT_EQ(chown(userTrash.c_str(), 4242, 4242), 0);
    failure = moveToTrash(asTheyAre(paths), settings_);
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->reason.find("belongs to another user"), std::string::npos) << failure->reason;
    fs::remove(userTrash);
  }
  EXPECT_EQ(readAll(paths[0]) + readAll(paths[1]), paths[0] + paths[1]);
  EXPECT_TRUE(homeTrashIsEmpty());

  EXPECT_EQ(moveToTrash(asTheyAre(paths), settings_), std::nullopt);
  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>{paths[0]});
  EXPECT_EQ(checkTrash(userTrash, disk + "/"), std::set<std::string>{paths[1]});
  EXPECT_EQ(permissionsOf(userTrash), fs::perms::owner_all);

  // Only a real folder with the sticky bit is taken as the shared .Trash.
  fs::create_directories(root_ + "/sticky");
  fs::permissions(root_ + "/sticky", fs::perms::all | fs::perms::sticky_bit);
  fs::create_symlink(root_ + "/sticky", disk + "/.Trash");
  makeFile(disk + "/c.jpg");
  EXPECT_EQ(moveToTrash(asTheyAre({disk + "/c.jpg"}), settings_), std::nullopt);
  EXPECT_EQ(namesIn(userTrash + "/files"), (std::set<std::string>{"b.jpg", "c.jpg"}));
  fs::remove(disk + "/.Trash");
  fs::create_directories(disk + "/.Trash");
  fs::permissions(disk + "/.Trash", fs::perms::all | fs::perms::sticky_bit);
  makeFile(disk + "/d.jpg");
  EXPECT_EQ(moveToTrash(asTheyAre({disk + "/d.jpg"}), settings_), std::nullopt);
  EXPECT_EQ(checkTrash(disk + "/.Trash/" + user, disk + "/"), std::set<std::string>{disk + "/d.jpg"});
  EXPECT_EQ(permissionsOf(disk + "/.Trash/" + user), fs::perms::owner_all);
}

TEST_F(TrashTest, KillingTheMoveAtAnyMomentLosesNothing) {
  constexpr int kFiles = 200;
  constexpr int kKills = 30;
  using Clock = std::chrono::steady_clock;
  using std::chrono::microseconds;
  std::mt19937 random(20240601);
  microseconds wholeMove{};
  microseconds renames{};
  // Removing thousands of files from a busy disk takes longer than the test.
  std::string scratch = root_ + "/scratch";
  mountScratchFileSystem(scratch);
  for (int round = 0; round <= kKills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string base = scratch + "/round" + std::to_string(round);
    TrashSettings settings{base + "/Trash", getuid()};
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; ++i) {
      makeFile(paths.emplace_back(base + "/p" + std::to_string(i % 7) + "/IMG_" + std::to_string(i / 7) + ".jpg"));
    }
    fs::create_directories(settings.homeTrash + "/files");
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, (settings.homeTrash + "/files").c_str(), IN_MOVED_TO), 0);
    pollfd firstRename{watch, POLLIN, 0};

    const std::vector<TrashItem> items = asTheyAre(paths);
    Clock::time_point start = Clock::now();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(moveToTrash(items, settings) ? 1 : 0);
    // Writing the info files takes most of the time, so a delay counted from
    // the start rarely ends among the renames; odd rounds count from the
    // first file that reaches the trash instead.
    Clock::time_point renaming;
    if (round == 0) {
      ASSERT_EQ(poll(&firstRename, 1, 10000), 1);
      renaming = Clock::now();
    } else {
      if (round % 2 == 1) poll(&firstRename, 1, 10000);
      microseconds range = round % 2 == 1 ? renames : wholeMove;
      usleep(static_cast<useconds_t>(std::uniform_int_distribution<long>(0, range.count())(random)));
      kill(child, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (round == 0) {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      wholeMove = std::chrono::duration_cast<microseconds>(Clock::now() - start);
      renames = std::chrono::duration_cast<microseconds>(Clock::now() - renaming);
    }
    close(watch);

    std::set<std::string> trashed = checkTrash(settings.homeTrash);
    std::vector<std::string> left;
    for (const std::string& path : paths) {
      bool inPlace = fs::exists(path);
      EXPECT_NE(inPlace, trashed.count(path) == 1) << path;
      if (inPlace) left.push_back(path);
    }
    // What a killed move leaves behind does not stand in the way of the next.
    EXPECT_EQ(moveToTrash(asTheyAre(left), settings), std::nullopt);
    EXPECT_EQ(checkTrash(settings.homeTrash), std::set<std::string>(paths.begin(), paths.end()));
  }
}

}  // namespace
}  // namespace vek::linux_library

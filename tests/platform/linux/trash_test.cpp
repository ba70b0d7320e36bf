#include "platform/linux/trash.hpp"

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

// Files hold their own original path, so a file found in the trash shows
// where it came from independently of its info file.
void makeFile(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << path;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  if (fs::exists(folder)) {
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  }
  return names;
}

struct TrashInfo {
  std::string path;  // decoded
  std::string rawPath;
  std::string deletionDate;
};

TrashInfo readInfo(const fs::path& trash, const std::string& name) {
  std::string text = readFile(trash / "info" / (name + ".trashinfo"));
  std::istringstream lines(text);
  std::string header, path, date;
  std::getline(lines, header);
  std::getline(lines, path);
  std::getline(lines, date);
  if (header != "[Trash Info]" || !path.starts_with("Path=") || !date.starts_with("DeletionDate=") ||
      !text.ends_with('\n') || lines.peek() != EOF) {
    ADD_FAILURE() << "malformed info for " << name << ": " << text;
    return {};
  }
  path.erase(0, 5);
  std::unique_ptr<char, decltype(&g_free)> decoded(g_uri_unescape_string(path.c_str(), nullptr), &g_free);
  return {decoded ? decoded.get() : "", path, date.substr(13)};
}

// Every file in the trash has its info, whose location is where the file
// came from (as relative locations are taken below base). Returns those
// original paths.
std::set<std::string> checkTrash(const fs::path& trash, const std::string& base = "") {
  std::set<std::string> origins;
  for (const std::string& name : namesIn(trash / "files")) {
    std::string origin = base + readInfo(trash, name).path;
    if (!fs::is_symlink(trash / "files" / name)) {
      EXPECT_EQ(readFile(trash / "files" / name), origin) << name;
    }
    EXPECT_TRUE(origins.insert(origin).second) << origin << " is in the trash twice";
  }
  return origins;
}

fs::perms permissionsOf(const fs::path& path) { return fs::symlink_status(path).permissions(); }

// Sets an environment variable (or unsets it, for nullptr) until the end of
// the scope; the time zone follows TZ.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnvironment() { set(old_ ? old_->c_str() : nullptr); }

 private:
  void set(const char* value) {
    value ? setenv(name_, value, 1) : unsetenv(name_);
    tzset();
  }
  const char* name_;
  std::optional<std::string> old_;
};

bool setInodeFlags(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  bool done = fd >= 0 && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) close(fd);
  return done;
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
    for (const std::string& path : immutable_) setInodeFlags(path, 0);
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

  bool makeImmutable(const std::string& path) {
    if (!setInodeFlags(path, FS_IMMUTABLE_FL)) return false;
    immutable_.push_back(path);
    return true;
  }

  fs::path homeTrash() const { return settings_.homeTrash; }

  std::string root_;
  TrashSettings settings_;
  std::vector<std::string> mounts_;
  std::vector<std::string> immutable_;
};

TEST_F(TrashTest, MovesFilesIntoTheHomeTrashWithTheirInfo) {
  // An offset no machine runs in, so that a date written in UTC shows.
  ScopedEnvironment zone("TZ", "<+0545>-05:45");
  std::vector<std::string> paths = {root_ + "/Pictures/a.jpg", root_ + "/Videos/trip/b.mov", root_ + "/Pictures/link"};
  makeFile(paths[0]);
  makeFile(paths[1]);
  fs::create_symlink("a.jpg", paths[2]);
  std::time_t before = std::time(nullptr);

  EXPECT_EQ(moveToTrash(paths, settings_), std::nullopt);

  std::time_t after = std::time(nullptr);
  EXPECT_EQ(namesIn(homeTrash() / "files"), (std::set<std::string>{"a.jpg", "b.mov", "link"}));
  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>(paths.begin(), paths.end()));
  EXPECT_EQ(fs::read_symlink(homeTrash() / "files/link"), "a.jpg");
  for (const std::string& path : paths) EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
  for (std::string folder : {"", "/files", "/info"})
    EXPECT_EQ(permissionsOf(homeTrash().string() + folder), fs::perms::owner_all);
  EXPECT_EQ(permissionsOf(homeTrash() / "info/a.jpg.trashinfo"), fs::perms::owner_read | fs::perms::owner_write);

  std::string date = readInfo(homeTrash(), "b.mov").deletionDate;
  std::tm local{};
  const char* end = strptime(date.c_str(), "%Y-%m-%dT%H:%M:%S", &local);
  ASSERT_TRUE(date.size() == 19 && end != nullptr && *end == '\0') << date;
  local.tm_isdst = -1;
  EXPECT_GE(std::mktime(&local), before);
  EXPECT_LE(std::mktime(&local), after);
}

TEST_F(TrashTest, CollidingNamesGetFreshNames) {
  makeFile((homeTrash() / "files/a.jpg").string());
  makeFile((homeTrash() / "info/b.jpg.trashinfo").string());
  std::vector<std::string> paths;
  for (std::string folder : {"/x/", "/y/"}) {
    for (std::string name : {"a.jpg", "b.jpg", ".hidden", "README"}) {
      paths.push_back(root_ + folder + name);
      makeFile(paths.back());
    }
  }

  EXPECT_EQ(moveToTrash(paths, settings_), std::nullopt);

  EXPECT_EQ(namesIn(homeTrash() / "files"), (std::set<std::string>{"a.jpg", "a.2.jpg", "a.3.jpg", "b.2.jpg", "b.3.jpg",
                                                                   ".hidden", ".hidden.2", "README", "README.2"}));
  fs::remove(homeTrash() / "files/a.jpg");
  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>(paths.begin(), paths.end()));
}

TEST_F(TrashTest, OddNamesComeBackFromTheirInfo) {
  std::vector<std::string> paths;
  for (std::string name : {"a b%\xe9\xc3\xbc.jpg", "line\nbreak.jpg", "#?&=+;~.jpg", "latin1-\xe9t\xe9"}) {
    paths.push_back(root_ + "/odd dir/" + name);
  }
  paths.push_back(root_ + "/odd dir/" + std::string(250, 'x') + ".jpg");
  for (const std::string& path : paths) makeFile(path);

  EXPECT_EQ(moveToTrash(paths, settings_), std::nullopt);

  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>(paths.begin(), paths.end()));
  EXPECT_EQ(readInfo(homeTrash(), "a b%\xe9\xc3\xbc.jpg").rawPath, root_ + "/odd%20dir/a%20b%25%E9%C3%BC.jpg");
}

TEST_F(TrashTest, OneFileThatCannotMoveKeepsAllInPlace) {
  std::string first = root_ + "/p/first.jpg";
  std::string last = root_ + "/p/last.jpg";
  makeFile(first);
  makeFile(last);
  makeFile(root_ + "/locked/inside.jpg");
  makeFile(root_ + "/p/immutable.jpg");
  mkfifo((root_ + "/p/fifo").c_str(), 0600);
  fs::create_directories(root_ + "/p/folder");
  struct Case {
    std::string path;
    std::string why;
  };
  std::vector<Case> cases = {{root_ + "/p/missing.jpg", "does not exist"},
                             {root_ + "/p/folder", "is a folder"},
                             {root_ + "/p/fifo", "not a regular file"},
                             {"p/first.jpg", "not an absolute path"},
                             {root_ + "/p/../p/first.jpg", "not an absolute path"},
                             {root_ + "/p/first.jpg/", "not an absolute path"},
                             {root_ + std::string("/p/first.jpg\0.png", 17), "not an absolute path"}};
  if (geteuid() != 0) {
    makeFile(root_ + "/readonly/inside.jpg");
    fs::permissions(root_ + "/readonly", fs::perms::owner_read | fs::perms::owner_exec);
    cases.push_back({root_ + "/readonly/inside.jpg", "folder is not writable"});
  }
  if (makeImmutable(root_ + "/p/immutable.jpg") && makeImmutable(root_ + "/locked")) {
    cases.push_back({root_ + "/p/immutable.jpg", "immutable"});
    cases.push_back({root_ + "/locked/inside.jpg", "folder is immutable"});
  } else {
    std::cout << "[ SKIPPED  ] immutable cases: the flag needs root and a file system that has it\n";
  }
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.path);
    std::optional<std::string> reason = moveToTrash({first, bad.path, last}, settings_);
    ASSERT_TRUE(reason.has_value());
    EXPECT_NE(reason->find(bad.why), std::string::npos) << *reason;
    EXPECT_EQ(readFile(first), first);
    EXPECT_EQ(readFile(last), last);
    EXPECT_EQ(namesIn(homeTrash() / "files").size() + namesIn(homeTrash() / "info").size(), 0u);
  }

  if (geteuid() != 0) fs::permissions(root_ + "/readonly", fs::perms::owner_all);

  makeFile(root_ + "/blocker");
  std::optional<std::string> reason = moveToTrash({first}, {root_ + "/blocker/Trash", getuid()});
  ASSERT_TRUE(reason.has_value());
  EXPECT_NE(reason->find("no usable trash"), std::string::npos) << *reason;
  EXPECT_EQ(readFile(first), first);
}

TEST_F(TrashTest, FailureHalfWayPutsMovedFilesBack) {
  // The link passes its check and moves, so the path through it no longer
  // leads to the last file when that one's turn comes.
  std::vector<std::string> paths = {root_ + "/p/a.jpg", root_ + "/p/b.jpg", root_ + "/p/link", root_ + "/p/link/c.jpg"};
  makeFile(paths[0]);
  makeFile(paths[1]);
  makeFile(root_ + "/q/c.jpg");
  fs::create_symlink(root_ + "/q", paths[2]);

  std::optional<std::string> reason = moveToTrash(paths, settings_);

  ASSERT_TRUE(reason.has_value());
  EXPECT_NE(reason->find(paths[3]), std::string::npos) << *reason;
  EXPECT_EQ(reason->find("stay in the trash"), std::string::npos) << *reason;
  EXPECT_EQ(readFile(paths[0]), paths[0]);
  EXPECT_EQ(readFile(paths[1]), paths[1]);
  EXPECT_TRUE(fs::is_symlink(paths[2]));
  EXPECT_EQ(readFile(paths[3]), root_ + "/q/c.jpg");
  EXPECT_EQ(namesIn(homeTrash() / "files").size() + namesIn(homeTrash() / "info").size(), 0u);
}

TEST_F(TrashTest, SameFileNamedTwiceMovesOnceAndEmptyListDoesNothing) {
  EXPECT_EQ(moveToTrash({}, settings_), std::nullopt);
  EXPECT_FALSE(fs::exists(homeTrash()));

  std::string photo = root_ + "/p/a.jpg";
  makeFile(photo);
  fs::create_symlink(root_ + "/p", root_ + "/alias");
  EXPECT_EQ(moveToTrash({photo, photo, root_ + "/alias/a.jpg"}, settings_), std::nullopt);
  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>{photo});
}

TEST_F(TrashTest, FilesOnAnotherFileSystemGoToItsOwnTrashOrNowhere) {
  std::string disk = root_ + "/disk";
  if (!mountScratchFileSystem(disk)) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::string user = std::to_string(getuid());
  std::string userTrash = disk + "/.Trash-" + user;
  std::vector<std::string> paths = {root_ + "/p/a.jpg", disk + "/album/b.jpg"};
  for (const std::string& path : paths) makeFile(path);

  makeFile(userTrash);
  std::optional<std::string> reason = moveToTrash(paths, settings_);
  ASSERT_TRUE(reason.has_value());
  EXPECT_NE(reason->find(paths[1] + "\" to the trash: there is no usable trash"), std::string::npos) << *reason;
  fs::remove(userTrash);
  if (getuid() == 0) {
    fs::create_directories(userTrash);
    ASSERT_EQ(chown(userTrash.c_str(), 4242, 4242), 0);
    reason = moveToTrash(paths, settings_);
    ASSERT_TRUE(reason.has_value());
    EXPECT_NE(reason->find("belongs to another user"), std::string::npos) << *reason;
    fs::remove(userTrash);
  }
  EXPECT_EQ(readFile(paths[0]) + readFile(paths[1]), paths[0] + paths[1]);
  EXPECT_TRUE(namesIn(homeTrash() / "files").empty());

  EXPECT_EQ(moveToTrash(paths, settings_), std::nullopt);
  EXPECT_EQ(checkTrash(homeTrash()), std::set<std::string>{paths[0]});
  EXPECT_EQ(checkTrash(userTrash, disk + "/"), std::set<std::string>{paths[1]});
  EXPECT_EQ(permissionsOf(userTrash), fs::perms::owner_all);

  // Only a real folder with the sticky bit is taken as the shared .Trash.
  fs::create_directories(root_ + "/sticky");
  fs::permissions(root_ + "/sticky", fs::perms::all | fs::perms::sticky_bit);
  fs::create_symlink(root_ + "/sticky", disk + "/.Trash");
  makeFile(disk + "/c.jpg");
  EXPECT_EQ(moveToTrash({disk + "/c.jpg"}, settings_), std::nullopt);
  EXPECT_EQ(namesIn(userTrash + "/files"), (std::set<std::string>{"b.jpg", "c.jpg"}));
  fs::remove(disk + "/.Trash");
  fs::create_directories(disk + "/.Trash");
  fs::permissions(disk + "/.Trash", fs::perms::all | fs::perms::sticky_bit);
  makeFile(disk + "/d.jpg");
  EXPECT_EQ(moveToTrash({disk + "/d.jpg"}, settings_), std::nullopt);
  EXPECT_EQ(checkTrash(disk + "/.Trash/" + user, disk + "/"), std::set<std::string>{disk + "/d.jpg"});
  EXPECT_EQ(permissionsOf(disk + "/.Trash/" + user), fs::perms::owner_all);
}

TEST_F(TrashTest, KillingTheMoveAtAnyMomentLosesNothing) {
  constexpr int kFiles = 200;
  constexpr int kKills = 30;
  using Clock = std::chrono::steady_clock;
  auto microseconds = [](Clock::duration span) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(span).count());
  };
  std::mt19937 random(20240601);
  int wholeMove = 0;
  int renames = 0;
  // Removing thousands of files from a busy disk takes longer than the test.
  std::string scratch = root_ + "/scratch";
  mountScratchFileSystem(scratch);
  for (int round = 0; round <= kKills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string base = scratch + "/round" + std::to_string(round);
    TrashSettings settings{base + "/Trash", getuid()};
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; ++i) {
      paths.push_back(base + "/p" + std::to_string(i % 7) + "/IMG_" + std::to_string(i / 7) + ".jpg");
      makeFile(paths.back());
    }
    fs::create_directories(settings.homeTrash + "/files");
    int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, (settings.homeTrash + "/files").c_str(), IN_MOVED_TO), 0);
    pollfd firstRename{watch, POLLIN, 0};

    Clock::time_point start = Clock::now();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(moveToTrash(paths, settings) ? 1 : 0);
    // Writing the info files takes most of the time, so a delay counted from
    // the start rarely ends among the renames; odd rounds count from the
    // first file that reaches the trash instead.
    Clock::time_point renaming;
    if (round == 0) {
      ASSERT_EQ(poll(&firstRename, 1, 10000), 1);
      renaming = Clock::now();
    } else {
      if (round % 2 == 1) poll(&firstRename, 1, 10000);
      int range = round % 2 == 1 ? renames : wholeMove;
      usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, range)(random)));
      kill(child, SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (round == 0) {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      wholeMove = microseconds(Clock::now() - start);
      renames = microseconds(Clock::now() - renaming);
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
    EXPECT_EQ(moveToTrash(left, settings), std::nullopt);
    EXPECT_EQ(checkTrash(settings.homeTrash), std::set<std::string>(paths.begin(), paths.end()));
  }
}

TEST(TrashSettingsTest, HomeTrashFollowsDataHomeThenHome) {
  ScopedEnvironment home("HOME", "/home/someone");
  {
    ScopedEnvironment dataHome("XDG_DATA_HOME", "/data/home/");
    EXPECT_EQ(trashSettingsFromEnvironment().homeTrash, "/data/home/Trash");
  }
  {
    ScopedEnvironment dataHome("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(trashSettingsFromEnvironment().homeTrash, "/home/someone/.local/share/Trash");
  }
  ScopedEnvironment dataHome("XDG_DATA_HOME", nullptr);
  EXPECT_EQ(trashSettingsFromEnvironment().homeTrash, "/home/someone/.local/share/Trash");
  EXPECT_EQ(trashSettingsFromEnvironment().uid, getuid());
}

}  // namespace
}  // namespace vek::linux_library

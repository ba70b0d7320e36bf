// Drives and folders that come and go, folders kept by other systems, edits
// with their times put back, and catalogs of the first schema. Drives are
// images mounted through loop devices (FUSE for FAT where the kernel has no
// vfat); without root or the kernel's file system a test says why and skips,
// and under CI=true a mount that fails although both are there fails it.

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

#include "platform/linux/library/fake_prober.hpp"
#include "platform/linux/scoped_environment.hpp"
#include "support/samples.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;
using ::vek::testing::makeImage;
using ::vek::testing::quoted;
using ::vek::testing::run;
using ::vek::testing::setMtime;
using ::vek::testing::sql;
using Listing = std::map<std::string, std::string>;  // identifier by path below the test's folder

bool succeeds(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

FileStamp stampAt(const fs::path& path) { return stampOfFile(path).value_or(FileStamp{}); }

// Why the machine cannot mount a `type` image, or "".
std::string cannotMount(const std::string& type, const std::string& mkfs) {
  if (geteuid() != 0) return "mounting needs root";
  std::ifstream known("/proc/filesystems");
  std::string line;
  bool kernelHasIt = false;
  while (std::getline(known, line)) kernelHasIt = kernelHasIt || line.ends_with("\t" + type);
  if (!kernelHasIt) return "the kernel has no " + type;
  return succeeds("command -v " + mkfs) ? "" : mkfs + " is not installed";
}

// Loop devices and mounts of a test, undone by release() also when it fails
// half way; in a mount namespace of the process's own where allowed, so
// that no mount outlives a killed test. Each attach takes a loop device of
// its own: the earlier one stays attached, so the image comes back under
// another device number.
class Mounts {
 public:
  ~Mounts() { release(); }
  bool mount(const std::string& command, const fs::path& at) {
    static const bool isolated [[maybe_unused]] =
        unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    if (!succeeds(command + " '" + at.string() + "'")) return false;
    mounted_.push_back(at);
    return true;
  }
  bool mountImage(const fs::path& image, const std::string& type, const fs::path& at) {
    std::string device;
    // Another process may take the free device first.
    for (int attempt = 0; attempt < 5 && device.empty(); ++attempt) {
      if (attempt > 0) usleep(200'000);
      FILE* pipe = popen(("losetup --find --show '" + image.string() + "' 2>/dev/null").c_str(), "r");
      if (pipe == nullptr) continue;
      char line[128] = "";
      const bool read = fgets(line, sizeof line, pipe) != nullptr;
      if (pclose(pipe) == 0 && read) device = line;
    }
    if (device.empty()) return false;
    device.pop_back();
    loops_.push_back(device);
    return mount("mount -t " + type + " " + device, at);
  }
  void unmount(const fs::path& at) {
    EXPECT_TRUE(succeeds("umount '" + at.string() + "'")) << at;
    std::erase(mounted_, at);
  }
  void release() {
    for (auto at = mounted_.rbegin(); at != mounted_.rend(); ++at) succeeds("umount -l '" + at->string() + "'");
    for (const std::string& device : loops_) succeeds("losetup -d " + device);
    mounted_.clear();
    loops_.clear();
  }

 private:
  std::vector<fs::path> mounted_;
  std::vector<std::string> loops_;
};

#define MOUNTED_OR_SKIP(mounted, what)                                \
  if (!(mounted)) {                                                   \
    if (::vek::testing::inCi()) FAIL() << "cannot mount " << what;                 \
    GTEST_SKIP() << "cannot mount " << what << " here";               \
  }

class DrivesTest : public ::vek::testing::HelperHome {
 protected:
  void TearDown() override {
    index_.reset();
    mounts_.release();
    HelperHome::TearDown();
  }

  MediaIndex& index() {
    if (!index_) {
      index_ = std::make_unique<MediaIndex>(LibraryLocation{{pictures(), videos()}, catalogPath()},
                                            std::make_unique<FakeProber>(probes_, home()));
    }
    return *index_;
  }
  Listing listing() { return listedByPath(index(), home()); }
  std::vector<std::string> probed() { return probes_.taken(); }
  // Media of 8 x 8 pixels to the fake prober.
  static void touch(const fs::path& path, const std::string& content = "8x8") {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content;
  }

  ProbeLog probes_;
  std::unique_ptr<MediaIndex> index_;
  Mounts mounts_;
};

// Root reads a folder of mode 000 all the same: for one listing this thread
// and those it starts give up the two capabilities that let it.
Listing listedBoundByPermissions(const std::function<Listing()>& list) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved[2] = {}, bound[2] = {};
  const bool got = syscall(SYS_capget, &header, saved) == 0;
  std::copy(saved, saved + 2, bound);
  bound[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
  const bool dropped = got && syscall(SYS_capset, &header, bound) == 0;
  Listing listed = list();
  if (dropped) syscall(SYS_capset, &header, saved);
  return listed;
}

// A folder unreadable for one listing (an I/O error, a share that answered
// late) and a root renamed away (a drive not plugged in): their assets are
// not listed and not found meanwhile, come back with their identifiers
// unread, and are forgotten after 30 days away. A folder really gone takes
// its assets with it.
TEST_F(DrivesTest, AssetsWhereTheWalkCannotLookAreKeptForThirtyDays) {
  touch(pictures() / "trip/a.jpg");
  touch(pictures() / "home/b.jpg");
  touch(pictures() / "old/c.jpg");
  touch(videos() / "kept.jpg");
  touch(videos() / "forgotten.jpg");
  const Listing first = listing();
  ASSERT_EQ(first.size(), 5u);
  probed();

  fs::remove_all(pictures() / "old");
  fs::permissions(pictures() / "trip", fs::perms::none);
  fs::rename(videos(), home() / "Videos.away");
  EXPECT_EQ(listedBoundByPermissions([&] { return listing(); }), (Listing{{"Pictures/home/b.jpg", first.at("Pictures/home/b.jpg")}}));
  EXPECT_TRUE(index().lookup({first.at("Pictures/trip/a.jpg"), first.at("Videos/kept.jpg")}).empty());

  fs::permissions(pictures() / "trip", fs::perms::owner_all);
  const int64_t now = std::time(nullptr);
  sql(catalogPath(), "UPDATE asset SET away_since = " + std::to_string(now - 31 * 86400) + " WHERE identifier = '" +
                         first.at("Videos/forgotten.jpg") + "'; UPDATE asset SET away_since = " +
                         std::to_string(now - 29 * 86400) + " WHERE identifier = '" + first.at("Videos/kept.jpg") + "'");
  EXPECT_EQ(listing().size(), 2u);
  fs::rename(home() / "Videos.away", videos());
  const Listing back = listing();
  Listing expected = first;
  expected.erase("Pictures/old/c.jpg");
  expected["Videos/forgotten.jpg"] = back.at("Videos/forgotten.jpg");
  EXPECT_EQ(back, expected);
  EXPECT_NE(back.at("Videos/forgotten.jpg"), first.at("Videos/forgotten.jpg"));
  EXPECT_EQ(probed(), std::vector<std::string>{"Videos/forgotten.jpg"});
}

// What a Synology share, a Windows drive, an ext4 root and folders copied
// from a phone hold beside the user's photos. Names are compared exactly.
TEST_F(DrivesTest, FoldersKeptBySystemsAndNoMediaFoldersAreNotListed) {
  for (const char* kept : {"@eaDir/a.jpg/SYNOPHOTO_THUMB_XL.jpg", "#recycle/a.jpg", "#snapshot/daily/a.jpg",
                           "$RECYCLE.BIN/S-1-5-21/$R1.jpg", "System Volume Information/a.jpg", "lost+found/#12.jpg",
                           "2020/@eaDir/b.jpg/SYNOPHOTO_THUMB_M.jpg", "Sent/s.jpg", "Sent/deeper/t.jpg"}) {
    touch(pictures() / kept);
  }
  touch(pictures() / "Sent/.nomedia", "");
  touch(videos() / ".nomedia", "");
  touch(videos() / "clip.jpg");
  for (const char* user : {"a.jpg", "2020/b.jpg", "eaDir/c.jpg", "Lost+Found/d.jpg"}) touch(pictures() / user);
  std::vector<std::string> paths;
  for (const auto& [path, identifier] : listing()) paths.push_back(path);
  EXPECT_EQ(paths, (std::vector<std::string>{"Pictures/2020/b.jpg", "Pictures/Lost+Found/d.jpg", "Pictures/a.jpg",
                                             "Pictures/eaDir/c.jpg"}));
}

// exiftool -P rewrites a date in place and puts the modification time back
// (to the second; touch -r to the nanosecond): only the change time tells.
// A file of the same size and modification time put in another's place is
// another file.
TEST_F(DrivesTest, EditWithTimesPutBackIsReadAgainAndAFileInAnothersPlaceIsNew) {
  ::vek::testing::ScopedEnvironment zone("TZ", "UTC");
  const fs::path edited = pictures() / "edited.jpg", replaced = pictures() / "replaced.jpg";
  makeImage(edited, 16, 12);
  run("exiftool -overwrite_original -DateTimeOriginal='2019:09:26 16:38:00' " + quoted(edited));
  fs::copy_file(edited, replaced);
  MediaIndex real(LibraryLocation{{pictures()}, catalogPath()});
  auto dates = [&] {
    std::map<std::string, std::pair<std::string, double>> byName;
    for (const PhotoAsset& asset : real.list(kMediaTypeImage, true)) {
      byName[fs::path(real.lookup({asset.localIdentifier}).at(0).path).filename()] = {asset.localIdentifier,
                                                                                     asset.creationDate.value_or(0)};
    }
    return byName;
  };
  const auto before = dates();
  ASSERT_EQ(before.at("edited.jpg").second, 1569515880);

  const FileStamp old = stampAt(edited), place = stampAt(replaced);
  run("exiftool -P -overwrite_original_in_place -DateTimeOriginal='2021:03:04 05:06:07' " + quoted(edited));
  const timespec oldTimes[2] = {{0, UTIME_OMIT}, {old.mtimeNs / 1'000'000'000, old.mtimeNs % 1'000'000'000}};
  ASSERT_EQ(utimensat(AT_FDCWD, edited.c_str(), oldTimes, 0), 0);
  ASSERT_EQ(stampAt(edited).inode, old.inode);
  ASSERT_EQ(stampAt(edited).size, old.size);
  fs::copy_file(edited, home() / "copy.jpg");
  const timespec placeTimes[2] = {{0, UTIME_OMIT}, {place.mtimeNs / 1'000'000'000, place.mtimeNs % 1'000'000'000}};
  ASSERT_EQ(utimensat(AT_FDCWD, (home() / "copy.jpg").c_str(), placeTimes, 0), 0);
  fs::rename(home() / "copy.jpg", replaced);

  const auto after = dates();
  EXPECT_EQ(after.at("edited.jpg"), std::make_pair(before.at("edited.jpg").first, 1614834367.0));
  EXPECT_NE(after.at("replaced.jpg").first, before.at("replaced.jpg").first);
}

// A catalog written before change times were kept keeps its identifiers;
// its first listing learns the change times without reading any file, and
// the next one compares them.
TEST_F(DrivesTest, CatalogOfTheFirstSchemaIsUpgradedWithoutReadingFilesAgain) {
  std::string rows;
  for (const char* name : {"a.jpg", "b.jpg"}) {
    touch(pictures() / name);
    const FileStamp s = stampAt(pictures() / name);
    rows += "INSERT INTO asset VALUES('" + std::string(name) + "', '" + (pictures() / name).string() + "', " +
            std::to_string(s.device) + ", " + std::to_string(s.inode) + ", 3, " + std::to_string(s.mtimeNs) +
            ", 1, 1, 1, 7, 0);";
  }
  fs::create_directories(catalogPath().parent_path());
  sql(catalogPath(), R"(
    CREATE TABLE asset(identifier TEXT PRIMARY KEY NOT NULL, path TEXT NOT NULL, device INTEGER NOT NULL,
      inode INTEGER NOT NULL, size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, media_type INTEGER NOT NULL,
      pixel_width INTEGER NOT NULL, pixel_height INTEGER NOT NULL, creation_date REAL, duration REAL NOT NULL,
      UNIQUE(device, inode));
    CREATE TABLE unreadable_file(device INTEGER NOT NULL, inode INTEGER NOT NULL, size INTEGER NOT NULL,
      mtime_ns INTEGER NOT NULL, PRIMARY KEY(device, inode)) WITHOUT ROWID;
    PRAGMA user_version = 1;)" + rows);

  EXPECT_EQ(listing(), (Listing{{"Pictures/a.jpg", "a.jpg"}, {"Pictures/b.jpg", "b.jpg"}}));
  EXPECT_EQ(probed(), std::vector<std::string>{});
  fs::permissions(pictures() / "b.jpg", fs::perms::owner_read);
  EXPECT_EQ(listing(), (Listing{{"Pictures/a.jpg", "a.jpg"}, {"Pictures/b.jpg", "b.jpg"}}));
  EXPECT_EQ(probed(), std::vector<std::string>{"Pictures/b.jpg"});
}

// The Pictures folder itself is a FAT card, which numbers inodes afresh at
// each mount as files are looked up. While it is out the folder is an empty
// one of the parent file system, and its photos are kept, not listed.
TEST_F(DrivesTest, FatCardNumberingItsInodesAfreshKeepsItsIdentifiers) {
  const bool kernelFat = cannotMount("vfat", "mkfs.vfat").empty();
  const std::string noFuseFat = fs::exists("/dev/fuse") ? cannotMount("fuse", "fusefat") : "no /dev/fuse";
  if (!kernelFat && !noFuseFat.empty()) GTEST_SKIP() << cannotMount("vfat", "mkfs.vfat") << "; " << noFuseFat;
  if (!succeeds("command -v mkfs.vfat")) GTEST_SKIP() << "mkfs.vfat is not installed";
  const fs::path image = temporary() / "card.fat";
  ASSERT_TRUE(succeeds("mkfs.vfat -C " + quoted(image) + " 8192"));
  auto mountCard = [&] {
    return kernelFat ? mounts_.mountImage(image, "vfat", pictures())
                     : mounts_.mount("fusefat -o rw+ " + quoted(image), pictures());
  };
  MOUNTED_OR_SKIP(mountCard(), "a FAT image");
  const std::vector<std::string> names = {"DCIM/a.jpg", "DCIM/b.jpg", "DCIM/c.jpg", "d.jpg"};
  for (size_t i = 0; i < names.size(); ++i) touch(pictures() / names[i], "8x8" + std::string(i, ' '));
  const Listing first = listing();
  ASSERT_EQ(first.size(), 4u);
  std::vector<uint64_t> inodes, renumbered(names.size());
  for (const std::string& name : names) inodes.push_back(stampAt(pictures() / name).inode);
  probed();

  mounts_.unmount(pictures());
  EXPECT_EQ(listing(), Listing{});
  MOUNTED_OR_SKIP(mountCard(), "the FAT image again");
  for (size_t i = names.size(); i-- > 0;) renumbered[i] = stampAt(pictures() / names[i]).inode;
  ASSERT_NE(renumbered, inodes);
  EXPECT_EQ(listing(), first);
  EXPECT_EQ(probed(), std::vector<std::string>{});
}

// A USB disk mounted in a folder of Pictures, plugged in again after another
// one: through another loop device. While it is out its photos are not
// listed and answer assetNotFound; back, every identifier is kept and a
// photo rendered before is served from the render cache, not decoded again
// (its entry is read, not written anew).
TEST_F(DrivesTest, Ext4DiskRemountedThroughAnotherLoopDeviceKeepsIdentifiersAndRenders) {
  if (const std::string why = cannotMount("ext4", "mkfs.ext4"); !why.empty()) GTEST_SKIP() << why;
  const fs::path image = temporary() / "disk.ext4", disk = pictures() / "disk";
  ASSERT_TRUE(succeeds("truncate -s 16M " + quoted(image) + " && mkfs.ext4 -q -F " + quoted(image)));
  fs::create_directories(disk);
  MOUNTED_OR_SKIP(mounts_.mountImage(image, "ext4", disk), "an ext4 image");
  makeImage(disk / "a.jpg", 40, 30);
  makeImage(disk / "b.jpg", 30, 40);
  const uint64_t device = stampAt(disk / "a.jpg").device;
  std::map<std::string, std::string> settings = environment();
  settings["VEK_RENDER_READ_AHEAD"] = "0";
  auto helper = [&] { return std::make_unique<::vek::testing::HelperProcess>(::vek::testing::helperBinary(), settings); };

  const std::vector<std::string> before = identifiers(*helper(), "image");
  ASSERT_EQ(before.size(), 2u);
  const std::string rendered = render(*helper(), before[0], 64);
  ASSERT_NE(rendered.find("\"ok\""), std::string::npos) << rendered.substr(0, 300);
  fs::path entry;
  for (const auto& file : fs::recursive_directory_iterator(home() / ".cache/vek-photokit-helper")) {
    if (file.path().filename() == "64") entry = file.path();
  }
  const uint64_t entryInode = stampAt(entry).inode;
  setMtime(entry, 1'000'000'000);

  mounts_.unmount(disk);
  EXPECT_EQ(identifiers(*helper(), "image"), std::vector<std::string>{});
  EXPECT_NE(render(*helper(), before[0], 64).find("assetNotFound"), std::string::npos);

  MOUNTED_OR_SKIP(mounts_.mountImage(image, "ext4", disk), "the ext4 image again");
  ASSERT_NE(stampAt(disk / "a.jpg").device, device);
  EXPECT_EQ(identifiers(*helper(), "image"), before);
  EXPECT_EQ(render(*helper(), before[0], 64), rendered);
  EXPECT_EQ(stampAt(entry).inode, entryInode);
  EXPECT_GT(stampAt(entry).mtimeNs, int64_t{1'000'000'000} * 1'000'000'000);
}

// A home whose disk is full, then read-only, with the photos on a drive of
// their own: a photo trashed on that drive counts as deleted, photos added
// meanwhile are listed and rendered all the same, replies are those of a
// writable catalog, and the catalog catches up once its disk takes writes.
TEST_F(DrivesTest, CatalogOnAFullOrReadOnlyDiskStillServes) {
  const fs::path data = home() / ".local/share";
  fs::create_directories(data);
  MOUNTED_OR_SKIP(geteuid() == 0 && mounts_.mount("mount -t tmpfs -o size=1m tmpfs", data) &&
                      mounts_.mount("mount -t tmpfs -o size=4m tmpfs", pictures()),
                  "tmpfs (as root)");
  auto add = [&](const std::string& name, time_t date) {
    makeImage(pictures() / name, 40, 30);
    setMtime(pictures() / name, date);
  };
  add("a.jpg", 1'000'000'300);
  add("b.jpg", 1'000'000'200);
  std::vector<std::string> stderrTexts;
  auto session = [&](const std::function<void(::vek::testing::HelperProcess&)>& requests) {
    ::vek::testing::HelperProcess helper(::vek::testing::helperBinary(), environment());
    requests(helper);
    EXPECT_EQ(helper.finish(), 0);
    stderrTexts.push_back(helper.stderrText());
  };
  std::vector<std::string> first;
  std::string rendered;
  session([&](auto& helper) {
    first = identifiers(helper, "image");
    rendered = render(helper, first.at(0), 64);
  });
  ASSERT_EQ(first.size(), 2u);
  ASSERT_NE(rendered.find("\"ok\""), std::string::npos) << rendered.substr(0, 300);

  succeeds("dd if=/dev/zero of=" + quoted(data / "filler") + " bs=4k");
  add("c.jpg", 1'000'000'100);
  session([&](auto& helper) {
    const std::vector<std::string> listed = identifiers(helper, "image");
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(std::vector(listed.begin(), listed.begin() + 2), first);
    EXPECT_NE(render(helper, listed[2], 64).find("\"ok\""), std::string::npos);
    EXPECT_EQ(helper.request(deleteRequest(7, {first[1]})), R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
    EXPECT_TRUE(fs::exists(pictures() / ".Trash-0/files/b.jpg"));
    EXPECT_EQ(identifiers(helper, "image"), (std::vector{first[0], listed[2]}));
  });

  fs::remove(data / "filler");
  std::vector<std::string> caughtUp;
  session([&](auto& helper) { caughtUp = identifiers(helper, "image"); });
  ASSERT_EQ(caughtUp.size(), 2u);
  EXPECT_EQ(caughtUp[0], first[0]);

  ASSERT_TRUE(succeeds("mount -o remount,ro " + quoted(data)));
  add("d.jpg", 1'000'000'000);
  session([&](auto& helper) {
    const std::vector<std::string> listed = identifiers(helper, "image");
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(std::vector(listed.begin(), listed.begin() + 2), caughtUp);
    EXPECT_EQ(render(helper, first[0], 64), rendered);
    EXPECT_NE(render(helper, listed[2], 64).find("\"ok\""), std::string::npos);
  });
  EXPECT_EQ(stderrTexts, std::vector<std::string>(4));
}

}  // namespace
}  // namespace vek::linux_library

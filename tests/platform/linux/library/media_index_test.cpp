#include "platform/linux/library/media_index.hpp"

#include <regex>

#include "platform/linux/library/fake_prober.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;
using vek::testing::sql;
using vek::testing::writeAll;
using Names = std::vector<std::string>;

// The index's rules for which files to probe and which identifiers to keep,
// on files in a temporary home, probed by the fake.
class MediaIndexTest : public vek::testing::HelperHome {
 protected:
  void SetUp() override {
    HelperHome::SetUp();
    location_ = LibraryLocation{{pictures(), videos()}, catalogPath()};
    index_ = makeIndex(probes_);
  }

  std::unique_ptr<MediaIndex> makeIndex(ProbeLog& log) const {
    return std::make_unique<MediaIndex>(location_, std::make_unique<FakeProber>(log, pictures()));
  }

  // Writes `content` to the picture `name`, in place when it exists.
  void put(const std::string& name, const std::string& content) const {
    fs::create_directories((pictures() / name).parent_path());
    writeAll(pictures() / name, content);
  }

  std::map<std::string, std::string> identifiers(MediaIndex& index) const { return listedByPath(index, pictures()); }

  // The listing as names, newest first.
  Names names(MediaIndex& index, int64_t mediaType = kMediaTypeImage) const {
    Names names;
    for (const PhotoAsset& asset : index.list(mediaType, true)) {
      names.push_back(fs::relative(index.lookup({asset.localIdentifier}).at(0).path, pictures()));
    }
    return names;
  }

  LibraryLocation location_;
  ProbeLog probes_;
  std::unique_ptr<MediaIndex> index_;
};

TEST_F(MediaIndexTest, ProbesAFileOnlyInAStateItHasNotSeen) {
  put("a.jpg", "40x30");
  put("b.png", "20x10");
  put("clip.mp4", "64x48");
  const std::map<std::string, std::string> first = identifiers(*index_);
  EXPECT_EQ(first.size(), 2u);
  EXPECT_EQ(probes_.taken(), (Names{"a.jpg", "b.png", "clip.mp4"}));
  const std::regex randomUuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}/L0/001");
  for (const auto& [name, identifier] : first) EXPECT_TRUE(std::regex_match(identifier, randomUuid)) << identifier;

  // Listed again, and by the next run.
  EXPECT_EQ(identifiers(*index_), first);
  EXPECT_EQ(index_->list(kMediaTypeVideo, true).size(), 1u);
  EXPECT_EQ(identifiers(*makeIndex(probes_)), first);
  EXPECT_EQ(probes_.taken(), Names{});
}

TEST_F(MediaIndexTest, AFileKeepsItsIdentifierWhenEditedInPlaceOrMovedButNotWhenReplaced) {
  for (const char* name : {"edited.jpg", "moved.jpg", "replaced.jpg", "reused.jpg"}) put(name, "40x30");
  const std::map<std::string, std::string> first = identifiers(*index_);
  probes_.taken();

  put("edited.jpg", "160x120");
  fs::create_directories(pictures() / "sub");
  fs::rename(pictures() / "moved.jpg", pictures() / "sub/moved.jpg");
  writeAll(root_ / "other.jpg", "50x40");
  fs::rename(root_ / "other.jpg", pictures() / "replaced.jpg");
  // Moved and rewritten: as a new file that was given the inode of one
  // deleted meanwhile is.
  fs::rename(pictures() / "reused.jpg", pictures() / "sub/new.jpg");
  put("sub/new.jpg", "4000x3000");

  const std::map<std::string, std::string> now = identifiers(*index_);
  EXPECT_EQ(probes_.taken(), (Names{"edited.jpg", "replaced.jpg", "sub/new.jpg"}));
  EXPECT_EQ(now.size(), 4u);
  EXPECT_EQ(now.at("edited.jpg"), first.at("edited.jpg"));
  EXPECT_EQ(index_->lookup({first.at("edited.jpg")}).at(0).asset.pixelWidth, 160u);
  EXPECT_EQ(now.at("sub/moved.jpg"), first.at("moved.jpg"));
  EXPECT_NE(now.at("replaced.jpg"), first.at("replaced.jpg"));
  EXPECT_NE(now.at("sub/new.jpg"), first.at("reused.jpg"));
  EXPECT_EQ(index_->lookup({first.at("replaced.jpg"), first.at("reused.jpg")}), std::vector<IndexedAsset>{});
}

TEST_F(MediaIndexTest, AFileThatIsNotMediaIsProbedAgainOnlyOnceItChanges) {
  put("late.jpg", "still downloading");
  put("broken.jpg", "garbage");
  EXPECT_EQ(identifiers(*index_).size(), 0u);
  EXPECT_EQ(probes_.taken(), (Names{"broken.jpg", "late.jpg"}));
  fs::rename(pictures() / "broken.jpg", pictures() / "renamed.jpg");
  EXPECT_EQ(identifiers(*makeIndex(probes_)).size(), 0u);
  EXPECT_EQ(probes_.taken(), Names{});

  put("late.jpg", "4000x3000");
  EXPECT_EQ(identifiers(*index_).size(), 1u);
  EXPECT_EQ(probes_.taken(), Names{"late.jpg"});
}

TEST_F(MediaIndexTest, AFileThatCannotBeReadNowKeepsItsIdentifierAndIsTriedAgain) {
  put("photo.jpg", "40x30");
  const std::string identifier = identifiers(*index_).at("photo.jpg");
  probes_.taken();
  put("photo.jpg", "unreadable");
  for (int listing = 0; listing < 2; ++listing) {
    EXPECT_EQ(identifiers(*index_).size(), 0u);
    EXPECT_EQ(probes_.taken(), Names{"photo.jpg"});
  }
  put("photo.jpg", "50x40 again");
  EXPECT_EQ(identifiers(*index_).at("photo.jpg"), identifier);
}

// A second index on the catalog stands for another helper: it lists the
// library while the first is still probing.
TEST_F(MediaIndexTest, AnotherHelperListingMeanwhileEndsWithTheSameIdentifiers) {
  put("edited.jpg", "40x30");
  const std::string edited = identifiers(*index_).at("edited.jpg");
  put("edited.jpg", "400x300");
  for (int i = 0; i < 10; ++i) put("new" + std::to_string(i) + ".jpg", "40x30");
  probes_.taken();
  ProbeLog otherProbes;
  std::unique_ptr<MediaIndex> other = makeIndex(otherProbes);
  std::map<std::string, std::string> theirs;
  probes_.atFirstProbe = [&] { theirs = identifiers(*other); };

  const std::map<std::string, std::string> ours = identifiers(*index_);
  EXPECT_EQ(theirs.size(), 11u);
  EXPECT_EQ(ours, theirs);
  EXPECT_EQ(ours.at("edited.jpg"), edited);
  // Each file probed once by each.
  EXPECT_EQ(probes_.taken().size(), 11u);
  EXPECT_EQ(otherProbes.taken().size(), 11u);
}

// A first listing of a large library commits what it probed in pieces: a
// helper stopped half way leaves that work to the next one.
TEST_F(MediaIndexTest, AFirstListingCutShortIsContinuedNotRedone) {
  constexpr int kPhotos = 1300;
  char name[16];
  for (int i = 0; i < kPhotos; ++i) {
    std::snprintf(name, sizeof name, "p%04d.jpg", i);
    put(name, i == 1100 ? "fail" : "8x8");
  }
  EXPECT_THROW(index_->list(kMediaTypeImage, true), std::runtime_error);
  probes_.taken();
  put("p1100.jpg", "8x8");

  EXPECT_EQ(identifiers(*makeIndex(probes_)).size(), size_t(kPhotos));
  const Names probed = probes_.taken();
  // The first piece, 1024 files in path order, was kept.
  ASSERT_EQ(probed.size(), size_t(kPhotos - 1024));
  EXPECT_EQ(probed.front(), "p1024.jpg");
}

// Live Photos are paired at each listing from the catalog: the still
// stands for both, and each change to the halves shows at the next listing,
// with no file read again and no identifier changed.
TEST_F(MediaIndexTest, ALivePhotoIsItsStillWhileItsMovieIsBesideIt) {
  put("trip/IMG_1.HEIC", "8x8 live=A");
  put("away/IMG_1.MOV", "8x8 live=A");
  for (const char* name : {"edit/IMG_2.HEIC", "edit/IMG_2_HEVC.MOV", "edit/IMG_E2.HEIC", "edit/IMG_E2.MOV"}) {
    put(name, "8x8 live=C");
  }
  auto movieOf = [&](const std::string& still) {
    const std::optional<PairedMovie> movie = index_->lookup({still}).at(0).movie;
    return movie ? fs::relative(movie->path, pictures()).string() : "";
  };
  const std::map<std::string, std::string> stills = identifiers(*index_);
  EXPECT_EQ(names(*index_, kMediaTypeVideo), Names{"away/IMG_1.MOV"});
  EXPECT_EQ(movieOf(stills.at("edit/IMG_E2.HEIC")), "edit/IMG_E2.MOV");
  EXPECT_EQ(movieOf(stills.at("trip/IMG_1.HEIC")), "");

  put("trip/IMG_1.MOV", "8x8 live=A");
  EXPECT_EQ(names(*index_, kMediaTypeVideo), Names{"away/IMG_1.MOV"});
  const std::string movie = index_->lookup({stills.at("trip/IMG_1.HEIC")}).at(0).movie->localIdentifier;
  EXPECT_EQ(index_->lookup({movie}), std::vector<IndexedAsset>{});
  probes_.taken();
  fs::rename(pictures() / "trip", pictures() / "trip 2");
  index_ = makeIndex(probes_);
  EXPECT_EQ(names(*index_, kMediaTypeVideo), Names{"away/IMG_1.MOV"});
  EXPECT_EQ(movieOf(stills.at("trip/IMG_1.HEIC")), "trip 2/IMG_1.MOV");
  EXPECT_EQ(probes_.taken(), Names{});

  // Its still deleted by another program, the movie is a video again.
  fs::remove(pictures() / "trip 2/IMG_1.HEIC");
  EXPECT_EQ(names(*index_, kMediaTypeVideo), (Names{"away/IMG_1.MOV", "trip 2/IMG_1.MOV"}));
  EXPECT_EQ(index_->lookup({movie}).size(), 1u);
}

// A catalog of the second schema learns identifiers without a first
// listing's work: only files with a possible partner in their folder are
// read, under their identifiers.
TEST_F(MediaIndexTest, ACatalogOfTheSecondSchemaReadsIdentifiersOnlyWhereAPairMayBe) {
  for (const char* name : {"trip/IMG_1.HEIC", "trip/IMG_1.MOV", "photos/a.jpg"}) put(name, "8x8 live=A");
  put("mixed/b.gif", "8x8");
  put("mixed/c.mp4", "8x8");
  const std::map<std::string, std::string> before = identifiers(*index_);
  index_.reset();
  sql(location_.catalogPath,
      "DROP INDEX asset_content; ALTER TABLE asset DROP COLUMN content_identifier; PRAGMA user_version = 2");
  probes_.taken();

  index_ = makeIndex(probes_);
  EXPECT_EQ(identifiers(*index_), before);
  EXPECT_EQ(probes_.taken(), (Names{"trip/IMG_1.HEIC", "trip/IMG_1.MOV"}));
  EXPECT_EQ(names(*index_, kMediaTypeVideo), Names{"mixed/c.mp4"});
  put("photos/a.mov", "8x8 live=A");
  EXPECT_EQ(names(*index_, kMediaTypeVideo), Names{"mixed/c.mp4"});
  EXPECT_EQ(probes_.taken(), (Names{"photos/a.jpg", "photos/a.mov"}));
}

TEST_F(MediaIndexTest, ListsNewestFirstThenByPath) {
  for (const char* name : {"b.jpg", "a.jpg"}) put(name, "1x1@300");
  put("undated.jpg", "1x1");
  put("z/new.png", "1x1@900");
  EXPECT_EQ(names(*index_), (Names{"z/new.png", "a.jpg", "b.jpg", "undated.jpg"}));
}

TEST_F(MediaIndexTest, LeavesOutHiddenLinkedDuplicateAndSpecialFiles) {
  for (const char* name : {"visible.jpg", ".dotted.jpg", ".folder/inside.jpg", "listed.jpg", "secret/inside.jpg",
                           "b/twice.jpg", "notes.txt"}) {
    put(name, "8x8");
  }
  writeAll(pictures() / ".hidden", "listed.jpg\nsecret\n");
  fs::create_directories(root_ / "outside");
  writeAll(root_ / "outside/linked.jpg", "8x8");
  fs::create_symlink(root_ / "outside/linked.jpg", pictures() / "link.jpg");
  fs::create_symlink(root_ / "outside", pictures() / "linked-folder");
  fs::create_symlink(pictures(), pictures() / "loop");
  fs::create_directories(pictures() / "a");
  fs::create_hard_link(pictures() / "b/twice.jpg", pictures() / "a/twice.jpg");
  ASSERT_EQ(mkfifo((pictures() / "pipe.jpg").c_str(), 0600), 0);
  std::string deep;
  for (int level = 0; level < 25; ++level) deep += "level" + std::to_string(level) + "/";
  put(deep + "deep.jpg", "8x8");

  std::vector<std::string> listed;
  for (const auto& [name, identifier] : identifiers(*index_)) listed.push_back(name);
  EXPECT_EQ(listed, (Names{"a/twice.jpg", deep + "deep.jpg", "visible.jpg"}));
}

TEST_F(MediaIndexTest, LookupGivesEachLiveFileOnceInTheOrderFirstNamed) {
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) put(name, "8x8");
  writeAll(root_ / "other.jpg", "8x8");
  std::map<std::string, std::string> id = identifiers(*index_);
  const std::vector<IndexedAsset> all = index_->lookup({id["c.jpg"], id["a.jpg"], id["b.jpg"]});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].path, pictures() / "c.jpg");
  EXPECT_EQ(all[1].path, pictures() / "a.jpg");
  EXPECT_EQ(index_->lookup(
                {id["c.jpg"], id["a.jpg"], "00000000-0000-4000-8000-000000000000/L0/001", id["c.jpg"], id["b.jpg"]}),
            all);

  // Without a new listing, the catalog still names b.jpg's path, but another
  // file now lives there.
  fs::rename(root_ / "other.jpg", pictures() / "b.jpg");
  fs::remove(pictures() / "a.jpg");
  EXPECT_EQ(index_->lookup({id["a.jpg"], id["b.jpg"], id["c.jpg"]}), std::vector<IndexedAsset>{all[0]});

  index_->forget({id["c.jpg"]});
  EXPECT_EQ(index_->lookup({id["c.jpg"]}), std::vector<IndexedAsset>{});
}

TEST_F(MediaIndexTest, DamagedCatalogIsSetAsideAndRebuiltAndALaterHelpersIsLeftAlone) {
  const fs::path catalog = location_.catalogPath;
  for (int i = 0; i < 40; ++i) put("photo-with-a-long-name-" + std::to_string(i) + ".jpg", "8x8");
  const std::map<std::string, std::string> before = identifiers(*index_);
  index_.reset();
  auto setAside = [&] {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(catalog.parent_path())) {
      count += entry.path().filename().string().starts_with("catalog.sqlite3.broken-");
    }
    return count;
  };
  const std::function<void()> damages[] = {
      // Pages after the first: found only when the catalog is read.
      [&] {
        std::fstream file(catalog, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(4096);
        for (int i = 0; i < 8192; ++i) file.put(static_cast<char>(0xA5));
      },
      [&] { writeAll(catalog, std::string(8192, 'x')); },
  };
  for (size_t damage = 0; damage < std::size(damages); ++damage) {
    SCOPED_TRACE(damage);
    damages[damage]();
    const std::map<std::string, std::string> rebuilt = identifiers(*makeIndex(probes_));
    EXPECT_EQ(rebuilt.size(), 40u);
    if (damage == 0) { EXPECT_NE(rebuilt, before); }
    EXPECT_EQ(setAside(), damage + 1);
  }
  // A later helper's catalog is read, not changed: a return to that helper
  // finds its identifiers as it left them.
  sql(catalog, "PRAGMA user_version = 99");
  const std::map<std::string, std::string> current = identifiers(*makeIndex(probes_));
  put("new.jpg", "8x8");
  EXPECT_EQ(identifiers(*makeIndex(probes_)).size(), 41u);
  EXPECT_EQ(setAside(), 2u);
  EXPECT_EQ(sql(catalog, "PRAGMA user_version"), "99");
  EXPECT_EQ(current.size(), 40u);
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
  for (const auto& folder : {root_, home(), pictures(), videos()}) fs::permissions(folder, fs::perms::all);
  EXPECT_EQ(statusWithoutPrivileges(*index_), kAuthorizationStatusAuthorized);

  fs::permissions(pictures(), fs::perms(0555));
  EXPECT_EQ(statusWithoutPrivileges(*index_), kAuthorizationStatusLimited);

  fs::permissions(videos(), fs::perms::none);
  EXPECT_EQ(statusWithoutPrivileges(*index_), kAuthorizationStatusDenied);

  fs::remove(videos());
  fs::remove(pictures());
  EXPECT_EQ(statusWithoutPrivileges(*index_), kAuthorizationStatusAuthorized);
}

}  // namespace
}  // namespace vek::linux_library

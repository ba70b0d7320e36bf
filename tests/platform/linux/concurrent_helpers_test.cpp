#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "platform/linux/helper_home.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

// Helpers that share a library with each other (one of them without its
// modules), die mid-request, or serve very large and very long sessions.
class ConcurrentHelpersTest : public HelperHome {
 protected:
  // `count` distinct files holding the same small JPEG.
  void makeCopies(const fs::path& folder, int count) {
    makeImage(root_ / "model.jpg", 24, 16);
    fs::create_directories(folder);
    for (int i = 0; i < count; ++i) fs::copy_file(root_ / "model.jpg", folder / ("photo" + std::to_string(i) + ".jpg"));
  }

  // SQLite's own verdict on the catalog's consistency, as the next helper
  // would find it: opened for writing (a process killed mid-write leaves a
  // journal that only a writer may roll back or replay), but on a copy, so
  // the check repairs nothing the next helper should meet itself.
  std::string catalogIntegrity() const {
    const Path copy = temporary() / "catalog-copy";
    fs::remove_all(copy);
    fs::create_directories(copy);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      const Path file = catalogPath().string() + suffix;
      if (fs::exists(file)) fs::copy_file(file, copy / ("catalog.sqlite3" + std::string(suffix)));
    }
    return sql(copy / "catalog.sqlite3", "PRAGMA integrity_check");
  }
};

// A parent that renders in parallel starts several helpers at once, and the
// first listing of each makes the catalog at the same moment as the others.
TEST_F(ConcurrentHelpersTest, HelpersStartedTogetherOnANewCatalogAllAnswer) {
  makeCopies(pictures(), 3);
  constexpr int kRounds = 60;
  constexpr int kHelpers = 4;
  for (int round = 0; round < kRounds; ++round) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(catalogPath().string() + suffix);
    std::vector<std::unique_ptr<HelperProcess>> helpers;
    for (int i = 0; i < kHelpers; ++i) helpers.push_back(std::make_unique<HelperProcess>(helperBinary(), environment()));
    std::vector<std::vector<std::string>> listed(kHelpers);
    std::vector<std::thread> askers;
    for (int i = 0; i < kHelpers; ++i) askers.emplace_back([&, i] { listed[i] = identifiers(*helpers[i], "image"); });
    for (std::thread& asker : askers) asker.join();
    // One identifier per file, whichever helper catalogued it.
    EXPECT_EQ(std::set<std::string>(listed[0].begin(), listed[0].end()).size(), 3u) << "round " << round;
    for (const auto& ids : listed) EXPECT_EQ(ids, listed[0]) << "round " << round;
    for (auto& helper : helpers) EXPECT_EQ(helper->finish(), 0);
  }
  EXPECT_EQ(catalogIntegrity(), "ok");
}

TEST_F(ConcurrentHelpersTest, AHelperKilledMidListingLeavesAConsistentCatalog) {
  makeCopies(pictures(), 150);
  for (int delayMs : {0, 5, 20, 60, 150, 400}) {
    HelperProcess helper(helperBinary(), environment());
    helper.send(R"({"id":1,"cmd":"fetch_assets","kind":"image"})");
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    helper.kill();
    EXPECT_TRUE(!fs::exists(catalogPath()) || catalogIntegrity() == "ok") << "killed after " << delayMs << " ms: " << catalogIntegrity();
  }
  HelperProcess helper(helperBinary(), environment());
  const std::vector<std::string> ids = identifiers(helper, "image");
  EXPECT_EQ(ids.size(), 150u);
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 150u);
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(catalogIntegrity(), "ok");
}

TEST_F(ConcurrentHelpersTest, AHelperKilledMidExportLeavesNoHalfWrittenMovie) {
  makeVideo(videos() / "long.mp4", 30, "320x240");
  std::string id;
  uintmax_t completeSize = 0;
  {
    HelperProcess helper(helperBinary(), environment());
    const std::vector<std::string> ids = identifiers(helper, "video");
    ASSERT_EQ(ids.size(), 1u);
    id = ids[0];
    const fs::path movie = text(parse(exportVideo(helper, id))["ok"]["tempPath"]);
    completeSize = fs::file_size(movie);
    fs::remove(movie);
    EXPECT_EQ(helper.finish(), 0);
    EXPECT_EQ(helper.stderrText(), "");
  }
  for (int delayMs : {1, 5, 10, 20, 40, 80, 160}) {
    HelperProcess helper(helperBinary(), environment());
    helper.send(R"({"id":2,"cmd":"request_video_resource","localIdentifier":")" + id + R"("})");
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    helper.kill();
    // A movie named before the kill is a whole one; nothing else may remain.
    for (const fs::path& movie : exportedMovies()) {
      EXPECT_EQ(fs::file_size(movie), completeSize) << "killed after " << delayMs << " ms";
      fs::remove(movie);
    }
    EXPECT_TRUE(fs::is_empty(temporary())) << "killed after " << delayMs << " ms";
  }
  EXPECT_TRUE(fs::exists(videos() / "long.mp4"));
}

// Ten thousand requests of every kind keep the helper's memory flat, and a
// hundred-megabyte line is answered in memory in proportion to it.
TEST_F(ConcurrentHelpersTest, ALongSessionAndAHugeLineKeepMemoryInProportion) {
  makeImage(pictures() / "a.jpg", 32, 24);
  makeImage(pictures() / "b.png", 20, 20);
  makeImage(pictures() / "c.webp", 40, 10);
  makeVideo(videos() / "clip.mp4", 1);
  HelperProcess helper(helperBinary(), environment());
  const std::vector<std::string> images = identifiers(helper, "image");
  const std::vector<std::string> movies = identifiers(helper, "video");
  ASSERT_EQ(images.size(), 3u);
  ASSERT_EQ(movies.size(), 1u);
  // What follows each request's id, and whether it must succeed.
  const std::vector<std::pair<std::string, bool>> kinds = {
      {R"(,"cmd":"fetch_assets","kind":"image"})", true},
      {R"(,"cmd":"fetch_assets","kind":"video"})", true},
      {R"(,"cmd":"request_image_data","localIdentifier":")" + images[0] + R"(","targetSize":8})", true},
      {R"(,"cmd":"request_image_data","localIdentifier":")" + images[1] + R"(","targetSize":23})", true},
      {R"(,"cmd":"request_image_data","localIdentifier":")" + images[2] + R"(","targetSize":40})", true},
      {R"(,"cmd":"request_image_data","localIdentifier":")" + movies[0] + R"(","targetSize":16})", true},
      {R"(,"cmd":"open_sesame","x":[1,2,3]})", false},
      {R"(,"cmd":"delete_assets","localIdentifiers":["nobody/L0/001","x"]})", false},
      {R"(,"cmd":"request_video_resource","localIdentifier":"gone/L0/001"})", false},
      {R"(,"cmd":"delete_assets","localIdentifiers":[]})", false},
  };
  simdjson::dom::parser parser;
  auto serve = [&](int from, int to) {
    for (int n = from; n < to; ++n) {
      const auto& [rest, mustSucceed] = kinds[n % kinds.size()];
      const std::string reply = helper.request(R"({"id":)" + std::to_string(n) + rest);
      simdjson::dom::element root;
      ASSERT_EQ(parser.parse(reply).get(root), simdjson::SUCCESS) << reply;
      ASSERT_EQ(uint64_t(root["id"]), uint64_t(n)) << reply;
      if (mustSucceed) {
        ASSERT_EQ(root["ok"].error(), simdjson::SUCCESS) << reply;
      }
    }
  };
  serve(0, 500);
  const long start = memoryKb(helper.pid(), "VmRSS");
  serve(500, 10'000);
  const long end = memoryKb(helper.pid(), "VmRSS");
  if (kResidentSizeIsMeaningful) { EXPECT_LT(end - start, 8 * 1024) << "resident from " << start << " kB"; }
  EXPECT_TRUE(exportedMovies().empty());

  const long before = memoryKb(helper.pid(), "VmHWM");
  // A million identifiers the library never gave, and one it did.
  std::string line = R"({"id":8,"cmd":"delete_assets","localIdentifiers":[")" + images[0] + "\"";
  const std::string padding(56, 'F');
  char unknown[64];
  for (int i = 0; i < 1'000'000; ++i) {
    std::snprintf(unknown, sizeof unknown, ",\"%08X-0000-4000-8000-%012X/L0/001", i, i);
    line += unknown + padding + "\"";
  }
  line += "]}";
  ASSERT_GT(line.size(), 100'000'000u);
  EXPECT_EQ(helper.request(line), R"({"id":8,"ok":{"deletedCount":1,"userCancelled":false}})");
  const long peak = memoryKb(helper.pid(), "VmHWM");
  const long lineKb = long(line.size() / 1024);
  if (kResidentSizeIsMeaningful) { EXPECT_LT(peak - before, 6 * lineKb) << "peak from " << before << " kB"; }
  EXPECT_EQ(identifiers(helper, "image").size(), 2u);
  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

// The media libraries are loaded only when needed: a helper whose modules are
// missing still lists what the catalog knows and deletes, answers what needs
// them with the reason, and goes on serving.
TEST_F(ConcurrentHelpersTest, WithoutItsModulesTheHelperListsDeletesAndSaysWhatIsMissing) {
  if (!kHelperLoadsModules) GTEST_SKIP() << "this helper has its media code linked in";
  makeImage(pictures() / "kept.jpg", 64, 48);
  makeImage(pictures() / "deleted.jpg", 64, 48);
  makeVideo(videos() / "clip.mp4", 1);
  HelperProcess complete(helperBinary(), environment());
  const std::vector<std::string> images = identifiers(complete, "image");
  const std::vector<std::string> videos = identifiers(complete, "video");
  ASSERT_EQ(complete.finish(), 0);
  ASSERT_EQ(images.size(), 2u);
  ASSERT_EQ(videos.size(), 1u);

  const fs::path alone = temporary() / "bin" / "vek-photokit-helper";
  fs::create_directories(alone.parent_path());
  fs::copy_file(helperBinary(), alone);
  HelperProcess helper(alone.string(), environment());
  EXPECT_EQ(identifiers(helper, "image"), images);
  const std::string rendered = render(helper, images[0], 32);
  EXPECT_NE(rendered.find(R"("code":"internal")"), std::string::npos) << rendered;
  EXPECT_NE(rendered.find("vek-photokit-media.so could not be loaded"), std::string::npos) << rendered;
  const std::string exported = exportVideo(helper, videos[0]);
  EXPECT_NE(exported.find("vek-photokit-export.so could not be loaded"), std::string::npos) << exported;
  EXPECT_EQ(helper.request(deleteRequest(7, {images[1]})), R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_EQ(identifiers(helper, "image"), std::vector<std::string>{images[0]});
  // A file never probed needs the media module: the listing says so.
  makeImage(pictures() / "new.jpg", 8, 8);
  const std::string listing = helper.request(R"({"id":8,"cmd":"fetch_assets"})");
  EXPECT_NE(listing.find("vek-photokit-media.so could not be loaded"), std::string::npos) << listing;
  EXPECT_EQ(helper.finish(), 0);
}

}  // namespace
}  // namespace vek::testing

#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <simdjson.h>

#include "support/helper_process.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

std::string text(simdjson::dom::element value) { return std::string(std::string_view(value)); }

// A user's home with Pictures and Videos, driven through the helper binary
// exactly as a parent application would.
class HelperProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vek-protocol-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(home() / "Pictures");
    fs::create_directories(home() / "Videos");
    fs::create_directories(root_ / "tmp");
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path home() const { return root_ / "home"; }

  std::map<std::string, std::string> environment() const {
    return {{"HOME", home().string()},
            {"XDG_CONFIG_HOME", (home() / ".config").string()},
            {"XDG_DATA_HOME", (home() / ".local/share").string()},
            {"TMPDIR", (root_ / "tmp").string()},
            {"PATH", "/usr/bin:/bin"}};
  }

  static void run(const std::string& command) {
    ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
  }

  static void makeImage(const fs::path& path, int width, int height, time_t mtime) {
    run("vips black '" + path.string() + "' " + std::to_string(width) + " " + std::to_string(height) + " --bands 3");
    setMtime(path, mtime);
  }

  static void makeVideo(const fs::path& path, const std::string& creationTime) {
    run("ffmpeg -nostdin -y -f lavfi -i testsrc=size=64x48:rate=10:duration=1 -c:v mpeg4 -metadata creation_time=" +
        creationTime + " '" + path.string() + "'");
  }

  static void setMtime(const fs::path& path, time_t mtime) {
    utimbuf times{mtime, mtime};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
  }

  simdjson::dom::element parse(const std::string& reply) {
    simdjson::dom::element element;
    EXPECT_EQ(parser_.parse(reply).get(element), simdjson::SUCCESS) << reply;
    return element;
  }

  // The identifiers of a listing, in order.
  std::vector<std::string> identifiers(HelperProcess& helper, const std::string& kind) {
    std::vector<std::string> result;
    auto reply = parse(helper.request(R"({"id":1,"cmd":"fetch_assets","kind":")" + kind + R"("})"));
    for (auto asset : reply["ok"]["assets"].get_array()) {
      result.push_back(text(asset["localIdentifier"]));
    }
    return result;
  }

  fs::path root_;
  simdjson::dom::parser parser_;
};

TEST_F(HelperProtocolTest, ListsRendersExportsAndDeletesThroughTheProtocol) {
  makeImage(home() / "Pictures" / "older.jpg", 64, 48, 1500000000);
  makeImage(home() / "Pictures" / "newer.png", 30, 40, 1600000000);
  makeImage(home() / "Pictures" / ".hidden.jpg", 8, 8, 1700000000);
  makeVideo(home() / "Videos" / "clip.mp4", "2019-07-24T08:25:57.000000Z");

  HelperProcess helper(helperBinary(), environment());
  auto images = parse(helper.request(R"({"id":1,"cmd":"fetch_assets"})"));
  auto assets = images["ok"]["assets"].get_array();
  ASSERT_EQ(assets.size(), 2u);
  auto newer = assets.at(0);
  EXPECT_EQ(int64_t(newer["pixelWidth"]), 30);
  EXPECT_EQ(int64_t(newer["pixelHeight"]), 40);
  EXPECT_EQ(uint64_t(newer["creationDateMs"]), 1600000000000u);
  EXPECT_EQ(std::string_view(newer["kind"]), "image");
  const std::string newerId = text(newer["localIdentifier"]);
  const std::string olderId = text(assets.at(1)["localIdentifier"]);
  EXPECT_EQ(uint64_t(assets.at(1)["creationDateMs"]), 1500000000000u);

  auto videos = parse(helper.request(R"({"id":2,"cmd":"fetch_assets","kind":"video"})"))["ok"]["assets"].get_array();
  ASSERT_EQ(videos.size(), 1u);
  auto clip = videos.at(0);
  EXPECT_EQ(std::string_view(clip["kind"]), "video");
  EXPECT_EQ(uint64_t(clip["creationDateMs"]), 1563956757000u);
  EXPECT_NEAR(double(clip["durationSeconds"]), 1.0, 0.05);
  const std::string clipId = text(clip["localIdentifier"]);

  auto image = parse(helper.request(R"({"id":3,"cmd":"request_image_data","localIdentifier":")" + olderId +
                                    R"(","targetSize":32})"))["ok"];
  EXPECT_EQ(int64_t(image["width"]), 32);
  EXPECT_EQ(int64_t(image["height"]), 24);
  EXPECT_EQ(std::string_view(image["jpegBase64"]).substr(0, 4), "/9j/");

  auto exported =
      parse(helper.request(R"({"id":4,"cmd":"request_video_resource","localIdentifier":")" + clipId + R"("})"))["ok"];
  const fs::path movie = text(exported["tempPath"]);
  EXPECT_EQ(movie.parent_path(), root_ / "tmp");
  EXPECT_EQ(movie.filename().string().size(), 47u);
  struct stat info {};
  ASSERT_EQ(stat(movie.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  EXPECT_EQ(helper.request(R"({"id":5,"cmd":"delete_assets","localIdentifiers":[")" + olderId + R"(",")" + olderId +
                           R"(","nobody"]})"),
            R"({"id":5,"ok":{"deletedCount":1,"userCancelled":false}})");
  EXPECT_TRUE(fs::exists(home() / ".local/share/Trash/files/older.jpg"));
  EXPECT_TRUE(fs::exists(home() / ".local/share/Trash/info/older.jpg.trashinfo"));
  EXPECT_FALSE(fs::exists(home() / "Pictures" / "older.jpg"));
  EXPECT_EQ(identifiers(helper, "image"), std::vector<std::string>{newerId});
  EXPECT_EQ(helper.request(R"({"id":6,"cmd":"request_image_data","localIdentifier":")" + olderId + R"("})"),
            R"({"id":6,"err":{"code":"assetNotFound","message":"PHAsset not found"}})");

  EXPECT_EQ(helper.finish(), 0);
  EXPECT_EQ(helper.stderrText(), "");
}

TEST_F(HelperProtocolTest, IdentifiersSurviveARestartAndARename) {
  makeImage(home() / "Pictures" / "a.jpg", 16, 16, 1500000000);
  makeImage(home() / "Pictures" / "b.jpg", 16, 16, 1600000000);
  std::vector<std::string> first;
  {
    HelperProcess helper(helperBinary(), environment());
    first = identifiers(helper, "image");
  }
  ASSERT_EQ(first.size(), 2u);
  fs::create_directories(home() / "Pictures" / "moved");
  fs::rename(home() / "Pictures" / "a.jpg", home() / "Pictures" / "moved" / "renamed.jpg");
  HelperProcess helper(helperBinary(), environment());
  EXPECT_EQ(identifiers(helper, "image"), first);
}

TEST_F(HelperProtocolTest, RenderFailuresAreAnsweredAndTheNextRequestServed) {
  makeImage(home() / "Pictures" / "good.jpg", 16, 16, 1500000000);
  HelperProcess helper(helperBinary(), environment());
  const std::vector<std::string> ids = identifiers(helper, "image");
  ASSERT_EQ(ids.size(), 1u);
  // The file turns to garbage after it was listed.
  std::ofstream(home() / "Pictures" / "good.jpg", std::ios::trunc) << "not a jpeg";
  EXPECT_EQ(helper.request(R"({"id":7,"cmd":"request_image_data","localIdentifier":")" + ids[0] + R"("})"),
            R"({"id":7,"err":{"code":"badRequest","message":"failed to render JPEG"}})");
  EXPECT_EQ(helper.request(R"({"id":8,"cmd":"request_video_resource","localIdentifier":")" + ids[0] + R"("})"),
            R"({"id":8,"err":{"code":"badRequest","message":"asset is not a video"}})");
}

}  // namespace
}  // namespace vek::testing

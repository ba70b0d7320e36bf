#include <cmath>
#include <tuple>

#include "loop/dispatch.hpp"
#include "platform/linux/helper_home.hpp"
#include "platform/linux/linux_photo_library.hpp"
#include "platform/linux/scoped_environment.hpp"
#include "support/memory_photo_library.hpp"

namespace vek::testing {
namespace {

// The assets each library under contract holds: name, media type, width,
// height, date.
const std::tuple<const char*, int64_t, int, int, time_t> kMade[] = {
    {"older.jpg", kMediaTypeImage, 64, 48, 1500000000},
    {"newer.png", kMediaTypeImage, 30, 40, 1600000000},
    {"clip.mp4", kMediaTypeVideo, 64, 48, 1550000000},  // one second long
};

enum class Library { kInMemory, kLinux };

// What the photo operations see of the in-memory library the core's tests
// use and of the Linux library: the same replies to the same requests, so
// that the stand-in answers as the real library does.
class PhotoLibraryContractTest : public HelperHome, public ::testing::WithParamInterface<Library> {
 protected:
  void SetUp() override {
    HelperHome::SetUp();
    library_ = GetParam() == Library::kInMemory ? inMemory() : onLinux();
  }

  std::unique_ptr<PhotoLibraryPort> inMemory() const {
    auto library = std::make_unique<MemoryPhotoLibrary>();
    for (const auto& [name, type, width, height, date] : kMade) {
      const std::string identifier = std::string(name) + "/L0/001";
      library->assets.push_back({identifier, type, uint64_t(width), uint64_t(height), double(date),
                                 type == kMediaTypeVideo ? 1.0 : 0.0});
      library->images[identifier] = {ImageSize{double(width), double(height)}};
    }
    return library;
  }

  // Files in the home's folders, found through the environment as the
  // helper finds them.
  std::unique_ptr<PhotoLibraryPort> onLinux() {
    for (const auto& [name, type, width, height, date] : kMade) {
      const Path path = (type == kMediaTypeImage ? pictures() : videos()) / name;
      if (type == kMediaTypeImage) makeImage(path, width, height);
      if (type == kMediaTypeVideo) makeVideo(path, 1, std::to_string(width) + "x" + std::to_string(height));
      setMtime(path, date);
    }
    // The helper's environment; without read-ahead, whose workers would be
    // this test program started again.
    variables_ = environment();
    variables_["VEK_RENDER_READ_AHEAD"] = "0";
    for (const auto& [name, value] : variables_) {
      environment_.push_back(std::make_unique<ScopedEnvironment>(name.c_str(), value.c_str()));
    }
    return linux_library::makeLinuxPhotoLibrary();
  }

  std::string reply(const std::string& line) {
    std::optional<Request> request = RequestDecoder().decode(line);
    return request ? dispatch(*request, *library_) : "undecodable";
  }
  std::string render(const std::string& identifier, int box) {
    return reply(R"({"id":5,"cmd":"request_image_data","localIdentifier":")" + identifier + R"(","targetSize":)" +
                 std::to_string(box) + "}");
  }

  // Kind, width, height, date in milliseconds and duration in tenths of a
  // second of each asset listed, and their identifiers.
  using Row = std::tuple<std::string, int64_t, int64_t, int64_t, long>;
  std::vector<Row> listing(const std::string& kind, std::vector<std::string>* identifiers = nullptr) {
    std::vector<Row> rows;
    for (auto asset :
         parse(reply(R"({"id":1,"cmd":"fetch_assets","kind":")" + kind + R"("})"))["ok"]["assets"].get_array()) {
      rows.emplace_back(text(asset["kind"]), int64_t(asset["pixelWidth"]), int64_t(asset["pixelHeight"]),
                        int64_t(asset["creationDateMs"]), std::lround(double(asset["durationSeconds"]) * 10));
      if (identifiers) identifiers->push_back(text(asset["localIdentifier"]));
    }
    return rows;
  }

  std::map<std::string, std::string> variables_;  // named by environment_
  std::vector<std::unique_ptr<ScopedEnvironment>> environment_;
  std::unique_ptr<PhotoLibraryPort> library_;
};

TEST_P(PhotoLibraryContractTest, ListsNewestFirstAndRendersIntoTheBoxNeverEnlarged) {
  std::vector<std::string> images;
  std::vector<std::string> videos;
  ASSERT_EQ(listing("image", &images),
            (std::vector<Row>{{"image", 30, 40, 1600000000000, 0}, {"image", 64, 48, 1500000000000, 0}}));
  ASSERT_EQ(listing("video", &videos), (std::vector<Row>{{"video", 64, 48, 1550000000000, 10}}));
  const std::tuple<std::string, int, int64_t, int64_t> cases[] = {
      {images[0], 20, 15, 20},   {images[1], 32, 32, 24}, {images[1], 0, 64, 48},
      {images[1], 1000, 64, 48}, {videos[0], 32, 32, 24},
  };
  for (const auto& [identifier, box, width, height] : cases) {
    SCOPED_TRACE(identifier + " at " + std::to_string(box));
    auto image = parse(render(identifier, box))["ok"];
    EXPECT_EQ(std::pair(int64_t(image["width"]), int64_t(image["height"])), std::pair(width, height));
    EXPECT_EQ(text(image["jpegBase64"]).substr(0, 4), "/9j/");
  }
}

TEST_P(PhotoLibraryContractTest, ADeletedOrUnknownAssetIsNotFound) {
  std::vector<std::string> images;
  listing("image", &images);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(reply(deleteRequest(7, {images[1], images[1], "nobody/L0/001"})),
            R"({"id":7,"ok":{"deletedCount":1,"userCancelled":false}})");
  std::vector<std::string> left;
  EXPECT_EQ(listing("image", &left), (std::vector<Row>{{"image", 30, 40, 1600000000000, 0}}));
  EXPECT_EQ(left, std::vector<std::string>{images[0]});
  const std::string notFound = R"(,"err":{"code":"assetNotFound","message":"PHAsset not found"}})";
  EXPECT_EQ(render(images[1], 32), R"({"id":5)" + notFound);
  EXPECT_EQ(reply(R"({"id":6,"cmd":"request_video_resource","localIdentifier":"nobody/L0/001"})"),
            R"({"id":6)" + notFound);
}

INSTANTIATE_TEST_SUITE_P(Libraries, PhotoLibraryContractTest, ::testing::Values(Library::kInMemory, Library::kLinux),
                         [](const ::testing::TestParamInfo<Library>& info) {
                           return info.param == Library::kInMemory ? "InMemory" : "Linux";
                         });

}  // namespace
}  // namespace vek::testing

#include <cstdint>
#include <set>

#include "platform/linux/helper_home.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

// An MP4 whose chunk offset table points past the end of the file.
void breakIndex(const fs::path& movie) {
  std::string bytes = readAll(movie);
  const size_t table = bytes.find("stco");
  ASSERT_NE(table, std::string::npos);
  const size_t count = (uint8_t(bytes[table + 8]) << 24) | (uint8_t(bytes[table + 9]) << 16) |
                       (uint8_t(bytes[table + 10]) << 8) | uint8_t(bytes[table + 11]);
  for (size_t i = 0; i < count * 4; ++i) bytes[table + 12 + i] = '\x7F';
  writeAll(movie, bytes);
}

// Damaged files of every kind beside good ones, driven through the binary.
// As root the helper runs as nobody, so that file modes mean what they say.
class HostileMediaTest : public HelperHome {
 protected:
  std::unique_ptr<HelperProcess> startHelper() {
    if (geteuid() != 0) return std::make_unique<HelperProcess>(helperBinary(), environment());
    const fs::path wrapper = root_ / "as-nobody";
    writeAll(wrapper, "#!/bin/sh\nexec /usr/bin/setpriv --reuid=" + std::to_string(kNobody) +
                          " --regid=" + std::to_string(kNobody) + " --clear-groups -- " + helperBinary() + "\n");
    chmod(wrapper.c_str(), 0755);
    run("chown -hR " + std::to_string(kNobody) + ":" + std::to_string(kNobody) + " " + quoted(root_));
    return std::make_unique<HelperProcess>(wrapper.string(), environment());
  }

  // The listing's assets by their displayed size, "WxH".
  std::multiset<std::string> sizes(HelperProcess& helper, const std::string& kind) {
    std::multiset<std::string> result;
    auto reply = parse(helper.request(R"({"id":1,"cmd":"fetch_assets","kind":")" + kind + R"("})"));
    for (auto asset : reply["ok"]["assets"].get_array()) {
      result.insert(std::to_string(int64_t(asset["pixelWidth"])) + "x" + std::to_string(int64_t(asset["pixelHeight"])));
    }
    return result;
  }
};

TEST_F(HostileMediaTest, ListingKeepsEveryReadableFileAmongDamagedOnes) {
  makeImage(pictures() / "good.jpg", 40, 30);
  makeVideo(videos() / "good.mp4", 1);
  const std::string jpeg = readAll(pictures() / "good.jpg");
  writeAll(pictures() / "empty.jpg", "");
  writeAll(pictures() / "random.png", randomBytes(5000, 1));
  writeAll(pictures() / "random.heic", randomBytes(5000, 2));
  writeAll(videos() / "random.mp4", randomBytes(20000, 3));
  writeAll(videos() / "empty.mov", "");
  writeAll(pictures() / "header-only.jpg", jpeg.substr(0, 2));
  writeAll(pictures() / "lying-exif.jpg", jpeg);
  run("exiftool -q -overwrite_original -ExifImageWidth=65535 -ExifImageHeight=65535 " +
      quoted(pictures() / "lying-exif.jpg"));
  const std::string weird = std::string("new\nline \xff\xfe") + ".jpg";
  fs::copy_file(pictures() / "good.jpg", pictures() / weird);
  fs::create_symlink(pictures() / "a.jpg", pictures() / "b.jpg");
  fs::create_symlink(pictures() / "b.jpg", pictures() / "a.jpg");
  fs::create_directories(pictures() / "locked");
  makeImage(pictures() / "locked" / "inside.jpg", 20, 20);
  makeImage(pictures() / "unreadable.jpg", 24, 24);

  auto helper = startHelper();
  chmod((pictures() / "locked").c_str(), 0);
  chmod((pictures() / "unreadable.jpg").c_str(), 0);
  // The EXIF block's claim of 65535 pixels is not the picture's size.
  EXPECT_EQ(sizes(*helper, "image"), (std::multiset<std::string>{"40x30", "40x30", "40x30"}));
  EXPECT_EQ(sizes(*helper, "video"), (std::multiset<std::string>{"64x48"}));

  for (const std::string& id : identifiers(*helper, "image")) {
    auto image = parse(render(*helper, id, 0))["ok"];
    EXPECT_LE(int64_t(image["width"]), 40);
    EXPECT_EQ(std::string_view(image["jpegBase64"]).substr(0, 4), "/9j/");
  }
  EXPECT_EQ(helper->request(deleteRequest(9, identifiers(*helper, "image"))),
            R"({"id":9,"ok":{"deletedCount":3,"userCancelled":false}})");
  EXPECT_TRUE(fs::exists(trashFiles() / weird));
  EXPECT_TRUE(fs::exists(pictures() / "unreadable.jpg"));
  EXPECT_TRUE(identifiers(*helper, "image").empty());
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_EQ(helper->stderrText(), "");
}

// Files damaged after the listing, and a whole picture, valid and small on
// disk, of 225 million pixels.
TEST_F(HostileMediaTest, DamagedAndOversizedFilesAnswerTheirErrorsAndTheNextRequestIsServed) {
  // Listed newest first, so the modification times give the order.
  const char* imageNames[] = {"intact.webp", "scrambled.jpg", "emptied.jpg", "large.png"};
  for (int i = 0; i < 3; ++i) makeImage(pictures() / imageNames[i], 64, 48);
  run("vips black " + quoted(pictures() / "large.png[bitdepth=1]") + " 15000 15000");
  makeVideo(videos() / "broken-index.mp4", 2);
  auto helper = startHelper();
  for (int i = 0; i < 4; ++i) setMtime(pictures() / imageNames[i], 5000 - i);
  setMtime(videos() / "broken-index.mp4", 5000);
  const std::vector<std::string> images = identifiers(*helper, "image");
  const std::vector<std::string> movies = identifiers(*helper, "video");
  ASSERT_EQ(images.size(), 4u);
  ASSERT_EQ(movies.size(), 1u);
  EXPECT_EQ(sizes(*helper, "image").count("15000x15000"), 1u);

  // Damaged in place after the listing, as a failing disk or a half-finished
  // copy would leave them, their modification times put back. A file whose
  // size changed is no longer the one catalogued, and is not found until
  // listed again; the others still lead to these files.
  writeAll(pictures() / "emptied.jpg", "");
  {
    std::string bytes = readAll(pictures() / "scrambled.jpg");
    const std::string noise = randomBytes(bytes.size() - 700, 4);
    bytes.replace(700, noise.size(), noise);
    writeAll(pictures() / "scrambled.jpg", bytes);
  }
  breakIndex(videos() / "broken-index.mp4");
  for (int i = 0; i < 4; ++i) setMtime(pictures() / imageNames[i], 5000 - i);
  setMtime(videos() / "broken-index.mp4", 5000);

  const std::string renderFailed = R"({"id":5,"err":{"code":"badRequest","message":"failed to render JPEG"}})";
  const std::string notFound = R"({"id":5,"err":{"code":"assetNotFound","message":"PHAsset not found"}})";
  const std::string renderAnswers[] = {"", renderFailed, notFound, renderFailed};
  const long before = memoryKb(helper->pid(), "VmHWM");
  for (int box : {0, 32}) {
    EXPECT_EQ(parse(render(*helper, images[0], box))["ok"]["width"].get_int64().value_unsafe(), box ? 32 : 64);
    for (size_t i = 1; i < images.size(); ++i) EXPECT_EQ(render(*helper, images[i], box), renderAnswers[i]) << imageNames[i];
  }
  // The large picture is refused without being decoded: a single 8-bit band
  // of it would take 225 MB.
  const long peak = memoryKb(helper->pid(), "VmHWM");
  if (kResidentSizeIsMeaningful) { EXPECT_LT(peak - before, 100 * 1024) << "peak from " << before << " kB"; }
  EXPECT_EQ(parse(exportVideo(*helper, movies[0]))["err"]["code"].get_string().value_unsafe(), "badRequest");
  EXPECT_EQ(render(*helper, movies[0], 32), renderFailed);
  EXPECT_TRUE(exportedMovies().empty()) << "a failed export left " << exportedMovies().front();
  EXPECT_EQ(identifiers(*helper, "image").size(), 2u);
  EXPECT_EQ(helper->finish(), 0);
  EXPECT_EQ(helper->stderrText(), "");
}

}  // namespace
}  // namespace vek::testing

#include "platform/linux/library/live_photos.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vek::linux_library {
namespace {

constexpr char kA[] = "1745E022-9712-43C7-B024-F308EC6413CB";
constexpr char kB[] = "6C2E4D0A-3F1B-4E8C-9A7D-0B5F1E2C3D4A";

struct File {
  std::string path;
  std::string contentIdentifier;
};

// A file's kind by its extension, as the listing would have probed it.
MediaKind kindOf(const std::string& path) {
  const std::string extension = path.substr(path.rfind('.') + 1);
  return extension == "MOV" || extension == "mov" || extension == "mp4" ? MediaKind::kVideo : MediaKind::kImage;
}

// The pairs found among `files`, as (still, movie) paths.
std::set<std::pair<std::string, std::string>> pairedPaths(const std::vector<File>& files) {
  std::vector<LivePhotoFile> listing;
  for (const File& file : files) listing.push_back({file.path, kindOf(file.path), file.contentIdentifier});
  std::set<std::pair<std::string, std::string>> paths;
  for (const LivePhotoPair& pair : pairLivePhotos(listing)) paths.emplace(files[pair.still].path, files[pair.movie].path);
  return paths;
}

TEST(LivePhotosTest, PairsOnlyByIdentifierWithinAFolder) {
  struct Case {
    const char* what;
    std::vector<File> files;
    std::set<std::pair<std::string, std::string>> expected;
  } const cases[] = {
      {"same name", {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.MOV", kA}}, {{"/p/IMG_1234.HEIC", "/p/IMG_1234.MOV"}}},
      {"HEVC movie", {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234_HEVC.MOV", kA}},
       {{"/p/IMG_1234.HEIC", "/p/IMG_1234_HEVC.MOV"}}},
      {"exported by identifier", {{"/p/1745E022.heic", kA}, {"/p/1745E022_3.mov", kA}},
       {{"/p/1745E022.heic", "/p/1745E022_3.mov"}}},
      {"a lone pair whatever its names", {{"/p/holiday.jpg", kA}, {"/p/clip.mp4", kA}},
       {{"/p/holiday.jpg", "/p/clip.mp4"}}},
      {"another identifier", {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.MOV", kB}}, {}},
      {"movie without one", {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.MOV", ""}}, {}},
      {"names alone", {{"/p/IMG_1234.HEIC", ""}, {"/p/IMG_1234.MOV", ""}}, {}},
      {"another folder", {{"/p/IMG_1234.HEIC", kA}, {"/v/IMG_1234.MOV", kA}}, {}},
      {"a subfolder", {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234/IMG_1234.MOV", kA}}, {}},
      {"two stills", {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.JPG", kA}}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(pairedPaths(c.files), c.expected) << c.what;
}

TEST(LivePhotosTest, SeveralHalvesOfOneIdentifierPairByBaseNameOrNotAtAll) {
  struct Case {
    const char* what;
    std::vector<File> files;
    std::set<std::pair<std::string, std::string>> expected;
  } const cases[] = {
      {"edited copy beside the original",
       {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.MOV", kA}, {"/p/IMG_E1234.HEIC", kA}, {"/p/IMG_E1234.MOV", kA}},
       {{"/p/IMG_1234.HEIC", "/p/IMG_1234.MOV"}, {"/p/IMG_E1234.HEIC", "/p/IMG_E1234.MOV"}}},
      {"copied still",
       {{"/p/IMG_1234 (1).HEIC", kA}, {"/p/IMG_1234.HEIC", kA}, {"/p/img_1234_hevc.mov", kA}},
       {{"/p/IMG_1234.HEIC", "/p/img_1234_hevc.mov"}}},
      {"copied movie",
       {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.MOV", kA}, {"/p/IMG_1234 (1).MOV", kA}},
       {{"/p/IMG_1234.HEIC", "/p/IMG_1234.MOV"}}},
      {"exported by identifier, with a copy",
       {{"/p/1745E022.heic", kA}, {"/p/1745E022 (1).heic", kA}, {"/p/1745E022_3.mov", kA}},
       {{"/p/1745E022.heic", "/p/1745E022_3.mov"}}},
      {"no name in common", {{"/p/a.HEIC", kA}, {"/p/b.MOV", kA}, {"/p/c.MOV", kA}}, {}},
      {"two stills could own the movie", {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.JPG", kA}, {"/p/IMG_1234.MOV", kA}}, {}},
      {"names differing only in case", {{"/p/IMG_1234.HEIC", kA}, {"/p/img_1234.heic", kA}, {"/p/IMG_1234.MOV", kA}}, {}},
      {"two movies could belong to the still",
       {{"/p/IMG_1234.HEIC", kA}, {"/p/IMG_1234.MOV", kA}, {"/p/IMG_1234_HEVC.MOV", kA}}, {}},
      {"only a movie's name loses its suffix", {{"/p/IMG_3.HEIC", kA}, {"/p/IMG.MOV", kA}, {"/p/IMG.JPG", kA}},
       {{"/p/IMG.JPG", "/p/IMG.MOV"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(pairedPaths(c.files), c.expected) << c.what;
}

TEST(LivePhotosTest, PairsOfAWholeListingComeInTheOrderOfTheirStills) {
  std::vector<std::string> paths, identifiers;
  // Each identifier in several folders, movies before and after their stills.
  for (int i = 0; i < 50; ++i) {
    const std::string folder = "/p/" + std::to_string(i % 7);
    const std::string identifier = "ID-" + std::to_string(i % 13);
    paths.push_back(folder + "/IMG_" + std::to_string(i) + (i % 2 ? ".MOV" : ".HEIC"));
    paths.push_back(folder + "/IMG_" + std::to_string(i) + (i % 2 ? ".HEIC" : ".MOV"));
    identifiers.insert(identifiers.end(), 2, identifier);
  }
  std::vector<LivePhotoFile> listing;
  for (size_t i = 0; i < paths.size(); ++i) listing.push_back({paths[i], kindOf(paths[i]), identifiers[i]});
  std::vector<LivePhotoPair> expected;
  for (size_t i = 0; i < paths.size(); i += 2) expected.push_back(i % 4 ? LivePhotoPair{i + 1, i} : LivePhotoPair{i, i + 1});
  EXPECT_EQ(pairLivePhotos(listing), expected);
}

}  // namespace
}  // namespace vek::linux_library

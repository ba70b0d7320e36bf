#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <simdjson.h>
#include <sqlite3.h>

#include "support/helper_process.hpp"

namespace vek::testing {

// VEK_SANITIZED: whether the build has the sanitizers in (CMake's
// VEK_SANITIZE).
inline constexpr bool kSanitizedBuild = VEK_SANITIZED;

// Under AddressSanitizer freed memory waits in a quarantine and every block
// carries red zones, so a process's resident size says little about what it
// keeps; that build checks for leaks instead.
inline constexpr bool kResidentSizeIsMeaningful = !kSanitizedBuild;
// The sanitized helper has its media code linked in rather than in modules.
inline constexpr bool kHelperLoadsModules = !kSanitizedBuild;

inline std::string readAll(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

inline void writeAll(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The names in a folder; none when it cannot be read.
inline std::set<std::string> namesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) names.insert(entry.path().filename());
  return names;
}

// Random bytes, the same for the same seed.
inline std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = char(random());
  return bytes;
}

// Runs a shell command quietly; fails the test when it does not succeed.
inline void run(const std::string& command) {
  ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

// Appended rather than prepended to: GCC 12 at -O2 and above sees an
// overlap that is not there in a short literal inserted before a string
// (its -Wrestrict fault 105651).
inline std::string quoted(const std::filesystem::path& path) {
  std::string text(1, '\'');
  text += path.string();
  text += '\'';
  return text;
}

inline void setMtime(const std::filesystem::path& path, time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Runs SQL `statements` on a catalog; gives the first column of the last
// row they returned, or "".
inline std::string sql(const std::filesystem::path& catalog, const std::string& statements) {
  sqlite3* db = nullptr;
  std::string last;
  auto keep = [](void* out, int, char** values, char**) {
    *static_cast<std::string*>(out) = values[0] ? values[0] : "";
    return 0;
  };
  int code = sqlite3_open(catalog.c_str(), &db);
  if (code == SQLITE_OK) code = sqlite3_exec(db, statements.c_str(), keep, &last, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(code, SQLITE_OK) << statements;
  return last;
}

// A black picture, in the format the name's extension says.
inline void makeImage(const std::filesystem::path& path, int width, int height) {
  run("vips black " + quoted(path) + " " + std::to_string(width) + " " + std::to_string(height) + " --bands 3");
}

// A test pattern of `seconds` at 10 frames a second, MPEG-4 Part 2 unless
// `options` say otherwise.
inline void makeVideo(const std::filesystem::path& path, double seconds, const std::string& size = "64x48",
                      const std::string& options = "") {
  run("ffmpeg -nostdin -y -f lavfi -i testsrc=size=" + size + ":rate=10:duration=" + std::to_string(seconds) +
      " -c:v mpeg4 " + options + " " + quoted(path));
}

// A second of movie with the content identifier of the samples' Live Photo
// still (IMG_2927.HEIC) in its QuickTime metadata, as a phone writes it.
inline void makeLiveMovie(const std::filesystem::path& path) {
  makeVideo(path, 1, "64x48",
            "-movflags use_metadata_tags "
            "-metadata com.apple.quicktime.content.identifier=1745E022-9712-43C7-B024-F308EC6413CB");
}

// A fresh folder for each test, removed afterwards with all it holds;
// folders a test made unreadable are opened up again first, so that the
// tree can go even when the tests do not run as root.
class TempFolder : public ::testing::Test {
 protected:
  using Path = std::filesystem::path;

  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vek-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = std::filesystem::canonical(pattern);
  }
  void TearDown() override {
    std::error_code ignored;
    if (root_.empty() || !std::filesystem::exists(root_, ignored)) return;
    for (auto it = std::filesystem::recursive_directory_iterator(
             root_, std::filesystem::directory_options::skip_permission_denied, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored)) chmod(it->path().c_str(), 0700);
    }
    chmod(root_.c_str(), 0700);
    std::filesystem::remove_all(root_, ignored);
  }

  Path root_;
};

// A user's home with Pictures and Videos in a fresh temporary folder, the
// environment a parent gives the helper, and the tools the process tests
// share: requests, raw children that can be killed mid-request, and
// readings of a child's memory.
class HelperHome : public TempFolder {
 protected:
  void SetUp() override {
    TempFolder::SetUp();
    std::filesystem::create_directories(pictures());
    std::filesystem::create_directories(videos());
    std::filesystem::create_directories(temporary());
  }

  Path home() const { return root_ / "home"; }
  Path pictures() const { return home() / "Pictures"; }
  Path videos() const { return home() / "Videos"; }
  Path temporary() const { return root_ / "tmp"; }
  Path trashFiles() const { return home() / ".local/share/Trash/files"; }
  Path catalogPath() const { return home() / ".local/share/vek-photokit-helper/catalog.sqlite3"; }

  std::map<std::string, std::string> environment() const {
    return {{"HOME", home().string()},
            {"XDG_CONFIG_HOME", (home() / ".config").string()},
            {"XDG_DATA_HOME", (home() / ".local/share").string()},
            {"TMPDIR", temporary().string()},
            {"PATH", "/usr/bin:/bin"}};
  }

  // Requests with fixed ids: 5 to render, 6 to export.
  static std::string render(HelperProcess& helper, const std::string& id, int box) {
    return helper.request(R"({"id":5,"cmd":"request_image_data","localIdentifier":")" + id + R"(","targetSize":)" +
                          std::to_string(box) + "}");
  }
  static std::string exportVideo(HelperProcess& helper, const std::string& id) {
    return helper.request(R"({"id":6,"cmd":"request_video_resource","localIdentifier":")" + id + R"("})");
  }
  static std::string deleteRequest(int id, const std::vector<std::string>& identifiers) {
    std::string line = R"({"id":)" + std::to_string(id) + R"(,"cmd":"delete_assets","localIdentifiers":[)";
    for (size_t i = 0; i < identifiers.size(); ++i) line += (i ? ",\"" : "\"") + identifiers[i] + "\"";
    return line + "]}";
  }
  static std::string text(simdjson::dom::element value) { return std::string(std::string_view(value)); }

  simdjson::dom::element parse(const std::string& reply) {
    simdjson::dom::element element;
    EXPECT_EQ(parser_.parse(reply).get(element), simdjson::SUCCESS) << reply.substr(0, 300);
    return element;
  }

  // The identifiers of a listing of `kind`, in order; fails the test when
  // the listing is not answered with a list.
  std::vector<std::string> identifiers(HelperProcess& helper, const std::string& kind) {
    std::vector<std::string> result;
    simdjson::dom::parser parser;
    simdjson::dom::array assets;
    const std::string reply = helper.request(R"({"id":1,"cmd":"fetch_assets","kind":")" + kind + R"("})");
    if (parser.parse(reply)["ok"]["assets"].get(assets) != simdjson::SUCCESS) {
      ADD_FAILURE() << "no listing: " << reply.substr(0, 300);
      return result;
    }
    for (auto asset : assets) result.emplace_back(std::string_view(asset["localIdentifier"]));
    return result;
  }

  // The files whose names start with "vek-pk-" in the temporary directory.
  std::vector<Path> exportedMovies() const {
    std::vector<Path> movies;
    for (const auto& entry : std::filesystem::directory_iterator(temporary())) {
      if (entry.path().filename().string().rfind("vek-pk-", 0) == 0) movies.push_back(entry.path());
    }
    return movies;
  }

  // A field of /proc/PID/status in kilobytes (VmRSS, VmHWM), or -1.
  static long memoryKb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
  }

  simdjson::dom::parser parser_;
};

}  // namespace vek::testing

#include <dirent.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/opened_files.hpp"
#include "platform/linux/render/render.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

enum Outcome { kServed, kLimitDoesNotBind, kNoFirstRender, kUnservedAfter, kNoDecodeThread };

bool renders(const fs::path& path) {
  const std::shared_ptr<PlatformImage> image =
      withOpened(path, [](const OpenedFile& file) { return renderImageFile(file, 64); });
  const std::optional<std::string> jpeg = image ? image->jpegRepresentation(0.85) : std::nullopt;
  return jpeg && !jpeg->empty();
}

bool hasThreadNamed(const std::string& name) {
  DIR* tasks = opendir("/proc/self/task");
  bool found = false;
  while (dirent* task = tasks != nullptr ? readdir(tasks) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + task->d_name + "/comm");
    std::string line;
    found = found || (std::getline(comm, line) && line == name);
  }
  if (tasks != nullptr) closedir(tasks);
  return found;
}

bool threadsCanStart() {
  try {
    std::thread([] {}).join();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Runs in a child process, so that its user and limits stay its own.
Outcome rendersAroundAMomentWithoutThreads(const fs::path& folder) {
  // RLIMIT_NPROC binds no process of root: as root the child becomes a
  // user of its own, whom no other process counts against.
  if (geteuid() == 0) {
    const uid_t user = 40000 + getpid() % 20000;
    if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0) return kLimitDoesNotBind;
  }
  // The media libraries' own threads start with the first render.
  if (!renders(folder / "first.png")) return kNoFirstRender;
  rlimit limit{};
  getrlimit(RLIMIT_NPROC, &limit);
  const rlim_t usual = limit.rlim_cur;
  limit.rlim_cur = 1;
  setrlimit(RLIMIT_NPROC, &limit);
  if (threadsCanStart()) return kLimitDoesNotBind;
  // The decode thread cannot start, and the photo is decoded without it;
  // whether it is served depends on whether libvips needs a new thread of
  // its own too, which varies from one render to the next.
  renders(folder / "photo.jpg");
  limit.rlim_cur = usual;
  setrlimit(RLIMIT_NPROC, &limit);
  if (!renders(folder / "photo.jpg")) return kUnservedAfter;
  return hasThreadNamed("vek-decode") ? kServed : kNoDecodeThread;
}

TEST(DecodeThreadTest, AMomentWithoutThreadsCostsOnlyTheRendersMadeDuringIt) {
  std::string pattern = (fs::temp_directory_path() / "vek-threads-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path folder = pattern;
  chmod(folder.c_str(), 0755);
  // Made by the vips tool, so that this process starts no thread before
  // it forks.
  ASSERT_EQ(std::system(("vips black " + (folder / "first.png").string() + " 300 200 --bands 3 && vips black " +
                         (folder / "photo.jpg").string() + " 1200 900 --bands 3")
                            .c_str()),
            0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(rendersAroundAMomentWithoutThreads(folder));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  fs::remove_all(folder);
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
  if (WEXITSTATUS(status) == kLimitDoesNotBind) {
    GTEST_SKIP() << "RLIMIT_NPROC does not bind here: the test needs a user without CAP_SYS_RESOURCE and "
                    "CAP_SYS_ADMIN, or root to become one";
  }
  EXPECT_EQ(WEXITSTATUS(status), kServed) << "outcome " << WEXITSTATUS(status);
}

}  // namespace
}  // namespace vek::linux_library

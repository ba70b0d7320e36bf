#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/opened_files.hpp"
#include "platform/linux/render/render.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

enum Outcome { kServed, kLimitDoesNotBind, kNoFirstRender, kUnservedAfter, kNoDecodeThread };

bool renders(const fs::path& path) {
  const auto image = withOpened(path, [](const OpenedFile& file) { return renderImageFile(file, 64); });
  const std::optional<std::string> jpeg = image ? image->jpegRepresentation(0.85) : std::nullopt;
  return jpeg && !jpeg->empty();
}

bool hasThreadNamed(const std::string& name) {
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::string line;
    if (std::getline(std::ifstream(task.path() / "comm"), line) && line == name) return true;
  }
  return false;
}

// In a child process, whose user and limits are its own. RLIMIT_NPROC binds
// no process of root: as root the child first becomes a user no other
// process counts against.
Outcome rendersAroundAMomentWithoutThreads(const fs::path& folder) {
  const uid_t user = 40000 + getpid() % 20000;
  if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)) {
    return kLimitDoesNotBind;
  }
  // The media libraries' own threads start with the first render.
  if (!renders(folder / "first.png")) return kNoFirstRender;
  rlimit limit{};
  getrlimit(RLIMIT_NPROC, &limit);
  const rlim_t usual = limit.rlim_cur;
  limit.rlim_cur = 1;
  setrlimit(RLIMIT_NPROC, &limit);
  try {
    std::thread([] {}).join();
    return kLimitDoesNotBind;
  } catch (const std::system_error&) {
  }
  // The decode thread cannot start, and the photo is decoded without it;
  // whether it is served depends on whether libvips needs a thread of its
  // own too, which varies from one render to the next.
  renders(folder / "photo.jpg");
  limit.rlim_cur = usual;
  setrlimit(RLIMIT_NPROC, &limit);
  if (!renders(folder / "photo.jpg")) return kUnservedAfter;
  return hasThreadNamed("vek-decode") ? kServed : kNoDecodeThread;
}

constexpr const char* kFolderVariable = "VEK_TEST_RENDER_FOLDER";

TEST(DecodeThreadTest, AMomentWithoutThreadsCostsOnlyTheRendersMadeDuringIt) {
  if (const char* folder = std::getenv(kFolderVariable)) _exit(rendersAroundAMomentWithoutThreads(folder));
  std::string folder = (fs::temp_directory_path() / "vek-threads-XXXXXX").string();
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  // Made by the vips tool, so that this process starts no thread before it
  // forks.
  ASSERT_EQ(std::system(("vips black " + folder + "/first.png 300 200 --bands 3 && vips black " + folder +
                         "/photo.jpg 1200 900 --bands 3")
                            .c_str()),
            0);
  // The renders run in this test binary started afresh for this test alone:
  // a child merely forked from it would inherit the threads' locks of
  // earlier tests, held for ever.
  const std::string self = fs::read_symlink("/proc/self/exe");
  const std::string filter = "--gtest_filter=DecodeThreadTest.AMomentWithoutThreadsCostsOnlyTheRendersMadeDuringIt";
  const std::string variable = std::string(kFolderVariable) + "=" + folder;
  std::vector<char*> environment{const_cast<char*>(variable.c_str())};
  for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
  environment.push_back(nullptr);
  char* const arguments[] = {const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()), nullptr};
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);
    execve(self.c_str(), arguments, environment.data());
    _exit(127);
  }
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

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/helper_home.hpp"
#include "platform/linux/scoped_environment.hpp"
#include "platform/linux/trash/trash.hpp"

namespace vek::linux_library {
namespace {

namespace fs = std::filesystem;

constexpr int kCannotFilter = 3;

// Kills this process the moment it renames a file into the trash (a rename
// that must not replace anything), once every info file of its batch is
// written: the worst moment to die.
bool dieAtTheFirstMoveIntoTheTrash() {
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, RENAME_NOREPLACE, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{sizeof program / sizeof program[0], program};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

using testing::namesIn;
using InterruptedTrashTest = testing::TempFolder;

TEST_F(InterruptedTrashTest, TheNextMoveClearsTheInfoFilesOfAKilledOneAndNoOthers) {
  const fs::path root = root_;
  fs::create_directories(root / "Pictures");
  testing::ScopedEnvironment home("HOME", root.c_str());
  testing::ScopedEnvironment data("XDG_DATA_HOME", (root / "data").c_str());
  const TrashSettings settings = trashSettingsFromEnvironment();
  const fs::path trash = settings.homeTrash;
  std::vector<TrashItem> batch;
  for (int i = 0; i < 200; ++i) {
    const fs::path photo = root / "Pictures" / ("IMG_" + std::to_string(i) + ".jpg");
    std::ofstream(photo) << i;
    struct stat info {};
    ASSERT_EQ(stat(photo.c_str(), &info), 0);
    batch.push_back({photo.string(), stampOf(info)});
  }
  // Another program's entry that lost its file: not ours to clear.
  fs::create_directories(trash / "info");
  std::ofstream(trash / "info" / "theirs.jpg.trashinfo") << "[Trash Info]\nPath=/theirs.jpg\n";

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(dieAtTheFirstMoveIntoTheTrash() ? (moveToTrash(batch, settings) ? 1 : 0) : kCannotFilter);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotFilter) {
    GTEST_SKIP() << "seccomp filters cannot be installed here: the move cannot be stopped at the worst moment";
  }
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) << "status " << status;
  ASSERT_EQ(namesIn(trash / "info").size(), 201u);
  ASSERT_TRUE(namesIn(trash / "files").empty());

  const fs::path other = root / "Pictures" / "other.jpg";
  std::ofstream(other) << "other";
  struct stat info {};
  ASSERT_EQ(stat(other.c_str(), &info), 0);
  EXPECT_EQ(moveToTrash({{other.string(), stampOf(info)}}, settings), std::nullopt);
  EXPECT_EQ(namesIn(trash / "info"), (std::set<std::string>{"other.jpg.trashinfo", "theirs.jpg.trashinfo"}));
  EXPECT_EQ(namesIn(root / "Pictures").size(), 200u);
}

}  // namespace
}  // namespace vek::linux_library

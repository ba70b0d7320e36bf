#include <linux/ioprio.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/linux/helper_home.hpp"

namespace vek::testing {
namespace {

namespace fs = std::filesystem;

// Replies served from the render cache or rendered ahead, as the parent
// meets them: through the helper's replies, across helpers, edits,
// deletions and kills, always the bytes of a fresh render.
class RenderedRepliesTest : public HelperHome {
 protected:
  Path cacheFolder() const { return home() / ".cache/vek-photokit-helper"; }

  // Every reply rendered afresh on request.
  std::map<std::string, std::string> freshEnvironment() const {
    auto env = environment();
    env["VEK_RENDER_CACHE_MB"] = "0";
    env["VEK_RENDER_READ_AHEAD"] = "0";
    return env;
  }

  // A JPEG of one grey level, so that two of the same size still differ.
  void makeGrey(const Path& path, int width, int height, int level) {
    const Path plain = temporary() / "plain.v";
    makeImage(plain, width, height);
    run("vips linear " + quoted(plain) + " " + quoted(path) + " 1 " + std::to_string(level) + " --uchar");
  }

  // Every entry (three levels) below the cache folder, by path, with its inode and
  // modification time: an entry served is touched, one rewritten is a new
  // file.
  std::map<Path, std::pair<ino_t, int64_t>> entries() const {
    std::map<Path, std::pair<ino_t, int64_t>> found;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(cacheFolder(), ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
      struct stat info {};
      if (it.depth() != 2 || !it->is_regular_file() || stat(it->path().c_str(), &info) != 0) continue;
      found[it->path()] = {info.st_ino, info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec};
    }
    return found;
  }

  // The replies of a helper on `env` for every identifier at the box, in
  // the listing's order; `during` is called with the helper's pid after
  // each reply.
  std::vector<std::string> replies(const std::map<std::string, std::string>& env, int box,
                                   const std::function<void(pid_t)>& during = nullptr) {
    HelperProcess helper(helperBinary(), env);
    std::vector<std::string> ids = identifiers(helper, "image");
    for (const auto& id : identifiers(helper, "video")) ids.push_back(id);
    std::vector<std::string> lines;
    for (const std::string& id : ids) {
      lines.push_back(render(helper, id, box));
      if (during) during(helper.pid());
    }
    EXPECT_EQ(helper.finish(), 0);
    return lines;
  }

  // The fields of a /proc stat file from field 3 (the state) on, after the
  // name in parentheses; none when the process or thread has gone.
  static std::vector<std::string> statFields(const Path& stat) {
    const std::string text = readAll(stat);
    if (text.rfind(')') == std::string::npos) return {};
    std::istringstream in(text.substr(text.rfind(')') + 2));
    std::vector<std::string> fields;
    for (std::string field; in >> field;) fields.push_back(field);
    return fields;
  }

  // Whether each of the process's threads runs at the lowest CPU priority:
  // in the idle class (field 41), or at nice 19 (field 19); but for threads
  // named `except`.
  static std::vector<bool> lowestPriorityOfThreads(pid_t pid, const std::string& except = "") {
    std::vector<bool> lowest;
    std::error_code ignored;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
      if (!except.empty() && readAll(task.path() / "comm") == except + "\n") continue;
      const std::vector<std::string> fields = statFields(task.path() / "stat");
      if (fields.size() > 38) lowest.push_back(std::stoi(fields[38]) == SCHED_IDLE || std::stoi(fields[16]) == 19);
    }
    return lowest;
  }

  // The processes whose parent (field 4) is `pid`.
  static std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::vector<std::string> fields = statFields(entry.path() / "stat");
      if (fields.size() > 1 && std::stoi(fields[1]) == pid) children.push_back(std::stoi(name));
    }
    return children;
  }
};

// Two helpers fill the cache at once, a third is served from it: each
// reply is the fresh render's, byte for byte, until a file changes. Each
// photo has its own size, so a reply given for the wrong asset shows.
TEST_F(RenderedRepliesTest, ACachedReplyIsTheFreshReplyByteForByte) {
  constexpr size_t kPhotos = 12;
  for (size_t i = 0; i < kPhotos; ++i) {
    makeGrey(pictures() / (std::to_string(i) + ".jpg"), 100 + 7 * int(i), 80, 10 * int(i));
  }
  makeImage(pictures() / "black.png", 120, 260);
  makeVideo(videos() / "clip.mp4", 1, "160x120");
  const std::vector<std::string> fresh = replies(freshEnvironment(), 64);
  ASSERT_EQ(fresh.size(), kPhotos + 2);
  for (const auto& line : fresh) ASSERT_NE(line.find("\"jpegBase64\""), std::string::npos) << line.substr(0, 200);
  EXPECT_FALSE(fs::exists(cacheFolder())) << "a cap of 0 keeps nothing";

  std::vector<std::string> others;
  std::thread other([&] { others = replies(environment(), 64); });
  EXPECT_EQ(replies(environment(), 64), fresh);
  other.join();
  EXPECT_EQ(others, fresh);
  const auto filled = entries();
  EXPECT_EQ(filled.size(), kPhotos + 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(replies(environment(), 64), fresh);
  // Served, not rendered again: the same files, used since.
  const auto served = entries();
  ASSERT_EQ(served.size(), filled.size());
  for (const auto& [path, was] : filled) {
    EXPECT_EQ(served.at(path).first, was.first) << path;
    EXPECT_GT(served.at(path).second, was.second) << path;
  }
  // Another box is another entry.
  EXPECT_EQ(replies(environment(), 32), replies(freshEnvironment(), 32));
  EXPECT_EQ(entries().size(), 2 * (kPhotos + 2));

  // A photo edited in place, its size and modification time put back, is
  // rendered anew.
  const Path photo = pictures() / "0.jpg";
  struct stat was {};
  ASSERT_EQ(stat(photo.c_str(), &was), 0);
  makeGrey(temporary() / "edit.jpg", 100, 80, 200);
  writeAll(photo, readAll(temporary() / "edit.jpg"));
  const timespec times[2] = {was.st_atim, was.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, photo.c_str(), times, 0), 0);
  const std::vector<std::string> edited = replies(environment(), 64);
  EXPECT_NE(edited, fresh);
  EXPECT_EQ(edited, replies(freshEnvironment(), 64));

  // A trashed photo takes its entries with it.
  HelperProcess helper(helperBinary(), environment());
  const std::string trashed = identifiers(helper, "image").at(0);
  EXPECT_EQ(helper.request(deleteRequest(3, {trashed})), R"({"id":3,"ok":{"deletedCount":1,"userCancelled":false}})");
  const auto left = entries();
  EXPECT_EQ(left.size(), 2 * (kPhotos + 2) - 2);
  for (const auto& [path, used] : left) EXPECT_EQ(readAll(path).find(trashed), std::string::npos) << path;
}

TEST_F(RenderedRepliesTest, RepliesRenderedAheadAreTheFreshRepliesByteForByte) {
  cpu_set_t cpus;
  ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
  if (CPU_COUNT(&cpus) < 2) GTEST_SKIP() << "a single core is never rendered ahead on";
  constexpr size_t kPhotos = 14;
  for (size_t i = 0; i < kPhotos; ++i) {
    makeGrey(pictures() / (std::to_string(i) + ".jpg"), 900 + 11 * int(i), 700, 12 * int(i));
  }
  const std::vector<std::string> fresh = replies(freshEnvironment(), 256);
  ASSERT_EQ(fresh.size(), kPhotos);

  // In memory only, then through the cache, then served from it. Renders
  // ahead are made by worker processes at the lowest priority; the helper's
  // own threads, which render its requests, stay above it.
  auto ahead = environment();
  auto aheadOnly = ahead;
  aheadOnly["VEK_RENDER_CACHE_MB"] = "0";
  size_t workersSeen = 0;
  size_t helperThreadsAtLowest = 0;
  size_t workerThreadsAboveLowest = 0;
  size_t workersAboveIdleIo = 0;
  auto notePriorities = [&](pid_t pid) {
    // But for the short-lived thread that forks the workers at that priority.
    const std::vector<bool> own = lowestPriorityOfThreads(pid, "vek-ahead-fork");
    helperThreadsAtLowest += size_t(std::count(own.begin(), own.end(), true));
    const std::vector<pid_t> workers = childrenOf(pid);
    workersSeen = std::max(workersSeen, workers.size());
    for (pid_t worker : workers) {
      const std::vector<bool> threads = lowestPriorityOfThreads(worker);
      workerThreadsAboveLowest += size_t(std::count(threads.begin(), threads.end(), false));
      const long io = syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, worker);
      if (io >= 0 && IOPRIO_PRIO_CLASS(io) != IOPRIO_CLASS_IDLE) ++workersAboveIdleIo;
    }
  };
  EXPECT_EQ(replies(aheadOnly, 256, notePriorities), fresh);
  EXPECT_FALSE(fs::exists(cacheFolder()));
  EXPECT_GT(workersSeen, 0u) << "no render-ahead worker was seen";
  EXPECT_EQ(helperThreadsAtLowest, 0u);
  EXPECT_EQ(workerThreadsAboveLowest, 0u);
  EXPECT_EQ(workersAboveIdleIo, 0u);
  EXPECT_EQ(replies(ahead, 256), fresh);
  EXPECT_EQ(entries().size(), kPhotos);
  // All served from the cache: nothing to render ahead, so no worker.
  workersSeen = 0;
  EXPECT_EQ(replies(ahead, 256, notePriorities), fresh);
  EXPECT_EQ(workersSeen, 0u);

  // Workers killed in the middle of a scan cost their renders, not replies.
  auto killWorkers = [&](pid_t pid) {
    for (pid_t worker : childrenOf(pid)) ::kill(worker, SIGKILL);
  };
  EXPECT_EQ(replies(aheadOnly, 256, killWorkers), fresh);

  // A killed helper's workers end too, once its socket closes.
  {
    std::vector<std::string> ids;
    for (const std::string& line : fresh) ids.push_back(text(parse(line)["ok"]["localIdentifier"]));
    fs::remove_all(cacheFolder());  // else there is nothing to render ahead
    HelperProcess helper(helperBinary(), environment());
    helper.send(R"({"id":4,"cmd":"fetch_assets","kind":"image"})");
    for (const auto& id : ids) {
      helper.send(R"({"id":5,"cmd":"request_image_data","localIdentifier":")" + id + R"(","targetSize":256})");
    }
    std::vector<pid_t> workers;
    for (int tries = 0; tries < 1000 && workers.empty(); ++tries) {
      workers = childrenOf(helper.pid());
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(workers.empty()) << "no render-ahead worker was seen";
    helper.kill();
    auto running = [&] {
      return std::count_if(workers.begin(), workers.end(), [](pid_t worker) {
        const std::vector<std::string> fields = statFields("/proc/" + std::to_string(worker) + "/stat");
        return !fields.empty() && fields[0] != "Z";
      });
    };
    for (int tries = 0; tries < 1000 && running() > 0; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(running(), 0);
  }

}

}  // namespace
}  // namespace vek::testing

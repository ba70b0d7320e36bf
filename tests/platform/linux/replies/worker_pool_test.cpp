#include "platform/linux/replies/worker_pool.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/linux/replies/worker_wire.hpp"

namespace vek::linux_library {
namespace {

using namespace std::chrono_literals;

CachedRender sampleRender() {
  return CachedRender{ImageSize{256, 171}, 0.85, std::string("\xff\xd8jpeg\0bytes\xff\xd9", 15),
                      FileStamp{2049, 77, 4'000'000, 1'700'000'000'123'456'789, 1'700'000'001'000'000'000}};
}

TEST(WorkerWireTest, FramesRoundTripAndAnyCutLongOrExtendedFrameIsRefused) {
  const AheadJob job{"4F2A-…/L0/001", {"/home/u/Pictures/a b.jpg", FileStamp{1, 2, 3, 4, 0}}, 256, 0.85, true};
  const std::string jobFrame = encodeJob(job);
  const std::optional<AheadJob> decodedJob = decodeJob(jobFrame);
  auto jobFields = [](const AheadJob& j) { return std::tie(j.identifier, j.file, j.box, j.compressionFactor, j.video); };
  ASSERT_TRUE(decodedJob);
  EXPECT_EQ(jobFields(*decodedJob), jobFields(job));

  const CachedRender render = sampleRender();
  const std::string renderFrame = encodeRendered(render);
  const auto decodedRender = decodeRendered(renderFrame);
  auto renderFields = [](const CachedRender& r) { return std::tie(r.size, r.compressionFactor, r.jpeg, r.stamp); };
  ASSERT_TRUE(decodedRender && *decodedRender);
  EXPECT_EQ(renderFields(**decodedRender), renderFields(render));
  const auto none = decodeRendered(encodeRendered(std::nullopt));
  ASSERT_TRUE(none);
  EXPECT_FALSE(*none);

  for (size_t length = 0; length < jobFrame.size(); ++length) {
    EXPECT_FALSE(decodeJob(jobFrame.substr(0, length))) << length;
  }
  for (size_t length = 0; length < renderFrame.size(); ++length) {
    EXPECT_FALSE(decodeRendered(renderFrame.substr(0, length))) << length;
  }
  EXPECT_FALSE(decodeJob(jobFrame + "x"));
  EXPECT_FALSE(decodeRendered(renderFrame + "x"));
  EXPECT_FALSE(decodeRendered(encodeRendered(std::nullopt) + "x"));

  // On the socket: a frame longer than allowed, or cut short, is not read.
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  ASSERT_TRUE(sendFrame(ends[0], "hello"));
  EXPECT_EQ(receiveFrame(ends[1], 5), "hello");
  ASSERT_TRUE(sendFrame(ends[0], "too long"));
  EXPECT_FALSE(receiveFrame(ends[1], 5));
  close(ends[1]);
  // The peer has gone: a failure, not SIGPIPE.
  EXPECT_FALSE(sendFrame(ends[0], "anyone?"));
  close(ends[0]);

  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  const uint64_t promised = 100;
  ASSERT_EQ(write(ends[0], &promised, sizeof promised), ssize_t(sizeof promised));
  ASSERT_EQ(write(ends[0], "short", 5), 5);
  close(ends[0]);
  EXPECT_FALSE(receiveFrame(ends[1], 1000));
  close(ends[1]);
}

const AheadJob kJob{"id", {"/nowhere.jpg", FileStamp{}}, 256, 0.85, false};

// Workers are shell commands that note each start in a file, then die:
// before they are ready, or once ready (an empty frame) on their first job.
TEST(WorkerPoolTest, WorkersThatCannotStartOrThatDieGiveNoRenderAndAreGivenUpOn) {
  EXPECT_FALSE(WorkerPool("/nonexistent/worker", {"worker"}, 2).render(kJob));
  const std::string starts = ::testing::TempDir() + "vek-worker-starts-" + std::to_string(getpid());
  for (const char* death : {"exit 0", "printf '\\0\\0\\0\\0\\0\\0\\0\\0'; exit 0"}) {
    SCOPED_TRACE(death);
    std::remove(starts.c_str());
    WorkerPool dying("/bin/sh", {"sh", "-c", "echo started >> '" + starts + "'; " + death}, 2);
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(dying.render(kJob));
    dying.prepare();
    // Given up on after eight failures: no process started since.
    std::ifstream file(starts);
    EXPECT_EQ(std::count(std::istreambuf_iterator<char>(file), {}, '\n'), 8);
  }
  std::remove(starts.c_str());
}

TEST(WorkerPoolTest, StopEndsARenderInFlight) {
  // A worker that never answers, as one at idle priority on a busy machine.
  WorkerPool stuck("/bin/sleep", {"sleep", "600"}, 1);
  std::optional<CachedRender> made = sampleRender();
  std::thread waiting([&] { made = stuck.render(kJob); });
  std::this_thread::sleep_for(100ms);
  stuck.stop();
  waiting.join();
  EXPECT_FALSE(made);
  EXPECT_FALSE(stuck.render(kJob)) << "a stopped pool takes no job";
}

}  // namespace
}  // namespace vek::linux_library

#include "platform/linux/replies/read_ahead.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include <gtest/gtest.h>

namespace vek::linux_library {
namespace {

using namespace std::chrono_literals;

constexpr double kFactor = 0.85;

// A renderer that notes every render, preparation and hint, and can be held
// shut, so a test decides when renders in flight (and preparations, when
// `holdPreparations` is set) finish.
class FakeRenderer {
 public:
  AheadRenderer renderer() {
    return {[](const std::string& identifier, int64_t) { return std::optional(CataloguedFile{"/p/" + identifier, {}}); },
            [this](const CataloguedFile& file) {
              std::lock_guard lock(mutex_);
              hinted_.push_back(file.path);
            },
            [this](int64_t box) { return box == 1024 ? 1u : concurrency; },
            [this] {
              std::unique_lock lock(mutex_);
              ++prepared_;
              changed_.notify_all();
              changed_.wait(lock, [&] { return open_ || !holdPreparations; });
            },
            [this](const ListedFile& listed, const CataloguedFile& file, int64_t box, double factor,
                   std::chrono::nanoseconds& cpu) {
              cpu = cpuPerRender;
              return render(listed, file.path, box, factor);
            },
            [this] { open(); }};
  }

  void close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // Waits until `count` renders have started (true) or a second passed.
  bool waitForStarted(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 1s, [&] { return started_.size() >= count; });
  }
  // Waits until `count` preparations have begun (true) or a second passed.
  bool waitForPrepared(unsigned count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 1s, [&] { return prepared_ >= count; });
  }
  // Waits until every render started has finished.
  void waitForQuiet() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 1s, [&] { return finished_ == started_.size(); });
  }
  std::vector<std::string> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }
  std::vector<std::string> hinted() {
    std::lock_guard lock(mutex_);
    return hinted_;
  }

  bool holdPreparations = false;
  unsigned concurrency = 1;
  std::chrono::nanoseconds cpuPerRender{-1};  // unknown

 private:
  std::optional<CachedRender> render(const ListedFile& file, const std::string& path, int64_t box, double factor) {
    std::unique_lock lock(mutex_);
    started_.push_back(file.identifier);
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
    ++finished_;
    changed_.notify_all();
    return CachedRender{ImageSize{1, 1}, factor, path + "@" + std::to_string(box), FileStamp{}};
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  unsigned prepared_ = 0;
  std::vector<std::string> hinted_;
  std::vector<std::string> started_;
  size_t finished_ = 0;
};

std::vector<ListedFile> listing(int count) {
  std::vector<ListedFile> files;
  for (int i = 0; i < count; ++i) files.push_back({"id" + std::to_string(i), false});
  return files;
}

std::string id(int i) { return "id" + std::to_string(i); }

// Follows a listing with `threads` threads prepared, as after a listing
// that started the workers.
void followPrepared(FakeRenderer& fake, ReadAhead& ahead, int count, unsigned threads) {
  ahead.follow(1, listing(count), true);
  ASSERT_TRUE(fake.waitForPrepared(threads));
  std::this_thread::sleep_for(20ms);  // for their threads to note it
}

// A request for an asset, as the helper makes it: what was made ahead, else
// nothing (the request renders itself); then the reply is handed out.
std::optional<CachedRender> request(ReadAhead& ahead, int i, int64_t box = 256) {
  std::optional<CachedRender> made = ahead.take(id(i), box, {});
  ahead.asked(id(i), box, kFactor);
  return made;
}

// From the first request on, every render of a scan in order is made ahead,
// each once, and as many at once as the box allows: the workers start with
// the listing, and the files after those rendered are hinted first.
TEST(ReadAheadTest, AScanInOrderIsRenderedAheadFromItsFirstRequestEachAssetOnce) {
  FakeRenderer fake;
  fake.concurrency = 3;
  ReadAhead ahead(fake.renderer(), 3, kFactor, 2048);
  followPrepared(fake, ahead, 30, 3);
  for (int i = 0; i < 30; ++i) {
    const std::optional<CachedRender> made = request(ahead, i);
    ASSERT_TRUE(made) << i;
    EXPECT_EQ(made->jpeg, "/p/id" + std::to_string(i) + "@256");
  }
  fake.waitForQuiet();
  std::vector<std::string> each;
  for (int i = 0; i < 30; ++i) each.push_back(id(i));
  std::vector<std::string> started = fake.started();
  std::sort(started.begin(), started.end(), [](const std::string& a, const std::string& b) {
    return std::stoi(a.substr(2)) < std::stoi(b.substr(2));
  });
  EXPECT_EQ(started, each);
  std::vector<std::string> hinted;
  for (int i = 4; i < 30; ++i) hinted.push_back("/p/" + id(i));
  EXPECT_EQ(fake.hinted(), hinted);

  // Renders held shut while the first request waits: as many run as the
  // box allows, the next one queued.
  auto runningAtOnce = [](int64_t box) {
    FakeRenderer held;
    held.concurrency = 3;
    ReadAhead scan(held.renderer(), 3, kFactor, 2048);
    followPrepared(held, scan, 10, 3);
    held.close();
    std::thread first([&] { EXPECT_TRUE(request(scan, 0, box)); });
    EXPECT_TRUE(held.waitForStarted(1));
    std::this_thread::sleep_for(50ms);
    const size_t running = held.started().size();
    held.open();
    first.join();
    return running;
  };
  EXPECT_EQ(runningAtOnce(256), 3u);
  EXPECT_EQ(runningAtOnce(1024), 1u);
}

// A shuffled scan renders nothing ahead but what the rare neighbours in its
// order ask for, and a request off the order drops what was made for it.
TEST(ReadAheadTest, AShuffledScanRendersAlmostNothingAhead) {
  FakeRenderer fake;
  fake.concurrency = 2;
  ReadAhead ahead(fake.renderer(), 2, kFactor, 2048);
  ahead.follow(1, listing(200), false);
  std::vector<int> order(200);
  for (int i = 0; i < 200; ++i) order[size_t(i)] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  size_t inOrder = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    if (order[k] == 0 || (k > 0 && order[k] == order[k - 1] + 1)) ++inOrder;
    request(ahead, order[k]);
  }
  fake.waitForQuiet();
  // Each request that continues the order starts at most its own render
  // and three ahead of it.
  EXPECT_LE(fake.started().size(), 4 * inOrder);

  // Another box drops the renders not started; boxes past the largest, and
  // the full image, are never read ahead.
  const size_t before = fake.started().size();
  for (int64_t box : {4096, 0}) {
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(request(ahead, i, box));
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.started().size(), before);
}

TEST(ReadAheadTest, ARequestWaitsForItsRenderOnlySoLongAndThenPauses) {
  FakeRenderer fake;
  ReadAhead ahead(fake.renderer(), 1, kFactor, 2048);
  followPrepared(fake, ahead, 100, 1);
  fake.close();
  std::optional<CachedRender> made;
  std::thread waiting([&] { made = request(ahead, 0); });
  ASSERT_TRUE(fake.waitForStarted(1));
  std::this_thread::sleep_for(50ms);
  fake.open();
  waiting.join();
  ASSERT_TRUE(made);
  EXPECT_EQ(made->jpeg, "/p/id0@256");
  for (int i = 1; i < 3; ++i) EXPECT_TRUE(request(ahead, i));
  // Rendering one at a time, and one queued: the third and fourth.
  ASSERT_TRUE(fake.waitForStarted(5));

  // A render that never gets a core is waited for three times as long as
  // they took, and then the request renders itself, and reading ahead
  // pauses: the request thread goes on alone.
  fake.waitForQuiet();
  fake.close();
  EXPECT_TRUE(request(ahead, 3));
  EXPECT_TRUE(request(ahead, 4));
  ASSERT_TRUE(fake.waitForStarted(6));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(request(ahead, 5));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
  const size_t started = fake.started().size();
  fake.open();
  for (int i = 6; i < 30; ++i) EXPECT_FALSE(request(ahead, i)) << i;
  fake.waitForQuiet();
  EXPECT_EQ(fake.started().size(), started);
}

// Renders that had their cores less than half the time, twice in a row;
// one alone was preempted once.
TEST(ReadAheadTest, RendersAheadStarvedOfTheirCoresPauseReadingAhead) {
  FakeRenderer fake;
  fake.cpuPerRender = 0ns;
  ReadAhead ahead(fake.renderer(), 1, kFactor, 2048);
  followPrepared(fake, ahead, 100, 1);
  // The request waits for a render held shut; it takes 80 ms and no
  // processor time.
  auto starvedRequest = [&](int i) {
    std::thread waiting([&] { EXPECT_TRUE(request(ahead, i)); });
    std::this_thread::sleep_for(80ms);
    fake.open();
    waiting.join();
  };
  fake.close();
  starvedRequest(0);
  // The next two, queued meanwhile, are quick.
  ASSERT_TRUE(fake.waitForStarted(3));
  fake.waitForQuiet();
  fake.close();
  EXPECT_TRUE(request(ahead, 1));
  ASSERT_TRUE(fake.waitForStarted(4));
  EXPECT_TRUE(request(ahead, 2));
  starvedRequest(3);
  // Served all the same, and then the request thread goes on alone.
  for (int i = 4; i < 20; ++i) EXPECT_FALSE(request(ahead, i)) << i;
  fake.waitForQuiet();
  EXPECT_EQ(fake.started().size(), 4u);
}

TEST(ReadAheadTest, WhileItsThreadsPrepareRequestsRenderForThemselves) {
  FakeRenderer fake;
  fake.holdPreparations = true;
  fake.close();
  {
    ReadAhead ahead(fake.renderer(), 1, kFactor, 2048);
    ahead.follow(1, listing(10), true);
    ASSERT_TRUE(fake.waitForPrepared(1));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(request(ahead, i));
    // Destroyed here, a preparation in flight: it must have the renderer
    // end it rather than join a thread that waits for ever.
  }
  EXPECT_TRUE(fake.started().empty());
}

}  // namespace
}  // namespace vek::linux_library

#include "platform/linux/replies/read_ahead.hpp"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace vek::linux_library {
namespace {

using namespace std::chrono_literals;

constexpr double kFactor = 0.85;

// A renderer that notes every render it makes and can be held shut, so a
// test decides when renders in flight (and preparations, when
// `holdPreparations` is set) finish.
class FakeRenderer {
 public:
  AheadRenderer renderer() {
    return {[](const std::string& identifier, int64_t) { return std::optional(CataloguedFile{"/p/" + identifier, {}}); },
            [this] {
              std::unique_lock lock(mutex_);
              changed_.wait(lock, [&] { return open_ || !holdPreparations; });
            },
            [this](const ListedFile& listed, const CataloguedFile& file, int64_t box, double factor) {
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
  // Waits until every render started has finished.
  void waitForQuiet() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 1s, [&] { return finished_ == started_.size(); });
  }
  std::vector<std::string> started() {
    std::lock_guard lock(mutex_);
    return started_;
  }

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

 public:
  bool holdPreparations = false;
  std::vector<std::string> started_;
  size_t finished_ = 0;
};

std::vector<ListedFile> listing(int count) {
  std::vector<ListedFile> files;
  for (int i = 0; i < count; ++i) files.push_back({"id" + std::to_string(i), false});
  return files;
}

std::string id(int i) { return "id" + std::to_string(i); }

// Two requests in order, with renders held shut: the third asset's render
// ahead is under way and cannot finish.
void scanHeldShut(FakeRenderer& fake, ReadAhead& ahead) {
  fake.close();
  ahead.asked(id(0), 256, kFactor);
  ahead.asked(id(1), 256, kFactor);
  ASSERT_TRUE(fake.waitForStarted(1));
}

TEST(ReadAheadTest, AScanInOrderIsRenderedAheadEachAssetOnce) {
  FakeRenderer fake;
  ReadAhead ahead(fake.renderer(), 2, 4, 2048);
  ahead.follow(1, listing(20));
  std::map<std::string, int> renders;
  for (int i = 0; i < 20; ++i) {
    if (std::optional<CachedRender> made = ahead.take(id(i), 256, 10s)) {
      EXPECT_EQ(made->jpeg, "/p/id" + std::to_string(i) + "@256");
    } else {
      ++renders[id(i)];  // the request renders it itself
    }
    ahead.asked(id(i), 256, kFactor);
    // The next one is under way before it is asked for.
    if (i >= 1 && i < 19) {
      ASSERT_TRUE(fake.waitForStarted(size_t(i)));
    }
  }
  fake.waitForQuiet();
  for (const auto& started : fake.started()) ++renders[started];
  EXPECT_EQ(renders.size(), 20u);
  for (const auto& [identifier, count] : renders) EXPECT_EQ(count, 1) << identifier;
  // Only the first two, which showed the order, were rendered on request.
  EXPECT_EQ(fake.started().size(), 18u);
}

TEST(ReadAheadTest, ARequestWaitsForTheRenderInFlight) {
  FakeRenderer fake;
  ReadAhead ahead(fake.renderer(), 1, 1, 2048);
  ahead.follow(1, listing(5));
  scanHeldShut(fake, ahead);
  std::optional<CachedRender> made;
  std::thread request([&] { made = ahead.take(id(2), 256, 10s); });
  std::this_thread::sleep_for(50ms);
  fake.open();
  request.join();
  ASSERT_TRUE(made);
  EXPECT_EQ(made->jpeg, "/p/id2@256");
  EXPECT_EQ(fake.started(), std::vector<std::string>{id(2)});

  // A render that never gets a core is waited for only so long, and then
  // reading ahead pauses.
  ahead.asked(id(2), 256, kFactor);
  ASSERT_TRUE(fake.waitForStarted(2));
  fake.waitForQuiet();
  fake.close();
  ASSERT_TRUE(ahead.take(id(3), 256, 10s));
  ahead.asked(id(3), 256, kFactor);
  ASSERT_TRUE(fake.waitForStarted(3));
  EXPECT_FALSE(ahead.take(id(4), 256, 20ms));
  fake.open();
  fake.waitForQuiet();
  ahead.asked(id(4), 256, kFactor);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.started().size(), 3u);
}

TEST(ReadAheadTest, WhileItsThreadsPrepareRequestsRenderForThemselves) {
  FakeRenderer fake;
  fake.holdPreparations = true;
  ReadAhead ahead(fake.renderer(), 1, 2, 2048);
  ahead.follow(1, listing(10));
  fake.close();
  ahead.asked(id(0), 256, kFactor);
  ahead.asked(id(1), 256, kFactor);
  // Planned but not started: not waited for, and no reason to pause.
  EXPECT_FALSE(ahead.take(id(2), 256, 10s));
  ahead.asked(id(2), 256, kFactor);
  fake.open();
  ASSERT_TRUE(fake.waitForStarted(2));
  fake.waitForQuiet();
  EXPECT_EQ(fake.started(), (std::vector<std::string>{id(3), id(4)}));
  EXPECT_TRUE(ahead.take(id(3), 256, 10s));
}

TEST(ReadAheadTest, EndsWithoutWaitingForARenderInFlight) {
  FakeRenderer fake;
  {
    ReadAhead ahead(fake.renderer(), 1, 1, 2048);
    ahead.follow(1, listing(5));
    scanHeldShut(fake, ahead);
    // Destroyed here: it must have the renderer end the render it holds
    // rather than join a thread that waits for ever.
  }
  EXPECT_EQ(fake.started(), std::vector<std::string>{id(2)});
}

TEST(ReadAheadTest, PausesWhenRendersAheadTakeLongerThanTheRequestsOwn) {
  FakeRenderer fake;
  ReadAhead ahead(fake.renderer(), 1, 1, 2048);
  ahead.follow(1, listing(40));
  scanHeldShut(fake, ahead);
  std::this_thread::sleep_for(150ms);
  fake.open();
  fake.waitForQuiet();
  // Done, but in far more than the request's own 20 ms (or the 50 ms that
  // any render may take):
  // served all the same, and then the request thread goes on alone.
  ASSERT_TRUE(ahead.take(id(2), 256, 20ms));
  for (int i = 2; i < 10; ++i) ahead.asked(id(i), 256, kFactor);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.started().size(), 1u);
}

TEST(ReadAheadTest, StopsWhenTheParentLeavesTheOrderOrTheBox) {
  FakeRenderer fake;
  ReadAhead ahead(fake.renderer(), 1, 3, 2048);
  ahead.follow(1, listing(30));
  ahead.asked(id(0), 256, kFactor);
  ahead.asked(id(1), 256, kFactor);
  // No more than `depth` ahead of the last request.
  ASSERT_TRUE(fake.waitForStarted(3));
  fake.waitForQuiet();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.started(), (std::vector<std::string>{id(2), id(3), id(4)}));

  // Out of order: what was made ahead and not asked for is dropped.
  ahead.asked(id(9), 256, kFactor);
  EXPECT_FALSE(ahead.take(id(3), 256, 10s));
  EXPECT_FALSE(ahead.take(id(10), 256, 10s));

  // Back in order, then another box: the renders not started are dropped.
  fake.close();
  ahead.asked(id(10), 256, kFactor);
  ASSERT_TRUE(fake.waitForStarted(4));
  ahead.asked(id(11), 1024, kFactor);
  fake.open();
  fake.waitForQuiet();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.started().size(), 4u);
  EXPECT_EQ(fake.started().back(), id(11));
  EXPECT_FALSE(ahead.take(id(12), 1024, 10s));

  // Boxes past the largest, and the full image, are never read ahead.
  for (int64_t box : {4096, 0}) {
    for (int i = 20; i < 24; ++i) ahead.asked(id(i), box, kFactor);
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.started().size(), 4u);
}

}  // namespace
}  // namespace vek::linux_library

#include "loop/main_loop.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "support/memory_photo_library.hpp"

namespace vek {
namespace {

using namespace std::chrono_literals;

const std::string kListReply = R"({"id":1,"ok":{"assets":[]}})";

// runMainLoop on a thread of its own, fed and read through two pipes as the
// parent application does.
class MainLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(pipe(toLoop_), 0);
    ASSERT_EQ(pipe(fromLoop_), 0);
    loop_ = std::thread([this] {
      runMainLoop(toLoop_[0], fromLoop_[1], library_);
      close(fromLoop_[1]);
      returned_.set_value();
    });
  }

  void TearDown() override {
    closeInput();
    loop_.join();
    close(toLoop_[0]);
    if (fromLoop_[0] >= 0) close(fromLoop_[0]);
  }

  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = write(toLoop_[1], bytes.data(), bytes.size());
      ASSERT_GT(n, 0);
      bytes.remove_prefix(size_t(n));
    }
  }

  void closeInput() {
    if (toLoop_[1] >= 0) close(toLoop_[1]);
    toLoop_[1] = -1;
  }

  // Everything the loop writes until it has returned.
  std::string output() {
    closeInput();
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fromLoop_[0], chunk, sizeof chunk)) > 0) text.append(chunk, size_t(n));
    return text;
  }

  bool outputWaiting(std::chrono::milliseconds within) {
    pollfd fd{fromLoop_[0], POLLIN, 0};
    return poll(&fd, 1, int(within.count())) == 1;
  }

  // The next reply line, read byte by byte so nothing after it is taken.
  std::string nextLine() {
    std::string line;
    char c;
    while (outputWaiting(5s) && read(fromLoop_[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }

  testing::MemoryPhotoLibrary library_;
  int toLoop_[2] = {-1, -1};
  int fromLoop_[2] = {-1, -1};
  std::promise<void> returned_;
  std::thread loop_;
};

TEST_F(MainLoopTest, AnswersARequestOnlyOnceItsLineIsComplete) {
  send(R"({"id":1,"cmd":"fetch)");
  EXPECT_FALSE(outputWaiting(100ms));
  send("_assets\"}\n");
  EXPECT_EQ(nextLine(), kListReply);
  send(R"({"id":2,"cmd":"nope"})" "\n");
  EXPECT_EQ(nextLine(), R"({"id":2,"err":{"code":"unknownCommand","message":"unknown command: nope"}})");
}

TEST_F(MainLoopTest, AnswersEachRequestOfOneWriteInOrderAndSkipsUndecodableLines) {
  send("{\"id\":1,\"cmd\":\"fetch_assets\"}\r\n"
       "not json\n"
       "\n"
       "{\"id\":2,\"cmd\":\"delete_assets\",\"localIdentifiers\":[]}\n"
       "{\"id\":3,\"cmd\":\"x\"}\n"
       "{\"id\":4,\"cmd\":\"fetch_assets\"}");
  EXPECT_EQ(output(), kListReply + "\n" +
                          R"({"id":2,"ok":{"deletedCount":0,"userCancelled":false}})"
                          "\n"
                          R"({"id":3,"err":{"code":"unknownCommand","message":"unknown command: x"}})"
                          "\n");
}

TEST_F(MainLoopTest, WritesNothingForEmptyInput) { EXPECT_EQ(output(), ""); }

TEST_F(MainLoopTest, ReturnsWhenTheReaderOfItsRepliesHasGone) {
  close(fromLoop_[0]);
  fromLoop_[0] = -1;
  send(R"({"id":1,"cmd":"fetch_assets"})" "\n");
  EXPECT_EQ(returned_.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace vek

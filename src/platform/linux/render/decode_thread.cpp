#include "platform/linux/render/decode_thread.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

#include "platform/linux/posix/detached_worker.hpp"

namespace vek::linux_library {
namespace {

class DecodeThread {
 public:
  bool post(std::function<void()>& job) {
    try {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    } catch (const std::bad_alloc&) {
      return false;
    }
    posted_.notify_one();
    return true;
  }

  [[noreturn]] void run() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        posted_.wait(lock, [this] { return !jobs_.empty(); });
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> jobs_;
};

std::atomic<bool> decodeInline = false;

}  // namespace

void keepDecodingInline() { decodeInline = true; }

bool runOnDecodeThread(std::function<void()> job) {
  if (decodeInline) return false;
  static DetachedWorker<DecodeThread> thread("vek-decode");
  DecodeThread* running = thread.get();
  return running != nullptr && running->post(job);
}

}  // namespace vek::linux_library

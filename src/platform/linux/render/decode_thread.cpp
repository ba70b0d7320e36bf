#include "platform/linux/render/decode_thread.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

#include "platform/linux/render/detached_worker.hpp"

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

// A thread at the lowest priority (rendering ahead of requests) decodes its
// own images: handed to the decode thread, its decode would run at normal
// priority and hold up the decodes of the requests queued behind it.
bool atLowestPriority() {
  int policy = 0;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 && policy == SCHED_IDLE) return true;
  return getpriority(PRIO_PROCESS, 0) >= 19;
}

}  // namespace

bool runOnDecodeThread(std::function<void()> job) {
  if (atLowestPriority()) return false;
  static DecodeThread* const thread = startDetachedWorker<DecodeThread>();
  return thread != nullptr && thread->post(job);
}

}  // namespace vek::linux_library

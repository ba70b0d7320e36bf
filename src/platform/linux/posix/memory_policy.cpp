#include "platform/linux/posix/memory_policy.hpp"

#include <malloc.h>

#include <condition_variable>
#include <mutex>

#include "platform/linux/posix/detached_worker.hpp"

namespace vek::linux_library {
namespace {

constexpr int kLargestReplyBuffer = 4 << 20;
constexpr int kFreeHeapKeptForReplies = 4 << 20;
// glibc's own ceiling for its adaptive threshold; larger buffers (a whole
// 24-megapixel image) are still mapped apart and unmapped when freed.
constexpr int kLargestDecoderBuffer = 32 << 20;
// One such buffer's worth, so a render after them peaks little higher than
// alone.
constexpr int kFreeHeapKeptForDecoders = 32 << 20;

class IdleTrimmer {
 public:
  void noteDecode(std::chrono::steady_clock::duration idle) {
    std::lock_guard lock(mutex_);
    lastDecode_ = std::chrono::steady_clock::now();
    idle_ = idle;
    if (!pending_) {
      pending_ = true;
      wake_.notify_one();
    }
  }

  [[noreturn]] void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return pending_; });
      const auto due = lastDecode_ + idle_;
      if (std::chrono::steady_clock::now() < due) {
        wake_.wait_until(lock, due);
        continue;
      }
      pending_ = false;
      lock.unlock();
      malloc_trim(0);
      lock.lock();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point lastDecode_;
  std::chrono::steady_clock::duration idle_{};
  bool pending_ = false;
};

}  // namespace

void keepReplyBuffers() {
  mallopt(M_MMAP_THRESHOLD, kLargestReplyBuffer);
  mallopt(M_TRIM_THRESHOLD, kFreeHeapKeptForReplies);
}

void reuseDecoderMemory(std::chrono::steady_clock::duration idle) {
  static DetachedWorker<IdleTrimmer> trimmer("vek-trim");
  static std::once_flag keepFreedBuffers;
  IdleTrimmer* running = trimmer.get();
  if (running == nullptr) return;
  // Only with a thread that gives the memory back when idle.
  std::call_once(keepFreedBuffers, [] {
    mallopt(M_MMAP_THRESHOLD, kLargestDecoderBuffer);
    mallopt(M_TRIM_THRESHOLD, kFreeHeapKeptForDecoders);
  });
  running->noteDecode(idle);
}

void returnFreedMemory() { malloc_trim(0); }

}  // namespace vek::linux_library

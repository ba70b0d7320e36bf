#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace vek::linux_library {

// A T whose run() serves the rest of the process on a detached thread named
// `name` (at most 15 bytes, as top -H and /proc show it), started on the
// first get(). A start that fails (RLIMIT_NPROC reached by the user's other
// processes, memory short) is tried again on the next get(): a moment
// without threads costs only the calls made during it. The T is never
// destroyed, since its thread outlives static destruction at exit. Meant
// as a function-local static. Thread: any.
template <typename T>
class DetachedWorker {
 public:
  explicit DetachedWorker(const char* name) : name_(name) {}

  // The worker, or nullptr when its thread cannot be started now.
  T* get() {
    if (T* worker = worker_.load(std::memory_order_acquire)) return worker;
    std::lock_guard lock(mutex_);
    if (T* worker = worker_.load(std::memory_order_relaxed)) return worker;
    T* started = start();
    worker_.store(started, std::memory_order_release);
    return started;
  }

 private:
  T* start() const {
    auto* worker = new (std::nothrow) T();
    if (worker == nullptr) return nullptr;
    try {
      std::thread([worker, name = name_] {
        pthread_setname_np(pthread_self(), name);
        worker->run();
      }).detach();
    } catch (const std::system_error&) {
      delete worker;
      return nullptr;
    }
    return worker;
  }

  const char* const name_;
  std::mutex mutex_;
  std::atomic<T*> worker_ = nullptr;
};

}  // namespace vek::linux_library

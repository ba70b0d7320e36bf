#pragma once

#include <new>
#include <system_error>
#include <thread>

namespace vek::linux_library {

// A new T whose run() serves the rest of the process on a detached thread.
// Never destroyed: its thread outlives static destruction at exit. nullptr
// when the thread cannot be started.
template <typename T>
T* startDetachedWorker() {
  auto* worker = new (std::nothrow) T();
  if (worker == nullptr) return nullptr;
  try {
    std::thread([worker] { worker->run(); }).detach();
  } catch (const std::system_error&) {
    delete worker;
    return nullptr;
  }
  return worker;
}

}  // namespace vek::linux_library

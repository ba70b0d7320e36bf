#pragma once

#include <functional>
#include <future>
#include <memory>
#include <utility>

namespace vek {

// Starts a platform request and blocks until its callback delivers a value.
// `start` receives the callback to hand to the platform; the callback may
// run before or after `start` returns, on any thread. A second call of the
// callback throws std::future_error on the caller's thread (a port bug made
// loud); a callback that is destroyed without being called makes the wait
// throw std::future_error ("broken promise") instead of hanging.
template <typename T, typename Start>
T waitFor(Start&& start) {
  auto promise = std::make_shared<std::promise<T>>();
  std::future<T> future = promise->get_future();
  std::function<void(T)> deliver = [promise = std::move(promise)](T value) mutable {
    promise->set_value(std::move(value));
  };
  std::forward<Start>(start)(std::move(deliver));
  return future.get();
}

}  // namespace vek

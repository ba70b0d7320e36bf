#include "platform/linux/replies/worker_loop.hpp"

namespace vek::linux_library {
namespace {

// A job is two paths and a few numbers.
constexpr size_t kLargestJob = size_t{1} << 20;

}  // namespace

int runWorkerLoop(int socket, const std::function<void()>& warmUp, const WorkerRender& render) {
  try {
    warmUp();
  } catch (...) {
    // Each render then fails on its own, and the helper renders it instead.
  }
  if (!sendFrame(socket, "")) return 0;
  while (std::optional<std::string> frame = receiveFrame(socket, kLargestJob)) {
    const std::optional<AheadJob> job = decodeJob(*frame);
    if (!job) return 1;
    std::optional<CachedRender> made;
    try {
      made = render(*job);
    } catch (...) {
      // The helper renders it on request instead, and reports what failed.
    }
    if (!sendFrame(socket, encodeRendered(made))) break;
  }
  return 0;
}

}  // namespace vek::linux_library

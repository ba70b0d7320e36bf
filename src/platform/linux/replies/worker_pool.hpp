#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/replies/render_cache.hpp"
#include "platform/linux/replies/worker_wire.hpp"

namespace vek::linux_library {

// Worker processes that render ahead for the helper, one job at a time each.
// Rendering ahead runs in processes of its own so that its low CPU priority
// stays there: every thread a worker or its libraries start inherits the
// worker's priority, and none of them ever serves the helper's own requests.
// A worker that crashes on a file costs a render ahead, not the helper.
//
// `program` is started with `arguments` (argv[0] first) at the lowest CPU
// priority (the idle class, else nice 19) and in the idle I/O class, its stdin a socket, its stdout
// and stderr /dev/null; it answers each job frame with
// one answer frame (ahead_wire.hpp). Up to `most` run at once, started by
// prepare(), or when a job finds none free. Thread: any.
class WorkerPool {
 public:
  WorkerPool(std::string program, std::vector<std::string> arguments, size_t most);
  // Kills and reaps every worker: one in the middle of a render at idle
  // priority may not be scheduled for a long time.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts a worker, unless `most` run already, and waits until it is ready.
  void prepare();

  // The job's render by a free worker; nullopt when it made none, when no
  // worker could be had, or when the worker died or was stopped meanwhile.
  // With `cpu`, sets it to the processor time the worker spent on the job,
  // when it answered (else leaves it alone).
  std::optional<CachedRender> render(const AheadJob& job, std::chrono::nanoseconds* cpu = nullptr);

  // Ends the renders in flight, which then return nullopt, and refuses
  // later jobs.
  void stop();

 private:
  struct Worker {
    pid_t pid = -1;
    int socket = -1;
    bool busy = false;
  };

  // A new worker, busy until it is ready; nullopt when `most` run already or
  // none can be had. Called without the lock.
  std::optional<Worker> spawn();
  bool ready(const Worker& worker);
  // Marks the worker free when it is fit for another job; else kills it.
  void release(const Worker& worker, bool fit);
  void retire(const Worker& worker);

  const std::string program_;
  const std::vector<std::string> arguments_;
  const size_t most_;
  std::mutex mutex_;
  std::vector<Worker> workers_;
  size_t starting_ = 0;  // workers being started, outside the lock
  bool stopped_ = false;
  unsigned failures_ = 0;  // workers that could not be started or died
};

}  // namespace vek::linux_library

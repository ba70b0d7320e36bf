#include "platform/linux/replies/worker_pool.hpp"

#include <fcntl.h>
#include <linux/ioprio.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

extern char** environ;

namespace vek::linux_library {
namespace {

// A program that cannot be started, or whose workers keep dying (say on a
// file that crashes the renderer), is given up on after this many: the
// helper then renders every request itself, as without read-ahead.
constexpr unsigned kMostFailures = 8;
// Far above any reply at the boxes rendered ahead.
constexpr size_t kLargestAnswer = size_t{256} << 20;

// The processor time the process has used, all its threads together.
std::optional<std::chrono::nanoseconds> cpuTimeOf(pid_t pid) {
  clockid_t clock{};
  timespec now{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &now) != 0) return std::nullopt;
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

WorkerPool::WorkerPool(std::string program, std::vector<std::string> arguments, size_t most)
    : program_(std::move(program)), arguments_(std::move(arguments)), most_(most) {}

WorkerPool::~WorkerPool() {
  for (const Worker& worker : workers_) retire(worker);
}

void WorkerPool::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  // Wakes the threads waiting on a busy worker; each closes its own socket.
  for (const Worker& worker : workers_) shutdown(worker.socket, SHUT_RDWR);
}

void WorkerPool::prepare() {
  if (std::optional<Worker> started = spawn()) release(*started, ready(*started));
}

std::optional<CachedRender> WorkerPool::render(const AheadJob& job, std::chrono::nanoseconds* cpu) {
  std::optional<Worker> worker;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return std::nullopt;
    auto free = std::find_if(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.busy; });
    if (free != workers_.end()) {
      free->busy = true;
      worker = *free;
    }
  }
  if (!worker) {
    // None free: one that died is replaced.
    worker = spawn();
    if (!worker) return std::nullopt;
    if (!ready(*worker)) {
      release(*worker, false);
      return std::nullopt;
    }
  }
  std::optional<std::optional<CachedRender>> answer;
  const std::optional<std::chrono::nanoseconds> before = cpuTimeOf(worker->pid);
  if (sendFrame(worker->socket, encodeJob(job))) {
    if (std::optional<std::string> frame = receiveFrame(worker->socket, kLargestAnswer)) answer = decodeRendered(*frame);
  }
  if (const std::optional<std::chrono::nanoseconds> after = cpuTimeOf(worker->pid); cpu && answer && before && after) {
    *cpu = *after - *before;
  }
  release(*worker, answer.has_value());
  return answer ? std::move(*answer) : std::nullopt;
}

bool WorkerPool::ready(const Worker& worker) {
  const std::optional<std::string> frame = receiveFrame(worker.socket, 0);
  return frame && frame->empty();
}

void WorkerPool::release(const Worker& worker, bool fit) {
  std::lock_guard lock(mutex_);
  auto mine = std::find_if(workers_.begin(), workers_.end(), [&](const Worker& w) { return w.pid == worker.pid; });
  if (fit && !stopped_) {
    mine->busy = false;
    return;
  }
  if (!stopped_) ++failures_;
  retire(worker);
  workers_.erase(mine);
}

// Forked from a short-lived thread of its own at the lowest CPU and I/O
// priority, so
// that the worker is born there, and not even its start-up competes with the
// helper (posix_spawn refuses the idle class, and a child that lowered
// itself would first run at the helper's priority). Between fork and exec
// the child makes only async-signal-safe calls.
std::optional<WorkerPool::Worker> WorkerPool::spawn() {
  {
    // The slot is taken first, and the fork made outside the lock: an idle
    // thread on a busy machine may wait long for a core.
    std::lock_guard lock(mutex_);
    if (stopped_ || failures_ >= kMostFailures || workers_.size() + starting_ >= most_) return std::nullopt;
    ++starting_;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments_) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int ends[2] = {-1, -1};
  pid_t pid = -1;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0) {
    try {
      std::thread([&] {
        pthread_setname_np(pthread_self(), "vek-ahead-fork");
        const sched_param lowest{};
        if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest) != 0) setpriority(PRIO_PROCESS, 0, 19);
        // Its reads too wait for a disk that nothing else uses.
        syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0));
        pid = fork();
        if (pid != 0) return;
        const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (devNull < 0 || dup2(ends[1], STDIN_FILENO) < 0 || dup2(devNull, STDOUT_FILENO) < 0 ||
            dup2(devNull, STDERR_FILENO) < 0) {
          _exit(127);
        }
        execve(program_.c_str(), argv.data(), environ);
        _exit(127);
      }).join();
    } catch (const std::system_error&) {
      // No thread, so no worker.
    }
    close(ends[1]);
  }
  std::lock_guard lock(mutex_);
  --starting_;
  if (pid < 0) {
    if (ends[0] >= 0) close(ends[0]);
    ++failures_;
    return std::nullopt;
  }
  const Worker worker{pid, ends[0], true};
  workers_.push_back(worker);
  // Stopped meanwhile: its socket is shut like the others'.
  if (stopped_) shutdown(worker.socket, SHUT_RDWR);
  return worker;
}

void WorkerPool::retire(const Worker& worker) {
  close(worker.socket);
  kill(worker.pid, SIGKILL);
  while (waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace vek::linux_library

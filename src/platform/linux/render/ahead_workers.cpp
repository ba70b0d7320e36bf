#include "platform/linux/render/ahead_workers.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace vek::linux_library {
namespace {

// A program that cannot be started, or whose workers keep dying (say on a
// file that crashes the renderer), is given up on after this many: the
// helper then renders every request itself, as without read-ahead.
constexpr unsigned kMostFailures = 8;
// Far above any reply at the boxes rendered ahead.
constexpr size_t kLargestAnswer = size_t{256} << 20;

}  // namespace

AheadWorkers::AheadWorkers(std::string program, std::vector<std::string> arguments, size_t most)
    : program_(std::move(program)), arguments_(std::move(arguments)), most_(most) {}

AheadWorkers::~AheadWorkers() {
  for (const Worker& worker : workers_) retire(worker);
}

void AheadWorkers::stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  // Wakes the threads waiting on a busy worker; each closes its own socket.
  for (const Worker& worker : workers_) shutdown(worker.socket, SHUT_RDWR);
}

std::optional<CachedRender> AheadWorkers::render(const AheadJob& job) {
  Worker worker;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return std::nullopt;
    auto free = std::find_if(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.busy; });
    if (free == workers_.end()) {
      if (workers_.size() >= most_ || failures_ >= kMostFailures) return std::nullopt;
      std::optional<Worker> started = spawn();
      if (!started) {
        ++failures_;
        return std::nullopt;
      }
      workers_.push_back(*started);
      free = workers_.end() - 1;
    }
    free->busy = true;
    worker = *free;
  }
  std::optional<std::optional<CachedRender>> answer;
  if (sendFrame(worker.socket, encodeJob(job))) {
    if (std::optional<std::string> frame = receiveFrame(worker.socket, kLargestAnswer)) answer = decodeRendered(*frame);
  }
  std::lock_guard lock(mutex_);
  auto mine = std::find_if(workers_.begin(), workers_.end(), [&](const Worker& w) { return w.pid == worker.pid; });
  if (!answer || stopped_) {
    if (!stopped_) ++failures_;
    retire(worker);
    workers_.erase(mine);
    return std::nullopt;
  }
  mine->busy = false;
  return std::move(*answer);
}

// Forked and lowered before the exec, so that not even the worker's
// start-up competes with the helper: neither posix_spawn's attributes nor a
// worker lowering itself later can give that (posix_spawn refuses the idle
// class). Between fork and exec the child makes only async-signal-safe calls.
std::optional<AheadWorkers::Worker> AheadWorkers::spawn() {
  std::vector<char*> argv;
  for (const std::string& argument : arguments_) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid == 0) {
    const sched_param lowest{};
    if (sched_setscheduler(0, SCHED_IDLE, &lowest) != 0) setpriority(PRIO_PROCESS, 0, 19);
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0 || dup2(ends[1], STDIN_FILENO) < 0 || dup2(devNull, STDOUT_FILENO) < 0 ||
        dup2(devNull, STDERR_FILENO) < 0) {
      _exit(127);
    }
    execve(program_.c_str(), argv.data(), environ);
    _exit(127);
  }
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    return std::nullopt;
  }
  return Worker{pid, ends[0], false};
}

void AheadWorkers::retire(const Worker& worker) {
  close(worker.socket);
  kill(worker.pid, SIGKILL);
  while (waitpid(worker.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace vek::linux_library

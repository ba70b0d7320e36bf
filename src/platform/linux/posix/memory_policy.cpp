#include "platform/linux/posix/memory_policy.hpp"

#include <malloc.h>

#include <fcntl.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <string>
#include <mutex>

#include "platform/linux/posix/detached_worker.hpp"
#include "platform/linux/posix/io.hpp"

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

namespace {

std::optional<uint64_t> numberAfter(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = strtoull(text.c_str() + at + key.size(), &end, 10);
  if (end == text.c_str() + at + key.size()) return std::nullopt;
  return value;
}

// A cgroup's limit, none when it has none ("max") or does not say.
std::optional<uint64_t> cgroupValue(const std::string& folder, const char* name) {
  const std::optional<std::string> text = readSmallFile(AT_FDCWD, folder + "/" + name, 64, false);
  if (!text || text->empty() || text->compare(0, 3, "max") == 0) return std::nullopt;
  return numberAfter(*text, "");
}

// Walks from the process's cgroup up to the root of its hierarchy, each
// level's limit less what it uses bounding what is left.
void boundByCgroups(std::optional<uint64_t>& available, const std::string& root, std::string path, const char* limitName,
                    const char* usedName) {
  for (;;) {
    const std::string folder = root + (path == "/" ? std::string() : path);
    const std::optional<uint64_t> limit = cgroupValue(folder, limitName);
    const std::optional<uint64_t> used = cgroupValue(folder, usedName);
    if (limit) {
      const uint64_t left = used && *used < *limit ? *limit - *used : 0;
      available = available ? std::min(*available, left) : left;
    }
    if (path.empty() || path == "/") return;
    const size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
}

}  // namespace

std::optional<uint64_t> availableMemory() {
  std::optional<uint64_t> available;
  if (const std::optional<std::string> meminfo = readSmallFile(AT_FDCWD, "/proc/meminfo", 1 << 16, false)) {
    if (const std::optional<uint64_t> kib = numberAfter(*meminfo, "\nMemAvailable:")) available = *kib << 10;
  }
  // One line per hierarchy, "id:controllers:path": cgroup v2's is "0::path",
  // and where v1 still keeps memory, its line names the "memory" controller.
  const std::optional<std::string> membership = readSmallFile(AT_FDCWD, "/proc/self/cgroup", 1 << 14, false);
  size_t line = 0;
  while (membership && line < membership->size()) {
    size_t end = membership->find('\n', line);
    if (end == std::string::npos) end = membership->size();
    const std::string entry = membership->substr(line, end - line);
    line = end + 1;
    const size_t first = entry.find(':');
    const size_t second = first == std::string::npos ? std::string::npos : entry.find(':', first + 1);
    if (second == std::string::npos) continue;
    // Appended to rather than prepended to: GCC 12 at -O3 sees an overlap
    // that is not there in a literal inserted before a string (its
    // -Wrestrict fault 105651).
    std::string controllers(1, ',');
    controllers.append(entry, first + 1, second - first - 1).push_back(',');
    const std::string path = entry.substr(second + 1);
    if (entry.compare(0, 3, "0::") == 0) {
      boundByCgroups(available, "/sys/fs/cgroup", path, "memory.max", "memory.current");
    } else if (controllers.find(",memory,") != std::string::npos) {
      boundByCgroups(available, "/sys/fs/cgroup/memory", path, "memory.limit_in_bytes", "memory.usage_in_bytes");
    }
  }
  return available;
}

}  // namespace vek::linux_library

#include "platform/linux/posix/memory_policy.hpp"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/linux/helper_home.hpp"

namespace vek::linux_library {
namespace {

using namespace std::chrono_literals;

constexpr long kMiB = 1 << 20;

long residentBytes() {
  long pages = 0;
  long resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// What a decode leaves behind: buffers of a few megabytes, touched, freed.
void decodeLikeAllocations(long buffers, long size) {
  std::vector<std::unique_ptr<char[]>> held;
  for (long i = 0; i < buffers; ++i) {
    held.emplace_back(new char[static_cast<size_t>(size)]);
    std::memset(held.back().get(), 1, static_cast<size_t>(size));
  }
}

TEST(DecoderMemoryTest, FreedBuffersStayForTheNextDecodeAndGoBackOnceDecodingPauses) {
  if (!vek::testing::kResidentSizeIsMeaningful) GTEST_SKIP() << "the sanitizer's allocator keeps its own memory";
  const long before = residentBytes();

  reuseDecoderMemory(1s);
  decodeLikeAllocations(2, 14 * kMiB);
  EXPECT_GT(residentBytes(), before + 24 * kMiB) << "freed decode buffers were unmapped at once";

  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (residentBytes() > before + 8 * kMiB && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_LT(residentBytes(), before + 8 * kMiB) << "freed decode buffers were kept while idle";
}

}  // namespace
}  // namespace vek::linux_library

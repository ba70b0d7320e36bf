#include "loop/main_loop.hpp"

#include <cerrno>
#include <unistd.h>

#include <vector>

#include "loop/dispatch.hpp"
#include "loop/line_buffer.hpp"
#include "protocol/request.hpp"

namespace vek {
namespace {

constexpr size_t kChunkSize = 65536;

bool writeAll(int fd, std::string_view bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void runMainLoop(int inputFd, int outputFd, PhotoLibraryPort& library) {
  RequestDecoder decoder;
  LineBuffer buffer;
  std::vector<char> chunk(kChunkSize);
  for (;;) {
    // read() returns as soon as any bytes are there, so a parent that waits
    // for each reply before writing the next request is served at once.
    const ssize_t n = ::read(inputFd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    buffer.append(std::string_view(chunk.data(), static_cast<size_t>(n)));
    while (auto line = buffer.nextLine()) {
      if (line->empty()) continue;
      std::optional<Request> request = decoder.decode(*line);
      if (!request) continue;
      // A long listing goes out in parts while it is encoded; its end and
      // the line feed go out in one write, so a reader never sees a reply
      // without its terminator.
      bool spilled = false;
      bool outputLost = false;
      std::string reply = dispatch(*request, library, [&](std::string_view part) {
        spilled = true;
        outputLost = outputLost || !writeAll(outputFd, part);
      });
      if (outputLost) return;
      if (reply.empty()) {
        // Part of a reply went out and the rest cannot follow: nothing the
        // parent reads after it could be parsed.
        if (spilled) return;
        continue;
      }
      reply.push_back('\n');
      if (!writeAll(outputFd, reply)) return;
    }
  }
}

}  // namespace vek

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "loop/main_loop.hpp"
#include "platform/linux/linux_photo_library.hpp"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], vek::linux_library::kRenderAheadWorkerArgument) == 0) {
    return vek::linux_library::serveRendersAhead(STDIN_FILENO);
  }
  // A parent that closes its end of our stdout ends the loop through a failed
  // write, not through a signal.
  std::signal(SIGPIPE, SIG_IGN);
  // Replies go to a private copy of stdout; fd 1 and fd 2 then point at
  // /dev/null, so nothing a library prints can reach the parent's reply
  // stream or its stderr.
  const int replies = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devNull >= 0) {
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
  }
  if (replies < 0) return 0;
  auto library = vek::linux_library::makeLinuxPhotoLibrary();
  vek::runMainLoop(STDIN_FILENO, replies, *library);
  return 0;
}

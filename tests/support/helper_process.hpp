#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace vek::testing {

// The helper binary running as a child, as a parent application drives it:
// requests written to its stdin, reply lines read from its stdout.
class HelperProcess {
 public:
  // Starts `binary` with `arguments` and exactly `environment` as its
  // environment, its stderr kept for stderrText(). Fails the test when the
  // pipes cannot be made.
  HelperProcess(const std::string& binary, const std::map<std::string, std::string>& environment,
                const std::vector<std::string>& arguments = {});
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // Writes one request line (a 0x0A is added) and returns the reply line
  // without its 0x0A. Fails the test and returns "" when no reply comes.
  std::string request(const std::string& line);
  // The next line the child writes, without its 0x0A; "" (the test failed,
  // naming `request`) when none comes.
  std::string readLine(const std::string& request = "");
  // Writes one request line without waiting for its reply; false when the
  // helper no longer reads.
  bool send(const std::string& line);
  // Kills the helper, as a crash or the user would, and reaps it.
  void kill();
  // Closes stdin and waits; returns the exit status, or -1 on a signal.
  int finish();
  // What the helper wrote to its stderr so far (read after finish()).
  std::string stderrText() const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string stderrPath_;
  std::string pending_;
};

// The helper binary built beside the tests.
std::string helperBinary();

}  // namespace vek::testing

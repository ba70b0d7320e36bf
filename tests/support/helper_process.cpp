#include "support/helper_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace vek::testing {
namespace {

constexpr int kReplyTimeoutMs = 120000;

}  // namespace

std::string helperBinary() {
#ifdef VEK_HELPER_PATH
  return VEK_HELPER_PATH;
#else
  return "vek-photokit-helper";
#endif
}

HelperProcess::HelperProcess(const std::string& binary, const std::map<std::string, std::string>& environment,
                             const std::vector<std::string>& arguments) {
  char stderrTemplate[] = "/tmp/vek-helper-stderr-XXXXXX";
  const int err = mkostemp(stderrTemplate, O_CLOEXEC);
  stderrPath_ = stderrTemplate;
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    close(err);
    return;
  }
  std::vector<std::string> entries;
  for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execve(binary.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(err);
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
}

HelperProcess::~HelperProcess() {
  if (pid_ > 0) finish();
  if (stdout_ >= 0) close(stdout_);
  if (!stderrPath_.empty()) unlink(stderrPath_.c_str());
}

bool HelperProcess::send(const std::string& line) {
  const std::string bytes = line + "\n";
  for (size_t written = 0; written < bytes.size();) {
    const ssize_t n = write(stdin_, bytes.data() + written, bytes.size() - written);
    if (n <= 0) return false;
    written += size_t(n);
  }
  return true;
}

void HelperProcess::kill() {
  if (pid_ > 0) ::kill(pid_, SIGKILL);
  finish();
}

std::string HelperProcess::request(const std::string& line) {
  if (!send(line)) {
    ADD_FAILURE() << "could not write to the helper";
    return "";
  }
  return readLine(line);
}

std::string HelperProcess::readLine(const std::string& request) {
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string reply = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return reply;
    }
    pollfd ready{stdout_, POLLIN, 0};
    if (poll(&ready, 1, kReplyTimeoutMs) <= 0) {
      ADD_FAILURE() << "no reply to " << request.substr(0, 200);
      return "";
    }
    char chunk[65536];
    const ssize_t n = read(stdout_, chunk, sizeof chunk);
    if (n <= 0) {
      ADD_FAILURE() << "the helper closed its output; request was " << request.substr(0, 200);
      return "";
    }
    pending_.append(chunk, size_t(n));
  }
}

int HelperProcess::finish() {
  if (pid_ <= 0) return -1;
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string HelperProcess::stderrText() const {
  std::ifstream file(stderrPath_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace vek::testing

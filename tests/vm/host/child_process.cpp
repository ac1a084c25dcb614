#include "child_process.h"

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vm_host {
namespace {

constexpr std::chrono::milliseconds kPollInterval{10};

void take_descriptor(int from, int to) {
  if (from < 0) {
    from = open("/dev/null", O_RDWR);
  }
  if (from != to) {
    dup2(from, to);
  }
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &argv, int in, int out, int err) {
  std::vector<char *> args;
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(127);
    }
    take_descriptor(in, STDIN_FILENO);
    take_descriptor(out, STDOUT_FILENO);
    take_descriptor(err, STDERR_FILENO);
    setpgid(0, 0);
    execv(args[0], args.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() {
  if (running()) {
    send_signal(SIGKILL);
    (void)wait_for_exit(std::chrono::seconds(5));
  }
}

bool ChildProcess::running() {
  if (pid_ <= 0 || reaped_) {
    return false;
  }
  if (waitpid(pid_, &status_, WNOHANG) == pid_) {
    reaped_ = true;
  }
  return !reaped_;
}

void ChildProcess::send_signal(int signal) {
  if (running()) {
    kill(pid_, signal);
  }
}

std::optional<int> ChildProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollInterval);
  }
  if (running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    reaped_ = true;
    return std::nullopt;
  }
  if (!reaped_ || !WIFEXITED(status_)) {
    return std::nullopt;
  }
  return WEXITSTATUS(status_);
}

} // namespace vm_host

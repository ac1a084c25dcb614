#include "process_runner.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds kExitPollInterval{5};
constexpr int kExecFailedStatus = 127;

using Clock = std::chrono::steady_clock;

// The argument vector execv wants, built before the fork: the child of a
// process with threads may only make async-signal-safe calls.
std::vector<char *> exec_arguments(const std::vector<std::string> &argv) {
  std::vector<char *> args;
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  return args;
}

[[noreturn]] void exec_child(char *const *args, int out_fd, int err_fd) {
  setpgid(0, 0);
  const int null_fd = open("/dev/null", O_RDONLY);
  dup2(null_fd, STDIN_FILENO);
  dup2(out_fd, STDOUT_FILENO);
  dup2(err_fd, STDERR_FILENO);
  execv(args[0], args);
  _exit(kExecFailedStatus);
}

} // namespace

pid_t start_process(const std::vector<std::string> &argv, std::FILE *out, std::FILE *err) {
  const std::vector<char *> args = exec_arguments(argv);
  const pid_t child = fork();
  if (child == 0) {
    exec_child(args.data(), fileno(out), fileno(err));
  }
  if (child > 0) {
    setpgid(child, child); // also done by the child; whichever comes first
  }
  return child;
}

bool wait_until(pid_t child, Clock::time_point deadline, int &status) {
  for (;;) {
    if (waitpid(child, &status, WNOHANG) == child) {
      return true;
    }
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(kExitPollInterval);
  }
}

std::string read_all(std::FILE *file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) {
    text.append(chunk, got);
  }
  return text;
}

ProcessResult run_process(const std::vector<std::string> &argv, std::chrono::milliseconds timeout) {
  ProcessResult result;
  std::FILE *out = std::tmpfile();
  std::FILE *err = std::tmpfile();
  if (out == nullptr || err == nullptr || argv.empty()) {
    result.errors = "cannot start " + (argv.empty() ? std::string("nothing") : argv[0]);
    return result;
  }
  const auto started = Clock::now();
  const pid_t child = start_process(argv, out, err);
  int status = 0;
  if (child > 0 && !wait_until(child, started + timeout, status)) {
    result.timed_out = true;
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  if (child > 0 && !result.timed_out && WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  }
  result.output = read_all(out);
  result.errors = read_all(err);
  std::fclose(out);
  std::fclose(err);
  return result;
}

// A program the tests start and own: it dies with the test program, so that
// neither QEMU nor a simulator outlives a test run that was killed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vm_host {

class ChildProcess {
public:
  // Runs argv[0] (a path) with argv; each descriptor given becomes the
  // child's stdin, stdout or stderr (-1: /dev/null).
  ChildProcess(const std::vector<std::string> &argv, int in, int out, int err);
  ~ChildProcess();
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool started() const { return pid_ > 0; }
  bool running();
  void send_signal(int signal);
  // The exit status once it has exited, within the timeout; nothing if it
  // did not (it is killed then) or did not exit normally.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);

private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

} // namespace vm_host

// Runs a program with the port name of a simulated adapter as its last
// argument, and exits with the program's status.
//
//   run_with_adapter PROGRAM [ARGS...]
#include "sim_adapter.h"

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: run_with_adapter PROGRAM [ARGS...]\n");
    return 2;
  }
  korvel::sim::PtyAdapter adapter;
  std::vector<char *> args(argv + 1, argv + argc);
  std::string port = adapter.port_name();
  args.push_back(port.data());
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execv(args[0], args.data());
    std::perror(args[0]);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

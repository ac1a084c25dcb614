// Running a program to completion, or until a deadline, and collecting what
// it wrote.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
  // The exit status; -1 when the program did not exit normally.
  int exit_code = -1;
  bool timed_out = false;
  std::string output;
  std::string errors;
  std::chrono::milliseconds elapsed{0};
};

// Everything written to a temporary file so far.
std::string read_all(std::FILE *file);

// Runs argv[0] (a path) with argv and the current environment, stdin from
// /dev/null. Output goes to temporary files rather than pipes, so that
// background processes which inherit them (Wine's own services) cannot hold
// the run open. At the deadline the program's whole process group is killed.
ProcessResult run_process(const std::vector<std::string> &argv, std::chrono::milliseconds timeout);

// Starts argv[0] (a path) with argv in a process group of its own, stdin from
// /dev/null, output to these files. Returns its process id, or -1.
pid_t start_process(const std::vector<std::string> &argv, std::FILE *out, std::FILE *err);
// Waits for the child until the deadline; true, with its wait status, once
// it has exited.
bool wait_until(pid_t child, std::chrono::steady_clock::time_point deadline, int &status);

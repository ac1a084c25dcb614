// Running a program to completion, or until a deadline, and collecting what
// it wrote.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
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

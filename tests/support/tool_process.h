// Running the tools as programs: korvel to completion, korvel-sim in the
// background until it is told to stop.
#pragma once

#include "process_runner.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tool_test {

// The tools' exit statuses. korvel-sim shares 0 and 2 with korvel, and ends
// with kExitSetupFailed when it cannot set up its line.
constexpr int kExitSuccess = 0;
constexpr int kExitNothingFound = 1;
constexpr int kExitUsage = 2;
constexpr int kExitResultBase = 10;
constexpr int kExitSetupFailed = 1;

constexpr std::chrono::seconds kToolTimeout{20};

// A port name the library accepts but that names no device.
constexpr const char *kMissingPort = "pts/99999";

// Whether a program's output holds this text.
inline bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// korvel with these arguments, to completion.
ProcessResult run_korvel(const std::vector<std::string> &args);

// A program started in the background, its output going to temporary files.
// Killed, if still running, when the object goes.
class BackgroundProcess {
public:
  explicit BackgroundProcess(const std::vector<std::string> &argv);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess &) = delete;
  BackgroundProcess &operator=(const BackgroundProcess &) = delete;

  void send_signal(int signal) const;
  // The exit status, or nothing when the program did not exit normally in
  // time (it is killed then).
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);
  std::string output() const;
  std::string errors() const;
  // What the program has written so far, read without disturbing its
  // writing: output() and errors() are for once it has ended.
  std::string output_so_far() const;

private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::FILE *out_ = nullptr;
  std::FILE *err_ = nullptr;
};

// korvel-sim started with --port-file; port() is the name it announced, or
// "" when it did not get ready.
class SimTool {
public:
  explicit SimTool(const std::vector<std::string> &options);
  // Another build of korvel-sim, or one started through another program
  // (Wine): command is what comes before the options, and port_file_as_seen
  // turns the port file's path into the form that program reads.
  SimTool(const std::vector<std::string> &command, const std::vector<std::string> &options,
          const std::function<std::string(const std::string &)> &port_file_as_seen);
  ~SimTool();
  SimTool(const SimTool &) = delete;
  SimTool &operator=(const SimTool &) = delete;

  const std::string &port() const { return port_; }
  const std::string &port_file() const { return port_file_; }
  BackgroundProcess &process() { return process_; }
  const BackgroundProcess &process() const { return process_; }
  // Stops it with the signal and returns its exit status.
  std::optional<int> stop(int signal);

private:
  std::string port_file_;
  BackgroundProcess process_;
  std::string port_;
};

} // namespace tool_test

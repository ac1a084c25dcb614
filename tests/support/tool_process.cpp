#include "tool_process.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tool_test {
namespace {

constexpr std::chrono::milliseconds kPollInterval{10};
constexpr std::chrono::seconds kStartTimeout{10};
constexpr std::chrono::seconds kStopTimeout{5};

std::string unique_port_file() {
  static std::atomic<int> count{0};
  return (std::filesystem::temp_directory_path() / ("korvel-tool-test-" + std::to_string(getpid()) +
                                                    "-" + std::to_string(++count) + ".port"))
      .string();
}

std::string wait_for_port(const std::string &path) {
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream file(path);
    std::string port;
    if (file >> port) {
      return port;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return "";
}

// Reads the file from its start at explicit offsets: its position is shared
// with the program still writing to it.
std::string read_in_place(std::FILE *file) {
  std::string text;
  char chunk[4096];
  off_t at = 0;
  for (ssize_t got; (got = pread(fileno(file), chunk, sizeof(chunk), at)) > 0; at += got) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

std::vector<std::string> with_port_file(std::vector<std::string> command,
                                        const std::vector<std::string> &options,
                                        const std::string &port_file) {
  command.insert(command.end(), {"--port-file", port_file});
  command.insert(command.end(), options.begin(), options.end());
  return command;
}

} // namespace

ProcessResult run_korvel(const std::vector<std::string> &args) {
  std::vector<std::string> argv{KORVEL_CLI};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, kToolTimeout);
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string> &argv)
    : out_(std::tmpfile()), err_(std::tmpfile()) {
  pid_ = start_process(argv, out_, err_);
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  std::fclose(out_);
  std::fclose(err_);
}

void BackgroundProcess::send_signal(int signal) const {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, signal);
  }
}

std::optional<int> BackgroundProcess::wait_for_exit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || reaped_) {
    return std::nullopt;
  }
  reaped_ = true;
  int status = 0;
  if (!wait_until(pid_, std::chrono::steady_clock::now() + timeout, status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    return std::nullopt;
  }
  return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

std::string BackgroundProcess::output() const { return read_all(out_); }
std::string BackgroundProcess::errors() const { return read_all(err_); }
std::string BackgroundProcess::output_so_far() const { return read_in_place(out_); }

SimTool::SimTool(const std::vector<std::string> &options)
    : port_file_(unique_port_file()),
      process_(with_port_file({KORVEL_SIM_TOOL}, options, port_file_)),
      port_(wait_for_port(port_file_)) {}

SimTool::SimTool(const std::vector<std::string> &command, const std::vector<std::string> &options,
                 const std::function<std::string(const std::string &)> &port_file_as_seen)
    : port_file_(unique_port_file()),
      process_(with_port_file(command, options, port_file_as_seen(port_file_))),
      port_(wait_for_port(port_file_)) {}

SimTool::~SimTool() {
  process_.send_signal(SIGKILL);
  std::error_code ignored;
  std::filesystem::remove(port_file_, ignored);
}

std::optional<int> SimTool::stop(int signal) {
  process_.send_signal(signal);
  return process_.wait_for_exit(kStopTimeout);
}

} // namespace tool_test

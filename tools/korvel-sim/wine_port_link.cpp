#include "wine_port_link.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace korvel::simtool {

namespace fs = std::filesystem;

namespace {

// Named as a serial driver names its devices (\Device\Serial0), and marked as
// korvel-sim's. Wine enumerates a key's values in name order, so a scan
// reaches it before the ports Wine found itself (\Device\SerialN).
constexpr const char *kValueNamePrefix = "\\Device\\KorvelSim";
// Debian keeps wine64 off PATH.
constexpr const char *kWineCandidates[] = {"/usr/lib/wine/wine64", "/usr/lib64/wine/wine64",
                                           "wine64", "wine"};
// Long enough for Wine to start a server and bring the prefix up to date.
constexpr std::chrono::seconds kRegistryTimeout{60};
constexpr std::chrono::seconds kKeeperStopTimeout{10};
constexpr std::chrono::milliseconds kWaitPoll{20};
constexpr std::string_view kPrefixVariable = "WINEPREFIX=";

std::vector<std::string> environment_in(const fs::path &prefix) {
  std::vector<std::string> environment;
  for (char **each = environ; *each != nullptr; ++each) {
    if (!std::string_view(*each).starts_with(kPrefixVariable)) {
      environment.emplace_back(*each);
    }
  }
  environment.push_back(std::string(kPrefixVariable) + prefix.string());
  return environment;
}

std::vector<char *> pointers_to(std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  for (std::string &each : strings) {
    pointers.push_back(each.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// Starts a Wine program with its input from `input` (or /dev/null) and its
// output discarded. It gets a process group of its own, so that a Ctrl-C
// reaches korvel-sim alone, and none of korvel-sim's descriptors: a Wine
// server it starts lives on and would hold the pseudo-terminal open. Returns
// an errno value.
int spawn_wine(const char *wine, std::vector<std::string> argv,
               std::vector<std::string> environment, int input, pid_t &pid) {
  argv.insert(argv.begin(), wine);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int error = posix_spawnp(&pid, wine, &actions, &attributes, pointers_to(argv).data(),
                                 pointers_to(environment).data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

// The exit status, or nothing when the program did not exit normally in
// time (its process group is killed then).
std::optional<int> wait_for(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(kWaitPoll);
  }
  return done == pid && WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

} // namespace

fs::path default_wine_prefix() {
  if (const char *prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
    return prefix;
  }
  const char *home = std::getenv("HOME");
  return fs::path(home != nullptr ? home : "") / ".wine";
}

std::string wine_prefix_problem(const fs::path &prefix) {
  const fs::path devices = prefix / "dosdevices";
  std::error_code error;
  if (!fs::is_directory(devices, error)) {
    return devices.string() + " is not a directory: is " + prefix.string() + " a Wine prefix?";
  }
  return "";
}

std::string WinePortLink::create(const fs::path &prefix, std::uint32_t com,
                                 const std::string &device) {
  if (std::string why = wine_prefix_problem(prefix); !why.empty()) {
    return why;
  }
  // Wine keeps its device names in lower case.
  const fs::path link = prefix / "dosdevices" / ("com" + std::to_string(com));
  std::error_code error;
  const auto status = fs::symlink_status(link, error);
  if (fs::exists(status) && !fs::is_symlink(status)) {
    return link.string() + " exists and is not a link";
  }
  fs::remove(link, error);
  fs::create_symlink(device, link, error);
  if (error) {
    return "cannot link " + link.string() + ": " + error.message();
  }
  link_ = link;
  device_ = device;
  return "";
}

WinePortLink::~WinePortLink() {
  std::error_code error;
  // Someone may have pointed the port elsewhere meanwhile; that link stays.
  if (!link_.empty() && fs::read_symlink(link_, error) == device_) {
    fs::remove(link_, error);
  }
}

std::string WinePortListing::add(const fs::path &prefix, std::uint32_t com) {
  const std::string port = "COM" + std::to_string(com);
  const std::string name = kValueNamePrefix + std::to_string(com);
  const std::vector<std::string> environment = environment_in(prefix);
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    return std::string("cannot make a pipe: ") + std::strerror(errno);
  }
  // `set /p` waits for a line that never comes; at the end of its input the
  // rest of the line runs. Written before the keeper starts, so that the
  // write cannot meet a closed pipe.
  const std::string withdraw = "set /p korvel= & reg delete \"" + std::string(kSerialCommKey) +
                               "\" /v \"" + name + "\" /f\r\n";
  if (write(pipe_ends[1], withdraw.data(), withdraw.size()) !=
      static_cast<ssize_t>(withdraw.size())) {
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    return "cannot write to the keeper's pipe";
  }
  const char *wine = nullptr;
  int error = ENOENT;
  for (const char *candidate : kWineCandidates) {
    error = spawn_wine(candidate, {"cmd"}, environment, pipe_ends[0], keeper_);
    if (error != ENOENT) {
      wine = candidate;
      break;
    }
  }
  close(pipe_ends[0]);
  if (error != 0) {
    close(pipe_ends[1]);
    keeper_ = -1;
    if (error != ENOENT) {
      return std::string("cannot start Wine: ") + std::strerror(error);
    }
    std::string tried;
    for (const char *candidate : kWineCandidates) {
      tried += (tried.empty() ? "" : ", ") + std::string(candidate);
    }
    return "Wine not found (tried " + tried + ")";
  }
  keeper_input_ = pipe_ends[1];

  pid_t reg = -1;
  error =
      spawn_wine(wine, {"reg", "add", kSerialCommKey, "/v", name, "/t", "REG_SZ", "/d", port, "/f"},
                 environment, -1, reg);
  if (error != 0) {
    return std::string("cannot start ") + wine + ": " + std::strerror(error);
  }
  const std::optional<int> status = wait_for(reg, kRegistryTimeout);
  if (status != 0) {
    return std::string(wine) + " reg add " +
           (status ? "exited with " + std::to_string(*status) : std::string("did not finish"));
  }
  value_name_ = name;
  return "";
}

WinePortListing::~WinePortListing() {
  if (keeper_input_ >= 0) {
    close(keeper_input_);
  }
  if (keeper_ > 0) {
    wait_for(keeper_, kKeeperStopTimeout);
  }
}

} // namespace korvel::simtool

// The agent's process and the system around it.
#include "agent.h"

#include <dirent.h>
#include <sys/klog.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vm_agent {
namespace {

constexpr int kSyslogReadAll = 3;
constexpr std::size_t kKernelLogTail = 4096;
constexpr std::size_t kMostProgramOutput = 8192;

} // namespace

// fds: how many descriptors this process has open.
bool fds_command(AgentState &, const Args &args, Reply &reply) {
  if (!args.empty()) {
    return false;
  }
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    reply.fail("no-proc");
    return true;
  }
  long long count = 0;
  while (const dirent *entry = readdir(dir)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(dir);
  // Less the descriptor of the listing itself.
  reply.add("count", count - 1);
  return true;
}

// run UID PROGRAM ARGUMENTS...: its exit status and what it wrote (both
// streams), in hex.
bool run_command(AgentState &, const Args &args, Reply &reply) {
  if (args.size() < 2) {
    return false;
  }
  const int uid = std::atoi(args[0].c_str());
  int output[2];
  if (pipe(output) != 0) {
    reply.fail("no-pipe");
    return true;
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(output[1], STDOUT_FILENO);
    dup2(output[1], STDERR_FILENO);
    close(output[0]);
    close(output[1]);
    if (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0)) {
      _exit(127);
    }
    std::vector<char *> argv;
    for (std::size_t i = 1; i < args.size(); ++i) {
      argv.push_back(const_cast<char *>(args[i].c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(output[1]);
  std::string text;
  char buffer[512];
  for (ssize_t got; (got = read(output[0], buffer, sizeof(buffer))) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(output[0]);
  int status = 0;
  const bool exited = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
  reply.add("status", exited ? WEXITSTATUS(status) : -1);
  text.resize(std::min(text.size(), kMostProgramOutput));
  reply.add_hex("output", reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
  return true;
}

// kernel-log: the end of the kernel's log, in hex, for a failing test to show.
bool kernel_log_command(AgentState &, const Args &args, Reply &reply) {
  if (!args.empty()) {
    return false;
  }
  static char log[1 << 17];
  const int got = klogctl(kSyslogReadAll, log, sizeof(log));
  const std::size_t length = got > 0 ? static_cast<std::size_t>(got) : 0;
  const std::size_t from = length > kKernelLogTail ? length - kKernelLogTail : 0;
  reply.add_hex("text", reinterpret_cast<const std::uint8_t *>(log + from), length - from);
  return true;
}

// clean: closes what an earlier test left open.
bool clean_command(AgentState &state, const Args &args, Reply &reply) {
  if (!args.empty()) {
    return false;
  }
  const bool open = state.handle != nullptr;
  if (open) {
    (void)MDB_IF_CloseInterface(state.handle);
    state.handle = nullptr;
  }
  if (state.held_fd >= 0) {
    close(state.held_fd);
    state.held_fd = -1;
  }
  reply.add("closed", open);
  return true;
}

} // namespace vm_agent

// The library's functions as commands: each reports its result code ("r"),
// its duration in milliseconds ("ms") and what it delivered.
#include "agent.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vm_agent {
namespace {

// A decimal count; false when the text is not one.
bool read_count(const std::string &text, std::int32_t &count) {
  char *end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  count = static_cast<std::int32_t>(value);
  return end != text.c_str() && *end == '\0';
}

std::string joined(const std::vector<std::string> &items) {
  std::string text;
  for (const std::string &item : items) {
    text += (text.empty() ? "" : ",") + item;
  }
  return text;
}

// Times the call and records the devices it opened.
template <typename Call> std::int32_t observed_call(Reply &reply, Call call) {
  start_recording_opens();
  const double started = now_ms();
  const std::int32_t result = call();
  const double elapsed = now_ms() - started;
  reply.add("r", result).add_ms("ms", elapsed).add("opened", joined(stop_recording_opens()));
  return result;
}

} // namespace

// open PORT: the handle is the descriptor number; "errno" is the reason a
// failed open left behind.
bool open_command(AgentState &state, const Args &args, Reply &reply) {
  if (args.size() != 1) {
    return false;
  }
  MDB_IF_HANDLE handle = nullptr;
  int error = 0;
  const std::int32_t result = observed_call(reply, [&] {
    errno = 0;
    const std::int32_t opened = MDB_IF_OpenInterface(args[0].c_str(), &handle);
    error = errno;
    return opened;
  });
  reply.add("errno", result == MDB_IF_OK ? 0 : error);
  reply.add("fd", static_cast<long long>(reinterpret_cast<std::intptr_t>(handle)));
  if (result == MDB_IF_OK) {
    state.handle = handle;
    state.port = args[0];
  }
  return true;
}

bool close_command(AgentState &state, const Args &args, Reply &reply) {
  if (!args.empty()) {
    return false;
  }
  if (observed_call(reply, [&] { return MDB_IF_CloseInterface(state.handle); }) == MDB_IF_OK) {
    state.handle = nullptr;
  }
  return true;
}

// exec COMMAND_HEX CAPACITY
bool exec_command(AgentState &state, const Args &args, Reply &reply) {
  Bytes command;
  std::int32_t capacity = 0;
  if (args.size() != 2 || !from_hex(args[0], command) || !read_count(args[1], capacity) ||
      capacity < 0 || capacity > MDB_IF_MAX_REPLY_PAYLOAD) {
    return false;
  }
  std::uint8_t answer[MDB_IF_MAX_REPLY_PAYLOAD] = {};
  std::int32_t length = capacity;
  observed_call(reply, [&] {
    return MDB_IF_ExecCommand(state.handle, command.data(),
                              static_cast<std::int32_t>(command.size()), answer, &length);
  });
  reply.add("length", length).add_hex("reply", answer, length >= 0 ? length : 0);
  return true;
}

// version CAPACITY: the text up to its terminator, in hex.
bool version_command(AgentState &state, const Args &args, Reply &reply) {
  std::int32_t capacity = 0;
  if (args.size() != 1 || !read_count(args[0], capacity) || capacity < 1 ||
      capacity > MDB_IF_MAX_REPLY_PAYLOAD) {
    return false;
  }
  char text[MDB_IF_MAX_REPLY_PAYLOAD] = {};
  observed_call(reply, [&] { return MDB_IF_GetVersion(state.handle, text, capacity); });
  reply.add_hex("text", reinterpret_cast<const std::uint8_t *>(text), strnlen(text, capacity));
  return true;
}

bool reset_command(AgentState &state, const Args &args, Reply &reply) {
  if (!args.empty()) {
    return false;
  }
  observed_call(reply, [&] { return MDB_IF_LineReset(state.handle); });
  return true;
}

bool scan_command(AgentState &, const Args &args, Reply &reply) {
  if (!args.empty()) {
    return false;
  }
  char port[MDB_IF_PORT_NAME_BUFFER] = {};
  observed_call(reply, [&] { return MDB_IF_ScanInterface(port); });
  reply.add("port", port);
  return true;
}

// fork-open PORT: with the interface open, a forked child of this process
// opens PORT with the library and exits. Afterwards: the child's result, the
// interface's exclusive flag as the driver reports it, and whether an
// ordinary user can open the interface's port now.
bool fork_open_command(AgentState &state, const Args &args, Reply &reply) {
  if (args.size() != 1 || state.handle == nullptr) {
    return false;
  }
  const pid_t child = fork();
  if (child == 0) {
    MDB_IF_HANDLE handle = nullptr;
    _exit(MDB_IF_OpenInterface(args[0].c_str(), &handle));
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    reply.fail("child-failed");
    return true;
  }
  int exclusive = -1;
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(state.handle));
  const int got = ioctl(fd, TIOCGEXCL, &exclusive);
  reply.add("child_r", WEXITSTATUS(status)).add("exclusive", got == 0 ? exclusive : -1);
  reply.add("user_open_errno", open_errno_as(state.port, kOrdinaryUser));
  return true;
}

} // namespace vm_agent

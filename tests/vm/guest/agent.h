// The test agent inside the virtual machine. It reads one command a line
// from the console ("<id> <command> <arguments...>"), carries it out with the
// library, the kernel's drivers or the system, and answers with one line:
// "@<id> key=value key=value ...", all without spaces (text goes as hex),
// "error=<word>" among them when the command could not be carried out.
#pragma once

#include "korvel_dll.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vm_agent {

using Bytes = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;

class Reply {
public:
  Reply &add(const std::string &key, const std::string &value);
  Reply &add(const std::string &key, long long value);
  Reply &add_ms(const std::string &key, double ms);
  Reply &add_hex(const std::string &key, const std::uint8_t *bytes, std::size_t count);
  Reply &fail(const std::string &why) { return add("error", why); }
  const std::string &text() const { return text_; }

private:
  std::string text_;
};

// What lasts from one command to the next.
struct AgentState {
  // The interface the library opened, and the port it was opened on.
  MDB_IF_HANDLE handle = nullptr;
  std::string port;
  // A port held open as another program would hold it, without the library.
  int held_fd = -1;
  std::string held_port;
};

// Milliseconds on the guest's monotonic clock.
double now_ms();

std::string to_hex(const std::uint8_t *bytes, std::size_t count);
// "-" stands for no bytes; false when the text is not whole hex bytes.
bool from_hex(const std::string &text, Bytes &bytes);

// "/dev/" + port.
std::string device_path(const std::string &port);

// The device nodes below /dev that calls into the library opened while
// recording, in order.
void start_recording_opens();
std::vector<std::string> stop_recording_opens();

// Each command fills the reply; false when its arguments do not fit it.
using Command = bool (*)(AgentState &state, const Args &args, Reply &reply);

// The library's six functions on the current interface.
bool open_command(AgentState &state, const Args &args, Reply &reply);
bool close_command(AgentState &state, const Args &args, Reply &reply);
bool exec_command(AgentState &state, const Args &args, Reply &reply);
bool version_command(AgentState &state, const Args &args, Reply &reply);
bool reset_command(AgentState &state, const Args &args, Reply &reply);
bool scan_command(AgentState &state, const Args &args, Reply &reply);
// A forked child of this process opens a port while the interface is open.
bool fork_open_command(AgentState &state, const Args &args, Reply &reply);

// Ports as the drivers report them, and as other programs use them.
bool settings_command(AgentState &state, const Args &args, Reply &reply);
bool spoil_command(AgentState &state, const Args &args, Reply &reply);
bool hold_command(AgentState &state, const Args &args, Reply &reply);
bool plain_open_command(AgentState &state, const Args &args, Reply &reply);
bool queue_command(AgentState &state, const Args &args, Reply &reply);
bool wait_command(AgentState &state, const Args &args, Reply &reply);

// The process and the system.
bool fds_command(AgentState &state, const Args &args, Reply &reply);
bool run_command(AgentState &state, const Args &args, Reply &reply);
bool kernel_log_command(AgentState &state, const Args &args, Reply &reply);
bool clean_command(AgentState &state, const Args &args, Reply &reply);

// The uid of the ordinary user (not root) that tests run programs as.
constexpr int kOrdinaryUser = 1000;

// Errno of a plain open(2) of the port by a child process running as uid
// (0 when it opened).
int open_errno_as(const std::string &port, int uid);

} // namespace vm_agent

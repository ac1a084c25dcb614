// Scripted fake serial ports over a virtual clock, for unit tests.
//
// Sleeping advances the virtual clock; nothing ever blocks. A test declares
// ports by name, scripts what arrives on them and when (directly, or as the
// answer to each request frame written), makes single operations fail, and
// afterwards inspects every byte written and every operation issued.
//
// Device paths use the Windows prefixes ("\\.\" for an interface, "\\?\" for
// a probe) so that tests can tell the two opens apart.
#pragma once

#include "port/serial_port.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvel::port::fake {

using Bytes = std::vector<std::uint8_t>;

// Bytes that become readable after_ms virtual milliseconds after the previous
// chunk of the same answer (the first chunk: after the request's last byte).
struct Chunk {
  std::uint32_t after_ms = 0;
  Bytes bytes;
};

// Decides the answer to one request frame, given its wire bytes (STX..ETX).
using Responder = std::function<std::vector<Chunk>(const Bytes &request)>;

// Decides whether the nth call (1-based, counted per port) of an operation
// fails.
using FailurePlan = std::function<bool(int nth)>;

// The reasons the fake gives for a failed open, standing in for the
// platform's own codes.
constexpr SystemError kNoSuchPort = 2;
constexpr SystemError kPortBusy = 16;
constexpr SystemError kNotAPort = 25;
constexpr SystemError kRefusedName = 22;

struct FakePort {
  std::string name;
  bool can_open = true;
  // False: something that is not a serial port, which the open refuses.
  bool is_terminal = true;
  Responder responder;
  FailurePlan purge_fails;
  FailurePlan write_fails;
  FailurePlan queued_fails;
  FailurePlan read_fails;
  // A write hands over at most this many bytes (0: no limit).
  std::int32_t max_write_chunk = 0;
  // The nth write returns 0 bytes written.
  FailurePlan write_returns_zero;
  // The nth write first takes write_stall_ms of virtual time, as a write does
  // on a line that does not take its bytes; then it goes on as planned above.
  FailurePlan write_stalls;
  std::uint32_t write_stall_ms = 0;

  // What happened.
  bool is_open = false;
  Handle handle = nullptr; // of the current (or last) open; unique per open
  int open_count = 0;
  std::vector<std::string> opened_paths;
  std::vector<Role> configured_roles;
  // Settings differ from what the port had before the library configured it.
  bool settings_changed = false;
  int closed_with_changed_settings = 0;
  int purge_count = 0;
  int write_count = 0;
  int queued_count = 0;
  int read_count = 0;
  int close_count = 0;
  Bytes written;
  std::vector<Bytes> requests; // complete request frames, as written

  // Internal: scheduled and arrived bytes.
  struct Scheduled {
    std::uint32_t at_ms;
    Bytes bytes;
  };
  std::deque<Scheduled> scheduled;
  std::deque<std::uint8_t> arrived;
  Bytes partial_request;
};

// Forgets all ports, sets the virtual clock to start_ms and makes the caller
// the first process again.
void reset(std::uint32_t start_ms = 0);

// What current_process() reports from now on: a test stands in for a child
// after fork by changing it.
constexpr ProcessId kFirstProcess = 100;
void set_process(ProcessId process);

// Declares a port; the reference stays valid until the next reset().
FakePort &add_port(const std::string &name);

// The port a handle returned by open_port refers to (open or since closed),
// or nullptr.
FakePort *port_for(Handle handle);

// Makes bytes arrive on a port at an absolute virtual time.
void deliver_at(FakePort &port, std::uint32_t at_ms, const Bytes &bytes);

std::uint32_t now_ms();

// What the library last left as the platform's last error.
SystemError last_system_error();

// Responders for common scripts.
Responder answer_always(std::vector<Chunk> chunks);
Responder answer_in_turn(std::vector<std::vector<Chunk>> answers); // then silence

} // namespace korvel::port::fake

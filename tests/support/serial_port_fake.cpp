#include "serial_port_fake.h"

#include <cstring>

namespace korvel::port {
namespace fake {
namespace {

constexpr const char *kInterfacePrefix = "\\\\.\\";
constexpr const char *kProbePrefix = "\\\\?\\";
constexpr std::uint8_t kFrameEnd = 0x03;

struct Line {
  std::uint32_t now = 0;
  SystemError last_error = 0;
  std::deque<FakePort> ports;
  std::uintptr_t handles_issued = 0;
  ProcessId process = kFirstProcess;
};

Line &line() {
  static Line instance;
  return instance;
}

Handle next_handle() { return reinterpret_cast<Handle>(++line().handles_issued); }

bool fails(const FailurePlan &plan, int nth) { return plan && plan(nth); }

// Moves bytes whose time has come into the receive queue.
void deliver_due(FakePort &port) {
  while (!port.scheduled.empty() &&
         static_cast<std::int32_t>(line().now - port.scheduled.front().at_ms) >= 0) {
    const Bytes &bytes = port.scheduled.front().bytes;
    port.arrived.insert(port.arrived.end(), bytes.begin(), bytes.end());
    port.scheduled.pop_front();
  }
}

void schedule_answer(FakePort &port, const std::vector<Chunk> &chunks) {
  std::uint32_t at = line().now;
  for (const Chunk &chunk : chunks) {
    at += chunk.after_ms;
    deliver_at(port, at, chunk.bytes);
  }
}

// Collects written bytes into request frames and lets the responder answer
// each complete one.
void observe_written(FakePort &port, const std::uint8_t *bytes, std::int32_t count) {
  for (std::int32_t i = 0; i < count; ++i) {
    port.written.push_back(bytes[i]);
    port.partial_request.push_back(bytes[i]);
    if (bytes[i] == kFrameEnd) {
      port.requests.push_back(port.partial_request);
      port.partial_request.clear();
      if (port.responder) {
        schedule_answer(port, port.responder(port.requests.back()));
      }
    }
  }
}

Handle failed_open(OpenFailure::Kind kind, SystemError error, OpenFailure *failure) {
  if (failure != nullptr) {
    *failure = {kind, error};
  }
  return invalid_handle();
}

FakePort *open_port_for(Handle handle) {
  FakePort *port = port_for(handle);
  return (port != nullptr && port->is_open) ? port : nullptr;
}

} // namespace

void reset(std::uint32_t start_ms) {
  line().now = start_ms;
  line().last_error = 0;
  line().ports.clear();
  line().handles_issued = 0;
  line().process = kFirstProcess;
}

void set_process(ProcessId process) { line().process = process; }

FakePort &add_port(const std::string &name) {
  FakePort &port = line().ports.emplace_back();
  port.name = name;
  return port;
}

FakePort *port_for(Handle handle) {
  for (FakePort &port : line().ports) {
    if (handle != nullptr && port.handle == handle) {
      return &port;
    }
  }
  return nullptr;
}

void deliver_at(FakePort &port, std::uint32_t at_ms, const Bytes &bytes) {
  port.scheduled.push_back({at_ms, bytes});
}

std::uint32_t now_ms() { return line().now; }

SystemError last_system_error() { return line().last_error; }

Responder answer_always(std::vector<Chunk> chunks) {
  return [chunks](const Bytes &) { return chunks; };
}

Responder answer_in_turn(std::vector<std::vector<Chunk>> answers) {
  auto next = std::make_shared<std::size_t>(0);
  return [answers, next](const Bytes &) {
    return *next < answers.size() ? answers[(*next)++] : std::vector<Chunk>{};
  };
}

} // namespace fake

using fake::FakePort;

bool make_device_path(const char *port_name, Role role, char *path) {
  return join_device_path(role == Role::Interface ? fake::kInterfacePrefix : fake::kProbePrefix,
                          port_name, path);
}

SystemError refused_name_error() { return fake::kRefusedName; }

void leave_system_error(SystemError error) { fake::line().last_error = error; }

Handle open_port(const char *path, OpenFailure *failure) {
  const std::size_t prefix_length = std::strlen(fake::kInterfacePrefix);
  const std::string name = std::strlen(path) >= prefix_length ? path + prefix_length : "";
  for (FakePort &port : fake::line().ports) {
    if (port.name != name) {
      continue;
    }
    port.opened_paths.push_back(path);
    if (!port.is_terminal) {
      return fake::failed_open(OpenFailure::Kind::NotAPort, fake::kNotAPort, failure);
    }
    if (!port.can_open || port.is_open) {
      return fake::failed_open(OpenFailure::Kind::Unavailable, fake::kPortBusy, failure);
    }
    port.is_open = true;
    ++port.open_count;
    port.handle = fake::next_handle();
    return port.handle;
  }
  return fake::failed_open(OpenFailure::Kind::Unavailable, fake::kNoSuchPort, failure);
}

void configure_port(Handle handle, Role role, SavedSettings *saved) {
  if (FakePort *port = fake::open_port_for(handle)) {
    port->configured_roles.push_back(role);
    if (saved != nullptr) {
      saved->valid = true;
    }
    port->settings_changed = true;
  }
}

void restore_settings(Handle handle, const SavedSettings &saved) {
  if (FakePort *port = fake::open_port_for(handle); port != nullptr && saved.valid) {
    port->settings_changed = false;
  }
}

bool purge_receive(Handle handle) {
  FakePort *port = fake::open_port_for(handle);
  if (port == nullptr || fake::fails(port->purge_fails, ++port->purge_count)) {
    return false;
  }
  fake::deliver_due(*port);
  port->arrived.clear();
  return true;
}

std::int32_t queued_count(Handle handle) {
  FakePort *port = fake::open_port_for(handle);
  if (port == nullptr || fake::fails(port->queued_fails, ++port->queued_count)) {
    return -1;
  }
  fake::deliver_due(*port);
  return static_cast<std::int32_t>(port->arrived.size());
}

bool read_byte(Handle handle, std::uint8_t *byte) {
  FakePort *port = fake::open_port_for(handle);
  if (port == nullptr || fake::fails(port->read_fails, ++port->read_count)) {
    return false;
  }
  fake::deliver_due(*port);
  if (port->arrived.empty()) {
    return false;
  }
  *byte = port->arrived.front();
  port->arrived.pop_front();
  return true;
}

std::int32_t write_bytes(Handle handle, const std::uint8_t *bytes, std::int32_t count) {
  FakePort *port = fake::open_port_for(handle);
  if (port == nullptr) {
    return -1;
  }
  ++port->write_count;
  if (fake::fails(port->write_stalls, port->write_count)) {
    fake::line().now += port->write_stall_ms;
  }
  if (fake::fails(port->write_fails, port->write_count)) {
    return -1;
  }
  if (fake::fails(port->write_returns_zero, port->write_count)) {
    return 0;
  }
  const std::int32_t accepted =
      port->max_write_chunk > 0 && count > port->max_write_chunk ? port->max_write_chunk : count;
  fake::observe_written(*port, bytes, accepted);
  return accepted;
}

void close_port(Handle handle) {
  if (FakePort *port = fake::open_port_for(handle)) {
    port->is_open = false;
    ++port->close_count;
    port->closed_with_changed_settings += port->settings_changed ? 1 : 0;
    // A platform's close may overwrite its last error.
    fake::line().last_error = 0;
  }
}

Handle renumber_handle(Handle handle, HandleFilter avoid, OpenFailure * /*failure*/) {
  FakePort *port = fake::open_port_for(handle);
  if (port == nullptr) {
    return invalid_handle();
  }
  do {
    port->handle = fake::next_handle();
  } while (avoid(port->handle));
  return port->handle;
}

std::uint32_t tick_ms() { return fake::line().now; }

void sleep_ms(std::uint32_t milliseconds) { fake::line().now += milliseconds; }

ProcessId current_process() { return fake::line().process; }

} // namespace korvel::port

#include "guarded.h"
#include "step_line.h"
#include "steps.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Put into the out-handle before an open, which must overwrite it.
MDB_IF_HANDLE unwritten_handle() { return reinterpret_cast<MDB_IF_HANDLE>(0x5A5A5A5A); }

std::string handle_kind(MDB_IF_HANDLE handle) {
  if (handle == nullptr) {
    return "null";
  }
  if (handle == MDB_IF_INVALID_HANDLE) {
    return "invalid";
  }
  if (handle == unwritten_handle()) {
    return "unwritten";
  }
  return "valid";
}

// "#n": how the steps refer to the handle of the n-th open.
std::string handle_label(std::size_t position) {
  char label[24];
  std::snprintf(label, sizeof(label), "#%zu", position);
  return label;
}

bool is_foreign_alive(const HostState &state) {
  DWORD flags = 0;
  return GetHandleInformation(state.foreign, &flags) != 0;
}

} // namespace

bool open_step(HostState &state, HostArgs &args) {
  const char *name = args.take();
  if (name == nullptr) {
    return false;
  }
  const char *port = std::strcmp(name, "-") == 0 ? nullptr : name;
  MDB_IF_HANDLE handle = unwritten_handle();
  const CallTimer timer;
  const std::int32_t result = state.library.open(port, &handle);
  const DWORD error = GetLastError();
  StepLine line("open");
  line.add("result", result)
      .add("ms", timer.elapsed_ms())
      .add("error", static_cast<std::int64_t>(error));
  const auto earlier = std::find(state.opened.begin(), state.opened.end(), handle);
  if (handle_kind(handle) == "valid" && earlier != state.opened.end()) {
    line.add("same_as", handle_label(static_cast<std::size_t>(earlier - state.opened.begin()) + 1));
  }
  state.opened.push_back(handle);
  line.add("handle", handle_label(state.opened.size())).add("kind", handle_kind(handle)).print();
  return true;
}

bool close_step(HostState &state, HostArgs &args) {
  const auto handle = take_handle(args, state);
  if (!handle) {
    return false;
  }
  const CallTimer timer;
  const std::int32_t result = state.library.close(*handle);
  StepLine("close")
      .add("result", result)
      .add("ms", timer.elapsed_ms())
      .add("foreign_alive", is_foreign_alive(state) ? 1 : 0)
      .print();
  return true;
}

bool exec_step(HostState &state, HostArgs &args) {
  const auto handle = take_handle(args, state);
  const auto command = take_hex(args);
  const auto capacity = take_number(args);
  if (!handle || !command || !capacity || *capacity < 0) {
    return false;
  }
  GuardedBuffer reply(static_cast<std::size_t>(*capacity));
  std::int32_t length = *capacity;
  const CallTimer timer;
  const std::int32_t result = state.library.exec(
      *handle, command->data(), static_cast<std::int32_t>(command->size()), reply.data(), &length);
  StepLine line("exec");
  line.add("result", result).add("ms", timer.elapsed_ms()).add("len", length);
  if (length >= 0 && length <= *capacity) {
    line.add("reply", to_hex(reply.data(), static_cast<std::size_t>(length)));
  }
  line.add("guard_ok", reply.guards_intact() ? 1 : 0).print();
  return true;
}

bool exec_threads_step(HostState &state, HostArgs &args) {
  const auto handle = take_handle(args, state);
  const auto count = take_number(args);
  if (!handle || !count || *count < 0) {
    return false;
  }
  constexpr int kThreads = 2;
  int wrong[kThreads] = {};
  const auto send_own_commands = [&](int thread) {
    for (std::int32_t call = 0; call < *count; ++call) {
      const std::uint8_t command[] = {static_cast<std::uint8_t>(0xA0 + thread),
                                      static_cast<std::uint8_t>(call)};
      std::uint8_t reply[8] = {};
      std::int32_t length = sizeof(reply);
      if (state.library.exec(*handle, command, sizeof(command), reply, &length) != MDB_IF_OK ||
          length != sizeof(command) || std::memcmp(reply, command, sizeof(command)) != 0) {
        ++wrong[thread];
      }
    }
  };
  const CallTimer timer;
  std::thread other(send_own_commands, 1);
  send_own_commands(0);
  other.join();
  StepLine("exec-threads")
      .add("result", wrong[0] + wrong[1] == 0 ? MDB_IF_OK : MDB_IF_LINK_ERROR)
      .add("ms", timer.elapsed_ms())
      .add("wrong", wrong[0] + wrong[1])
      .print();
  return true;
}

bool reset_step(HostState &state, HostArgs &args) {
  const auto handle = take_handle(args, state);
  if (!handle) {
    return false;
  }
  const CallTimer timer;
  const std::int32_t result = state.library.line_reset(*handle);
  StepLine("reset").add("result", result).add("ms", timer.elapsed_ms()).print();
  return true;
}

bool version_step(HostState &state, HostArgs &args) {
  const auto handle = take_handle(args, state);
  const auto capacity = take_number(args);
  if (!handle || !capacity || *capacity < 0) {
    return false;
  }
  GuardedBuffer buffer(static_cast<std::size_t>(*capacity));
  char *text = buffer.text();
  const CallTimer timer;
  const std::int32_t result = state.library.version(*handle, text, *capacity);
  StepLine line("version");
  line.add("result", result).add("ms", timer.elapsed_ms());
  if (result == MDB_IF_OK) {
    line.add("text", terminated_text_hex(text, static_cast<std::size_t>(*capacity)));
  }
  line.add("guard_ok", buffer.guards_intact() ? 1 : 0).print();
  return true;
}

bool scan_step(HostState &state, HostArgs &) {
  GuardedBuffer buffer(MDB_IF_PORT_NAME_BUFFER);
  char *name = buffer.text();
  const CallTimer timer;
  const std::int32_t result = state.library.scan(name);
  StepLine line("scan");
  line.add("result", result).add("ms", timer.elapsed_ms());
  line.add("untouched", buffer.untouched() ? 1 : 0)
      .add("name", terminated_text_hex(name, MDB_IF_PORT_NAME_BUFFER))
      .add("guard_ok", buffer.guards_intact() ? 1 : 0)
      .print();
  return true;
}

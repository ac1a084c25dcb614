// What the host does beside the library: a named-pipe server that tells
// whether a client ever connected, and marker files that let the test on the
// other side of the line keep pace with the steps.
#include "step_line.h"
#include "steps.h"

#include <string>

namespace {

constexpr DWORD kPipeBufferBytes = 512;
// How often and how long await looks for its file.
constexpr DWORD kAwaitPollMs = 10;
constexpr DWORD kAwaitLimitMs = 30000;

std::string pipe_path(const char *name) { return std::string("\\\\.\\pipe\\") + name; }

bool file_exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

} // namespace

bool pipe_listen_step(HostState &state, HostArgs &args) {
  const char *name = args.take();
  if (name == nullptr || state.pipe != nullptr) {
    return false;
  }
  DWORD error = ERROR_SUCCESS;
  const HANDLE pipe =
      CreateNamedPipeA(pipe_path(name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                       PIPE_TYPE_BYTE, 1, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    error = GetLastError();
  } else {
    state.pipe = pipe;
    state.pipe_wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // Pending until a client connects; a client that came first is reported
    // at once.
    if (!ConnectNamedPipe(pipe, &state.pipe_wait)) {
      error = GetLastError();
      state.pipe_client_came_first = error == ERROR_PIPE_CONNECTED;
      if (error == ERROR_IO_PENDING || state.pipe_client_came_first) {
        error = ERROR_SUCCESS;
      }
    }
  }
  StepLine("pipe-listen").add("result", static_cast<std::int64_t>(error)).print();
  return true;
}

bool pipe_connect_step(HostState &, HostArgs &args) {
  const char *name = args.take();
  if (name == nullptr) {
    return false;
  }
  const HANDLE client = CreateFileA(pipe_path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD error = client == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (client != INVALID_HANDLE_VALUE) {
    CloseHandle(client);
  }
  StepLine("pipe-connect").add("result", static_cast<std::int64_t>(error)).print();
  return true;
}

bool pipe_clients_step(HostState &state, HostArgs &) {
  if (state.pipe == nullptr) {
    return false;
  }
  const bool connected = state.pipe_client_came_first ||
                         WaitForSingleObject(state.pipe_wait.hEvent, 0) == WAIT_OBJECT_0;
  StepLine("pipe-clients").add("result", 0).add("connected", connected ? 1 : 0).print();
  return true;
}

bool signal_step(HostState &, HostArgs &args) {
  const char *path = args.take();
  if (path == nullptr) {
    return false;
  }
  const HANDLE file =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
  }
  StepLine("signal").add("result", static_cast<std::int64_t>(error)).print();
  return true;
}

bool await_step(HostState &, HostArgs &args) {
  const char *path = args.take();
  if (path == nullptr) {
    return false;
  }
  const CallTimer timer;
  DWORD waited = 0;
  for (; !file_exists(path) && waited < kAwaitLimitMs; waited += kAwaitPollMs) {
    Sleep(kAwaitPollMs);
  }
  const DWORD result = file_exists(path) ? ERROR_SUCCESS : ERROR_TIMEOUT;
  StepLine("await")
      .add("result", static_cast<std::int64_t>(result))
      .add("ms", timer.elapsed_ms())
      .print();
  return true;
}

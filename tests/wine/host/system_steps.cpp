// What the library meets on the system without making it: the serial-port
// list its scan reads (the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, one
// port name each), the settings other programs leave on a port; and the
// library's wait, timed on its own.
#include "port/wait_win32.h"
#include "step_line.h"
#include "steps.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr const char *kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Not the library's 38400.
constexpr DWORD kOtherProgramsBaud = CBR_9600;

// Another program's line, with every flag set that can stop or alter the
// bytes.
void leave_flow_control_on(DCB &dcb) {
  dcb.BaudRate = kOtherProgramsBaud;
  dcb.fOutxCtsFlow = TRUE;
  dcb.fOutxDsrFlow = TRUE;
  dcb.fOutX = TRUE;
  dcb.fInX = TRUE;
  dcb.fNull = TRUE;
  dcb.fAbortOnError = TRUE;
  dcb.fErrorChar = TRUE;
}

// Opens the port on a handle of its own, reads its settings into dcb,
// applies change (when given) and closes it. 0, or the error that stopped it.
DWORD use_port(const char *port, DCB &dcb, void (*change)(DCB &)) {
  const std::string path = std::string("\\\\.\\") + port;
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError();
  }
  dcb = DCB{};
  dcb.DCBlength = sizeof(dcb);
  bool done = GetCommState(handle, &dcb) != FALSE;
  if (done && change != nullptr) {
    change(dcb);
    done = SetCommState(handle, &dcb) != FALSE;
  }
  const DWORD error = done ? ERROR_SUCCESS : GetLastError();
  CloseHandle(handle);
  return error;
}

// "cts+outx+...", the flags of leave_flow_control_on that are set; "-" for none.
std::string flag_names(const DCB &dcb) {
  const std::pair<const char *, bool> flags[] = {
      {"cts", dcb.fOutxCtsFlow},    {"dsr", dcb.fOutxDsrFlow},
      {"outx", dcb.fOutX},          {"inx", dcb.fInX},
      {"null", dcb.fNull},          {"abort", dcb.fAbortOnError},
      {"errorchar", dcb.fErrorChar}};
  std::string names;
  for (const auto &[name, set] : flags) {
    if (set) {
      if (!names.empty()) {
        names += '+';
      }
      names += name;
    }
  }
  return names.empty() ? "-" : names;
}

// The settings a fresh open of the port reads.
void print_port_settings(const char *op, const char *port) {
  DCB dcb{};
  const DWORD error = use_port(port, dcb, nullptr);
  StepLine line(op);
  line.add("result", static_cast<std::int64_t>(error));
  if (error == ERROR_SUCCESS) {
    line.add("baud", static_cast<std::int64_t>(dcb.BaudRate)).add("flags", flag_names(dcb));
  }
  line.print();
}

std::int64_t counter_us(LONGLONG ticks) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return ticks * 1000000 / frequency.QuadPart;
}

// User and kernel time of the whole process so far.
std::int64_t processor_time_us() {
  FILETIME created;
  FILETIME exited;
  FILETIME kernel;
  FILETIME user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    return 0;
  }
  const auto units = [](const FILETIME &time) {
    return (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  constexpr std::int64_t kFileTimeUnitsPerMicrosecond = 10;
  return (units(kernel) + units(user)) / kFileTimeUnitsPerMicrosecond;
}

LONG open_port_list(HKEY &key) {
  return RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, nullptr, REG_OPTION_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, &key, nullptr);
}

LONG delete_all_values(HKEY key) {
  for (;;) {
    char name[256];
    DWORD name_size = sizeof(name);
    const LONG found = RegEnumValueA(key, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr);
    if (found == ERROR_NO_MORE_ITEMS) {
      return ERROR_SUCCESS;
    }
    if (found != ERROR_SUCCESS) {
      return found;
    }
    const LONG deleted = RegDeleteValueA(key, name);
    if (deleted != ERROR_SUCCESS) {
      return deleted;
    }
  }
}

LONG set_value(const char *name, DWORD type, const void *data, std::size_t size) {
  HKEY key = nullptr;
  LONG result = open_port_list(key);
  if (result == ERROR_SUCCESS) {
    result = RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data),
                            static_cast<DWORD>(size));
    RegCloseKey(key);
  }
  return result;
}

void print_registry_step(const char *op, LONG result) {
  StepLine(op).add("result", static_cast<std::int64_t>(result)).print();
}

} // namespace

bool registry_clear_step(HostState &, HostArgs &) {
  HKEY key = nullptr;
  LONG result = open_port_list(key);
  if (result == ERROR_SUCCESS) {
    result = delete_all_values(key);
    RegCloseKey(key);
  }
  print_registry_step("reg-clear", result);
  return true;
}

bool registry_drop_step(HostState &, HostArgs &) {
  print_registry_step("reg-drop", RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSerialCommKey));
  return true;
}

bool registry_string_step(HostState &, HostArgs &args) {
  const char *name = args.take();
  const char *data = args.take();
  if (name == nullptr || data == nullptr) {
    return false;
  }
  print_registry_step("reg-sz", set_value(name, REG_SZ, data, std::strlen(data) + 1));
  return true;
}

bool registry_dword_step(HostState &, HostArgs &args) {
  const char *name = args.take();
  const auto value = take_number(args);
  if (name == nullptr || !value) {
    return false;
  }
  const DWORD data = static_cast<DWORD>(*value);
  print_registry_step("reg-dword", set_value(name, REG_DWORD, &data, sizeof(data)));
  return true;
}

bool registry_binary_step(HostState &, HostArgs &args) {
  const char *name = args.take();
  const auto data = take_hex(args);
  if (name == nullptr || !data) {
    return false;
  }
  print_registry_step("reg-bin", set_value(name, REG_BINARY, data->data(), data->size()));
  return true;
}

bool port_dirty_step(HostState &, HostArgs &args) {
  const char *port = args.take();
  if (port == nullptr) {
    return false;
  }
  DCB dcb{};
  const DWORD error = use_port(port, dcb, leave_flow_control_on);
  if (error != ERROR_SUCCESS) {
    StepLine("dirty").add("result", static_cast<std::int64_t>(error)).print();
  } else {
    print_port_settings("dirty", port);
  }
  return true;
}

bool port_settings_step(HostState &, HostArgs &args) {
  const char *port = args.take();
  if (port == nullptr) {
    return false;
  }
  print_port_settings("dcb", port);
  return true;
}

bool wait_step(HostState &, HostArgs &args) {
  const char *method_name = args.take();
  const auto milliseconds = take_number(args);
  const auto count = take_number(args);
  if (method_name == nullptr || !milliseconds || *milliseconds < 0 || !count || *count < 1) {
    return false;
  }
  using korvel::port::WaitMethod;
  WaitMethod method = WaitMethod::Sleep;
  if (std::strcmp(method_name, "timer") == 0) {
    method = WaitMethod::HighResolutionTimer;
  } else if (std::strcmp(method_name, "sleep") != 0) {
    return false;
  }
  std::int64_t shortest = INT64_MAX;
  std::int64_t longest = 0;
  const std::int64_t cpu_before = processor_time_us();
  for (std::int32_t i = 0; i < *count; ++i) {
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    korvel::port::wait_at_least(static_cast<std::uint32_t>(*milliseconds), method);
    QueryPerformanceCounter(&end);
    const std::int64_t waited = counter_us(end.QuadPart - start.QuadPart);
    shortest = std::min(shortest, waited);
    longest = std::max(longest, waited);
  }
  const std::int64_t cpu_us = processor_time_us() - cpu_before;
  StepLine("wait")
      .add("result", 0)
      .add("min_us", shortest)
      .add("max_us", longest)
      .add("cpu_us", cpu_us)
      .print();
  return true;
}

// The system's serial-port list, which the library's scan reads: the values
// of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, one port name each.
#include "step_line.h"
#include "steps.h"

#include <cstring>
#include <string>

namespace {

constexpr const char *kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

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

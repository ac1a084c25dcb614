// Windows port list: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, whose
// data are the port names.
#include "port_list.h"

#include <windows.h>

namespace korvel::port {
namespace {

constexpr const char *kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD kValueBufferSize = 256;

// A value is listed only when its data is a string that ends inside the data
// the registry returned and fits the listed-name buffer; anything else is
// skipped rather than cut into the name of some other port.
bool copy_listed_name(DWORD type, const BYTE *data, DWORD data_size, char *name) {
  if (type != REG_SZ) {
    return false;
  }
  for (DWORD i = 0; i < data_size && i < kListedNameSize; ++i) {
    name[i] = static_cast<char>(data[i]);
    if (data[i] == 0) {
      return i > 0;
    }
  }
  return false;
}

} // namespace

bool list_serial_ports(PortVisitor visit, void *context) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD value_count = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &value_count,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    RegCloseKey(key);
    return false;
  }
  for (DWORD index = 0; index < value_count; ++index) {
    char value_name[kValueBufferSize];
    BYTE data[kValueBufferSize];
    DWORD name_size = kValueBufferSize;
    DWORD data_size = kValueBufferSize;
    DWORD type = 0;
    if (RegEnumValueA(key, index, value_name, &name_size, nullptr, &type, data, &data_size) !=
        ERROR_SUCCESS) {
      RegCloseKey(key);
      return false;
    }
    char name[kListedNameSize];
    if (!copy_listed_name(type, data, data_size, name)) {
      name[0] = '\0';
    }
    if (visit(name, context)) {
      break;
    }
  }
  RegCloseKey(key);
  return true;
}

} // namespace korvel::port

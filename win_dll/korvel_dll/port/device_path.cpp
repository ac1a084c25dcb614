#include "serial_port.h"

#include <cstring>

namespace korvel::port {

bool join_device_path(const char *prefix, const char *port_name, char *path) {
  if (port_name == nullptr) {
    return false;
  }
  const std::size_t prefix_length = std::strlen(prefix);
  // Bounded scan: a name longer than the room left is refused without reading
  // it to its end.
  const std::size_t room = kDevicePathSize - 1 - prefix_length;
  const std::size_t name_length = strnlen(port_name, room + 1);
  if (name_length > room) {
    return false;
  }
  std::memcpy(path, prefix, prefix_length);
  std::memcpy(path + prefix_length, port_name, name_length);
  path[prefix_length + name_length] = '\0';
  return true;
}

} // namespace korvel::port

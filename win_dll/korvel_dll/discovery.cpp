// MDB_IF_ScanInterface: find the adapter among the system's serial ports.
#include "adapter_commands.h"
#include "current_interface.h"
#include "exchange.h"
#include "korvel_dll.h"
#include "port/export_lock.h"
#include "port/port_list.h"
#include "port/serial_port.h"

#include <cstring>

namespace {

using korvel::port::Handle;

using korvel::adapter::kIdentification;

// The probe reads at most this much of the reply to the read-version command.
constexpr std::int32_t kProbeReplyCapacity = 41;
constexpr std::int32_t kIdentificationLength = sizeof(kIdentification) - 1;

bool identifies_adapter(const std::uint8_t *payload, std::int32_t length) {
  return length > kIdentificationLength &&
         std::strncmp(reinterpret_cast<const char *>(payload), kIdentification,
                      kIdentificationLength) == 0;
}

// Opens the port with its own handle, leaving DTR, RTS and DSR as they are,
// asks it for its version once and closes it again with the settings it had:
// a listed port may be a modem or a printer that another program relies on.
bool probe_port(const char *path) {
  const Handle interface = korvel::current_interface();
  const Handle handle =
      korvel::port::open_port(path, nullptr, korvel::is_open_port(interface) ? interface : nullptr);
  if (handle == korvel::port::invalid_handle()) {
    return false;
  }
  korvel::port::SavedSettings found_settings;
  korvel::port::configure_port(handle, korvel::port::Role::Probe, &found_settings);
  std::uint8_t reply[kProbeReplyCapacity];
  std::int32_t delivered = kProbeReplyCapacity;
  const korvel::link::LinkStatus status =
      korvel::exchange(handle, korvel::link::FittingCommand{korvel::adapter::kReadVersionCommand},
                       reply, &delivered);
  korvel::port::restore_settings(handle, found_settings);
  korvel::port::close_port(handle);
  return status == korvel::link::LinkStatus::Ok && identifies_adapter(reply, delivered);
}

// Each listed port leaves its verdict in the host's buffer: the name when the
// adapter answered, the empty string when it did not. An unusable entry (the
// empty name) is never opened and counts as a port that did not answer, so
// no earlier content of the buffer survives a scan that listed anything.
bool probe_listed_port(const char *name, void *context) {
  auto *port_name = static_cast<char *>(context);
  char path[korvel::port::kDevicePathSize];
  if (name[0] != '\0' && korvel::port::make_device_path(name, korvel::port::Role::Probe, path) &&
      probe_port(path)) {
    std::strncpy(port_name, name, MDB_IF_PORT_NAME_BUFFER - 1);
    port_name[MDB_IF_PORT_NAME_BUFFER - 1] = '\0';
    return true;
  }
  port_name[0] = '\0';
  return false;
}

} // namespace

extern "C" int32_t MDB_IF_ScanInterface(char *portName) {
  const korvel::port::ExportLock lock;
  if (portName == nullptr) {
    return MDB_IF_OPEN_OR_CRC_ERROR;
  }
  return korvel::port::list_serial_ports(probe_listed_port, portName) ? MDB_IF_OK
                                                                      : MDB_IF_OPEN_OR_CRC_ERROR;
}

// The one current interface: the handle of the open port, shared by all
// exports. Null while no interface is open.
#pragma once

#include "port/serial_port.h"

namespace korvel {

port::Handle current_interface();
void set_current_interface(port::Handle handle);

// The check every transaction and the close begin with: a null handle, or one
// that is not the current interface, is rejected.
bool is_current_interface(port::Handle handle);

// Closes the current interface, if a port is open, as MDB_IF_CloseInterface
// does, and leaves none current: for a module unloaded with an interface
// still open. The caller holds the export lock.
void close_current_interface();

} // namespace korvel

// The one current interface: the handle of the open port, shared by all
// exports. Null while no interface is open.
#pragma once

#include "port/serial_port.h"

namespace korvel {

// The current interface of the calling process. In a child after fork the
// interface it inherited belongs to the parent: it is forgotten, and the
// child has none until it opens one.
port::Handle current_interface();
void set_current_interface(port::Handle handle);

// The check every transaction and the close begin with: a null handle, or one
// that is not the current interface, is rejected.
bool is_current_interface(port::Handle handle);

// Handles the host was given whose ports the library has since closed (or
// left to the parent after a fork). They must keep failing the handle check,
// but the platform may hand their values out again, so a new handle is moved
// off them. Only the most recent kMaxAvoidedHandles are remembered; null and
// the invalid value name no port and are never kept.
void retire_handle(port::Handle handle);
bool was_retired(port::Handle handle);

// Neither null nor the invalid value a failed open leaves.
bool is_open_port(port::Handle handle);

// Closes the current interface, if a port is open, as MDB_IF_CloseInterface
// does, and leaves none current: for a module unloaded with an interface
// still open. The caller holds the export lock.
void close_current_interface();

} // namespace korvel

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

} // namespace korvel

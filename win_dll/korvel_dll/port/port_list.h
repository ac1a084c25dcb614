// The system's list of serial ports, as discovery walks it.
#pragma once

#include <cstddef>

namespace korvel::port {

// Discovery keeps a port name in this many bytes, terminator included: names
// of 8 or more characters are never listed.
constexpr std::size_t kListedNameSize = 8;

// Called with each listed port name, in the system's order. An entry that
// cannot be used as a port name (not a string, or too long) is visited as
// the empty name, so that it still counts as a port that was tried. Returns
// true to stop the walk.
using PortVisitor = bool (*)(const char *name, void *context);

// Walks the system's serial ports. Returns false when the list could not be
// read; ports may have been visited before that happened.
bool list_serial_ports(PortVisitor visit, void *context);

} // namespace korvel::port

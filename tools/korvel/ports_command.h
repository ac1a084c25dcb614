// korvel ports: the serial ports as a scan sees them, one a line or as JSON.
#pragma once

#include "command_line.h"
#include "port_facts.h"

#include <string>

namespace korvel::cli {

int run_ports(const Invocation &invocation);

// The facts of one port after its name, separated by commas: "driver
// ftdi_sio, USB 0403:6001, FTDI, ...". The device only when verbose.
std::string facts_text(const PortFacts &facts, bool verbose);

} // namespace korvel::cli

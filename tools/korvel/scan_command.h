// korvel scan: which ports the scan probes, how each probe went, and a last
// line that agrees with the result.
#pragma once

#include "command_line.h"
#include "port_facts.h"

namespace korvel::cli {

// listing is the system's, as list_system_ports() reads it just before.
int run_scan(const Invocation &invocation, const PortListing &listing);

} // namespace korvel::cli

// korvel scan: which ports the scan probes, how each probe went, and a last
// line that agrees with the result.
#pragma once

#include "command_line.h"

namespace korvel::cli {

int run_scan(const Invocation &invocation);

} // namespace korvel::cli

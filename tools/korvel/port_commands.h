// The commands that open a port and call the library, each returning the
// program's exit status. Every library call is printed with its result code
// and meaning.
#pragma once

#include "command_line.h"

namespace korvel::cli {

int run_version(const Invocation &invocation);
int run_reset(const Invocation &invocation);
int run_exec(const Invocation &invocation);

} // namespace korvel::cli

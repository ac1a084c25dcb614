// How korvel-sim answers: the reply table and defaults, then the faults the
// command line asked for.
#pragma once

#include "sim_options.h"

namespace korvel::simtool {

// The answer before any fault: a --reply rule for the command, else the
// version text (or the identification) for read-version, else status 0x00.
sim::Answer plain_answer(const SimOptions &options, const sim::Bytes &command);

sim::Behaviour make_behaviour(const SimOptions &options);

} // namespace korvel::simtool

// How korvel-sim answers: the reply table and defaults, then the faults the
// command line asked for.
#pragma once

#include "sim_options.h"
#include "transcript_replay.h"

namespace korvel::simtool {

// The answer before any fault: a --reply rule for the command, else the
// version text (or the identification) for read-version, else status 0x00.
sim::Answer plain_answer(const SimOptions &options, const sim::Bytes &command);

sim::Behaviour make_behaviour(const SimOptions &options);

// Answers from the transcript's script; a request it has no answer for is
// told to `unanswered` and then answered as the options say when they give
// answers (--identify, --reply, --version-text), else not at all.
sim::Behaviour replaying(const SimOptions &options, ReplayScript script,
                         TranscriptPlayer::Notice unanswered);

} // namespace korvel::simtool

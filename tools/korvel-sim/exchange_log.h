// The lines korvel-sim prints so that a person can watch the line.
#pragma once

#include "sim_adapter.h"

#include <string>

namespace korvel::simtool {

// One line on standard output, or "korvel-sim: " and one line on standard
// error, written at once and never interleaved with another thread's.
void say(const std::string &line);
void complain(const std::string &line);

// "1 request", "3 requests"; "1 reply", "2 replies" given the plural.
std::string count_of(std::size_t count, const std::string &thing, const std::string &things = "");

// "12:00:01.234", the local wall-clock time.
std::string timestamp_now();

// The faults an answer carries, in words ("noise 4 bytes, crc-error"); empty
// when it carries none.
std::string describe_faults(const sim::Answer &answer);

// "request 0A 0B -> reply 00 11 [crc-error]", without the timestamp; a
// played answer says what it put on the line and where it came from.
std::string describe_exchange(const sim::Exchange &exchange);

// The frames as they crossed the line, one indented line each:
// "  wire in  02 00 30 ..." and, unless the adapter stayed silent,
// "  wire out 02 00 00 ..." (noise that went before it included).
std::string describe_wire(const sim::Exchange &exchange);

} // namespace korvel::simtool

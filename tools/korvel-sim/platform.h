// What differs between the systems korvel-sim runs on. One implementation
// per system, chosen in CMake: platform_posix.cpp, platform_win32.cpp.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace korvel::simtool {

// From now on, Ctrl-C (and SIGTERM on Linux; closing the console window,
// logging off or shutting down on Windows) asks korvel-sim to stop.
void stop_on_request();
bool stop_requested();

// korvel-sim has stopped cleanly and is about to exit: where the system
// waits for that (a console window being closed), it may go on.
void stopped();

// The local time of day and date.
std::tm local_time(std::time_t time);

// Why an option cannot be used on this system ("is for ..."), or "" where
// it can.
std::string unavailable_here(std::string_view option);

// Why korvel-sim cannot serve without --device here, or "" where it has a
// pseudo-terminal of its own.
std::string device_needed_because();

} // namespace korvel::simtool

// What a scan is doing while the library probes, seen from outside it: the
// devices this process has open at the moment. On Linux they are read from
// /proc/self/fd; Windows offers no such view, so a scan's outcome for each
// port is told once the scan is over.
#pragma once

#include <string>
#include <vector>

namespace korvel::cli {

bool can_see_open_devices();

// The paths of the devices open in this process ("/dev/ttyUSB0").
std::vector<std::string> open_devices();

// The path a scan opens for a listed port name.
std::string probe_path(const std::string &name);

// Whether standard output is a terminal, where progress may be drawn.
bool output_is_terminal();

} // namespace korvel::cli

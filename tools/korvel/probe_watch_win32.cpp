#include "probe_watch.h"

#include <cstdio>
#include <io.h>

namespace korvel::cli {

bool can_see_open_devices() { return false; }

std::vector<std::string> open_devices() { return {}; }

std::string probe_path(const std::string &name) { return name; }

bool output_is_terminal() { return _isatty(_fileno(stdout)) != 0; }

} // namespace korvel::cli

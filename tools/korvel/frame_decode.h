// Decoding wire bytes captured on the line, in either direction.
#pragma once

#include "command_line.h"

namespace korvel::cli {

// Prints every complete frame in the bytes: its logical bytes, header,
// payload and CRC verdict. Returns the exit status: success only when there
// is at least one frame and every frame's CRC is right.
int run_decode(const Invocation &invocation);

} // namespace korvel::cli

// Writing a request frame to the port.
#pragma once

#include "../port/serial_port.h"
#include "frame.h"

namespace korvel::link {

// Frames the command in the transmit buffer and writes it in full, going on
// after short writes. Returns false if a write fails or writes nothing, or
// if the frame is still not written port::kWriteTimeoutMs after the start.
bool send_request(port::Handle handle, const FittingCommand &command);

} // namespace korvel::link

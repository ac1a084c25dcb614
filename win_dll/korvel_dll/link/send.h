// Writing a request frame to the port.
#pragma once

#include "../port/serial_port.h"

#include <cstdint>

namespace korvel::link {

// Frames the command in the transmit buffer and writes it in full, going on
// after short writes. Returns false if the command cannot be framed (nothing
// is written then; see command_fits) or if a write fails or writes nothing.
bool send_request(port::Handle handle, const std::uint8_t *command, std::int32_t count);

} // namespace korvel::link

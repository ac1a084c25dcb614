#include "send.h"

#include "frame.h"

namespace korvel::link {

bool send_request(port::Handle handle, const std::uint8_t *command, std::int32_t count) {
  if (!command_fits(command, count)) {
    return false;
  }
  encode_request(command, count);
  for (std::int32_t offset = 0; offset < g_transmit.length;) {
    const std::int32_t written =
        port::write_bytes(handle, g_transmit.bytes + offset, g_transmit.length - offset);
    if (written <= 0) {
      return false;
    }
    offset += written;
  }
  return true;
}

} // namespace korvel::link

// Outcome of one send-and-receive on the line.
#pragma once

#include <cstdint>

namespace korvel::link {

enum class LinkStatus : std::uint8_t {
  Ok,          // a reply frame arrived and passed its CRC check
  Timeout,     // no complete reply in time
  CrcError,    // a reply frame failed its CRC check
  NotReceived, // nothing received: the purge or the send failed
};

} // namespace korvel::link

// Outcome of one send-and-receive on the line. The adapter's one-byte status
// replies use the same numbers, with 0xFE in addition.
#pragma once

#include <cstdint>

namespace korvel::link {

enum LinkStatus : std::uint8_t {
  kLinkOk = 0x00,          // a reply frame arrived and passed its CRC check
  kLinkTimeout = 0xFC,     // no complete reply in time
  kLinkCrcError = 0xFD,    // a reply frame failed its CRC check
  kLinkNotReceived = 0xFF, // nothing received: the purge or the send failed
};

} // namespace korvel::link

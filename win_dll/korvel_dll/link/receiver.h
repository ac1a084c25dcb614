// Waiting for one reply frame and delivering its payload.
#pragma once

#include "../port/serial_port.h"
#include "link_status.h"

#include <cstdint>

namespace korvel::link {

// The receive gives up after this much silence, counted from the last byte
// read (or from its start).
constexpr std::uint32_t kSilenceTimeoutMs = 500;
// While nothing is queued the port is polled at this interval.
constexpr std::uint32_t kPollIntervalMs = 10;
// However busy the line, one receive ends after this long. The longest reply
// the accumulator holds takes under 300 ms on the wire at 38400 baud, so a
// real adapter that answers within the silence timeout never comes near it;
// a line that chatters without ever forming a frame cannot hold the host
// beyond it.
constexpr std::uint32_t kReceiveLimitMs = 2000;

// Waits for one reply frame (header byte 2 = 0x00) and checks its CRC.
// On entry *length is the capacity of payload; on Ok it is the number of
// payload bytes copied to payload, at most that capacity. On Timeout and
// CrcError neither payload nor *length is written.
LinkStatus receive_reply(port::Handle handle, std::uint8_t *payload, std::int32_t *length);

} // namespace korvel::link

// One request and its reply on an open port: the core of every transaction.
#pragma once

#include "link/link_status.h"
#include "port/serial_port.h"

#include <cstdint>

namespace korvel {

// Every exchange that gets as far as the send ends with this pause, which
// gives the adapter time before the next request.
constexpr std::uint32_t kSettleDelayMs = 20;

struct ExchangeResult {
  // False when the receive queue could not be purged: nothing was sent and
  // no settle delay followed.
  bool purged;
  link::LinkStatus link_status;
};

// Purges the receive queue (twice: the outcome of the first is ignored),
// sends the command, receives the reply into reply (capacity *reply_length,
// as receive_reply) and sleeps the settle delay.
ExchangeResult exchange(port::Handle handle, const std::uint8_t *command, std::int32_t count,
                        std::uint8_t *reply, std::int32_t *reply_length);

} // namespace korvel

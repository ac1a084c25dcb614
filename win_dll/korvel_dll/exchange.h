// One request and its reply on an open port: the core of every transaction,
// and the timing of transactions.
#pragma once

#include "link/frame.h"
#include "link/link_status.h"
#include "link/receiver.h"
#include "port/serial_port.h"

#include <cstdint>

namespace korvel {

// Every exchange that gets as far as the send ends with this pause, which
// gives the adapter time before the next request.
constexpr std::uint32_t kSettleDelayMs = 20;

// An exchange with an adapter that never answers takes this long: the
// receive's silence timeout and the settle delay.
constexpr std::uint32_t kSilentExchangeMs = link::kSilenceTimeoutMs + kSettleDelayMs;

// A host command is tried this many times while no valid reply comes back.
constexpr int kCommandAttempts = 3;
// After a failed command attempt, before the next one (and after the last).
constexpr std::uint32_t kRetryDelayMs = 20;

// Purges the receive queue, sends the command, receives the reply into reply
// (capacity *reply_length, as receive_reply) and sleeps the settle delay. A
// purge that fails ends the exchange at once with NotReceived: nothing is
// sent and no settle delay follows.
link::LinkStatus exchange(port::Handle handle, const link::FittingCommand &command,
                          std::uint8_t *reply, std::int32_t *reply_length);

} // namespace korvel

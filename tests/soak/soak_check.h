// Checking every soak transaction against what the simulated adapter did.
//
// A transaction's own requests are the adapter's decoded requests that carry
// its command (exec: one to three in a row; version and reset: exactly one).
// The host may accept a reply to any of them, and the outcome must then be
// exactly what that reply gives the function: code, delivered bytes, and
// nothing written beyond them. A reply is accepted in the attempt it answers,
// or, when it came late (after the receive gave up), in the next attempt of
// the same command; a valid reply in time ends the attempts.
//
// A reply that the adapter wrote after the transaction began cannot be told
// apart from a reply to it: the line carries no transaction number, and the
// purge at the start of the transaction has already happened. Late replies to
// a transaction's last request arrive that way in the next transaction, as do
// answers to requests the adapter only read after a late reply. Such a
// foreign reply may be accepted (counted as carried over) and may make the
// transaction fail. Likewise an adapter still busy with an earlier request
// when the transaction began answers it late, so that its own replies may be
// missed. Such transactions are checked loosely: the outcome must be one of
// the replies that may have been on the line, exactly, or a failure after
// all attempts. Anything else that does not match is a mismatch.
#pragma once

#include "fault_mix.h"
#include "soak_traffic.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace soak {

// Bytes after each host buffer that no call may touch, and what every host
// buffer holds before a call.
constexpr std::size_t kGuardBytes = 32;
constexpr std::uint8_t kBufferFill = 0xA5;

// A reply sent in pieces is paced to take at most this long, well inside one
// receive's 2 s limit (an unpaced 506-byte reply in 1-byte pieces would take
// 20 s, which the library reports as a timeout by design).
constexpr std::uint32_t kPiecesBudgetMs = 400;

// When the adapter read a request, when its answer began to go out (from its
// delay), and when the last byte of it was written, in ms since the soak
// began.
struct RequestTiming {
  double read_ms = 0;
  double write_start_ms = 0;
  double write_end_ms = 0;
};

struct CallRecord {
  Transaction transaction;
  std::int32_t result = -1;
  // *replyLength after an exec.
  std::int32_t length_after = 0;
  // The whole host buffer after the call: capacity, then the guard bytes.
  Bytes buffer;
  double start_ms = 0;
  double end_ms = 0;
};

struct SoakTally {
  std::size_t requests = 0;
  std::array<std::size_t, korvel::sim::kFaultKinds> faults{};
  std::size_t carried_over = 0;        // foreign replies accepted
  std::size_t late_accepted_retry = 0; // a late reply taken by the next attempt
  std::size_t failed_after_three = 0;  // exec results 2 or 4 after three attempts
  std::size_t loosely_checked = 0;     // adapter busy or foreign bytes on the line
  std::array<double, 3> longest_ms{};  // by Call
  std::vector<std::string> mismatches;
};

// The longest a call may take under the soak's fault mix.
double call_bound_ms(Call call);

SoakTally check_soak(const std::vector<CallRecord> &calls,
                     const std::vector<korvel::sim::Exchange> &exchanges,
                     const std::vector<RequestTiming> &timings);

} // namespace soak

// A second, deliberately plain model of the link byte rules, written from
// their description rather than from the library code: a bit-by-bit CRC, an
// encoder that stuffs into a fresh vector, and a decoder that finds the first
// complete reply frame in a byte stream. The fuzzers compare the library with
// it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::fuzz {

using Bytes = std::vector<std::uint8_t>;

// CRC-16, polynomial 0x1021, initial 0xFFFF, MSB first, no final XOR.
std::uint16_t reference_crc(const std::uint8_t *bytes, std::size_t count);

// The wire bytes (STX..ETX, stuffed) of a frame with this header and payload.
Bytes reference_frame(std::uint8_t header1, std::uint8_t header2, const std::uint8_t *payload,
                      std::size_t count);

enum class ReplyOutcome { NoFrame, CrcError, Valid };

struct ReferenceReply {
  ReplyOutcome outcome = ReplyOutcome::NoFrame;
  // Stream index of the ETX that completed the frame (not NoFrame).
  std::size_t etx_index = 0;
  // The frame's payload (Valid only).
  Bytes payload;
};

// What a receiver must make of the stream: the first complete reply frame.
ReferenceReply first_reply(const Bytes &stream);

// Whether the model reproduces the worked examples and the CRC check value.
bool reference_self_check();

} // namespace korvel::fuzz

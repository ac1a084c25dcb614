// Frames recognised in bytes as they crossed the line.
#pragma once

#include "line.h"
#include "sim_adapter.h"

#include <optional>

namespace korvel::simtool {

struct DecodedFrame {
  bool valid = false; // whole, with the right CRC
  sim::Bytes payload;
};

// What the bytes carry when they are exactly one frame, STX to ETX, of the
// kind that goes that way: a request to the adapter, a reply to the host.
std::optional<DecodedFrame> whole_frame(const sim::Bytes &bytes, sim::Direction direction);

// The first frame to the host among the bytes (after any noise).
std::optional<DecodedFrame> first_reply_frame(const sim::Bytes &bytes);

} // namespace korvel::simtool

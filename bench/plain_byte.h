// Shared by the codec and receiver benchmarks.
#pragma once

#include <cstdint>

namespace korvel::bench {

// A byte that never needs stuffing on the line.
constexpr std::uint8_t kPlainByte = 0x55;

} // namespace korvel::bench

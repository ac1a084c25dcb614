// Request frames worked out by hand, byte for byte, as they go on the wire.
#pragma once

#include <cstdint>
#include <vector>

namespace worked_frames {

// Read version: command 01.
inline const std::vector<std::uint8_t> kReadVersionWire = {0x02, 0x00, 0x30, 0x01,
                                                           0xD9, 0x28, 0x03};
// Line reset: command 02, stuffed to 7D E2.
inline const std::vector<std::uint8_t> kLineResetWire = {0x02, 0x00, 0x30, 0x7D,
                                                         0xE2, 0xE9, 0x4B, 0x03};

} // namespace worked_frames

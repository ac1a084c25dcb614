#include "frame.h"

#include "crc16.h"

#include <cstring>

namespace korvel::link {

namespace {

std::int32_t count_escapes(const std::uint8_t *bytes, std::int32_t count) {
  std::int32_t escapes = 0;
  for (std::int32_t i = 0; i < count; ++i) {
    escapes += needs_escape(bytes[i]) ? 1 : 0;
  }
  return escapes;
}

std::uint16_t request_crc(const std::uint8_t *command, std::int32_t count) {
  constexpr std::uint8_t header[] = {kRequestHeader1, kRequestHeader2};
  const std::uint16_t crc = crc16(header, sizeof(header));
  return crc16_update(crc, command, static_cast<std::size_t>(count));
}

} // namespace

// The host's command length reaches us unchecked, so everything that could
// push the frame past the transmit buffer is refused here, before a byte of
// the buffer is touched.
bool command_fits(const std::uint8_t *command, std::int32_t count) {
  if (count < 0 || count > kMaxCommandUnstuffed || (command == nullptr && count != 0)) {
    return false;
  }
  if (count <= kMaxCommandAnyBytes) {
    return true;
  }
  const std::uint16_t crc = request_crc(command, count);
  const std::uint8_t crc_bytes[] = {crc_high(crc), crc_low(crc)};
  const std::int32_t stuffed_length =
      count + kFrameOverhead + count_escapes(command, count) + count_escapes(crc_bytes, 2);
  return stuffed_length <= static_cast<std::int32_t>(kTransmitBufferSize);
}

std::int32_t encode_frame(std::uint8_t header1, std::uint8_t header2, const std::uint8_t *payload,
                          std::int32_t count, std::uint8_t *frame) {
  frame[0] = kStx;
  frame[1] = header1;
  frame[2] = header2;
  if (count > 0) {
    std::memcpy(frame + kPayloadOffset, payload, static_cast<std::size_t>(count));
  }
  const std::uint16_t crc = crc16(frame + 1, static_cast<std::size_t>(count) + 2);
  frame[count + 3] = crc_high(crc);
  frame[count + 4] = crc_low(crc);
  frame[count + 5] = kEtx;
  return count + kFrameOverhead;
}

std::int32_t stuff_in_place(std::uint8_t *frame, std::int32_t length) {
  std::int32_t pairs_left = count_escapes(frame + 1, length - 2);
  if (pairs_left == 0) {
    return length;
  }
  const std::int32_t stuffed_length = length + pairs_left;
  frame[stuffed_length - 1] = kEtx;
  std::int32_t to = stuffed_length - 2;
  // Once every pair is written the source and destination meet, and the
  // bytes below are already in place. In a request header byte 1 is 0x00, so
  // the walk never reaches below index 2.
  for (std::int32_t from = length - 2; pairs_left > 0; --from) {
    const std::uint8_t byte = frame[from];
    if (needs_escape(byte)) {
      frame[to--] = escape_code(byte);
      frame[to--] = kEscape;
      --pairs_left;
    } else {
      frame[to--] = byte;
    }
  }
  return stuffed_length;
}

std::optional<FittingCommand> check_command(const std::uint8_t *command, std::int32_t count) {
  if (!command_fits(command, count)) {
    return std::nullopt;
  }
  return FittingCommand{command, count};
}

std::int32_t encode_request(const FittingCommand &command,
                            std::uint8_t (&frame)[kTransmitBufferSize]) {
  const std::int32_t length =
      encode_frame(kRequestHeader1, kRequestHeader2, command.bytes(), command.count(), frame);
  return stuff_in_place(frame, length);
}

} // namespace korvel::link

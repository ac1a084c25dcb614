// The link frame, the same in both directions:
//
//   STX | header 1 | header 2 | payload... | CRC high | CRC low | ETX
//
// The CRC covers both header bytes and the payload. Between STX and ETX every
// 0x02, 0x03 and 0x7D is sent as 0x7D followed by the byte's escape code, so
// that STX and ETX only ever appear as delimiters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace korvel::link {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kEscape = 0x7D;

// Header of a request frame; a reply carries any header byte 1 and a literal
// 0x00 as header byte 2.
constexpr std::uint8_t kRequestHeader1 = 0x00;
constexpr std::uint8_t kRequestHeader2 = 0x30;
constexpr std::uint8_t kReplyHeader2 = 0x00;

// STX, two header bytes, two CRC bytes and ETX around the payload.
constexpr std::int32_t kFrameOverhead = 6;
constexpr std::int32_t kPayloadOffset = 3;

constexpr std::size_t kTransmitBufferSize = 256;

// A command of this many bytes always fits, even with every byte and both
// CRC bytes stuffed (2n + 8 bytes).
constexpr std::int32_t kMaxCommandAnyBytes = 124;
// The longest command that fits when nothing needs stuffing.
constexpr std::int32_t kMaxCommandUnstuffed =
    static_cast<std::int32_t>(kTransmitBufferSize) - kFrameOverhead;

constexpr bool needs_escape(std::uint8_t byte) {
  return byte == kStx || byte == kEtx || byte == kEscape;
}

// The code sent after 0x7D in place of each special byte.
constexpr std::uint8_t kEscapedStx = 0xE2;
constexpr std::uint8_t kEscapedEtx = 0xE3;
constexpr std::uint8_t kEscapedEscape = 0x5D;

constexpr std::uint8_t escape_code(std::uint8_t special) {
  return special == kStx ? kEscapedStx : special == kEtx ? kEscapedEtx : kEscapedEscape;
}

// Whether a command can be framed: a count of at least 0, bytes present when
// the count is not 0, and a stuffed frame that fits the transmit buffer.
bool command_fits(const std::uint8_t *command, std::int32_t count);

// A command known to fit the transmit buffer once framed and stuffed. Host
// bytes become one only through check_command, so the length check runs once,
// where a command comes in, and the send relies on it.
class FittingCommand {
public:
  // A single byte always fits. The byte is referred to, not copied, so it
  // must outlive the command: a temporary is refused.
  explicit constexpr FittingCommand(const std::uint8_t &byte) : bytes_(&byte), count_(1) {}
  explicit FittingCommand(const std::uint8_t &&byte) = delete;

  const std::uint8_t *bytes() const { return bytes_; }
  std::int32_t count() const { return count_; }

private:
  constexpr FittingCommand(const std::uint8_t *bytes, std::int32_t count)
      : bytes_(bytes), count_(count) {}
  friend std::optional<FittingCommand> check_command(const std::uint8_t *command,
                                                     std::int32_t count);

  const std::uint8_t *bytes_;
  std::int32_t count_;
};

// The command, if command_fits says it can be framed.
std::optional<FittingCommand> check_command(const std::uint8_t *command, std::int32_t count);

// Builds the unstuffed frame STX, header1, header2, payload, CRC, ETX into
// frame, which must hold count + kFrameOverhead bytes. Returns its length.
std::int32_t encode_frame(std::uint8_t header1, std::uint8_t header2, const std::uint8_t *payload,
                          std::int32_t count, std::uint8_t *frame);

// Stuffs a frame in place, walking from the end so that no second buffer is
// needed; frame must have room for the stuffed length. Returns that length.
std::int32_t stuff_in_place(std::uint8_t *frame, std::int32_t length);

// Builds and stuffs the request frame for the command into frame. Returns its
// length.
std::int32_t encode_request(const FittingCommand &command,
                            std::uint8_t (&frame)[kTransmitBufferSize]);

} // namespace korvel::link

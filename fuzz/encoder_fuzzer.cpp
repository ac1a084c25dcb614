// Sends arbitrary commands, and arbitrary bad pointer and count combinations,
// through the request sender on a fake port, holds the bytes written against
// the reference encoder, and sends each command back through the receiver as
// the payload of a reply frame.
//
// Input layout:
//   [0]     options: bits 0-1 choose the command: 0 and 1 the bytes from [4]
//           on, 2 a null pointer with the signed 16-bit count in [2..3],
//           3 the bytes from [4] on with a negative count made from [2..3];
//           bit 2 limits each write to [1] bytes (0: no limit)
//   [1]     the write limit
//   [2..3]  the count of modes 2 and 3, big endian
//   [4..]   the command bytes, at most kMaxCommandBytes of them
#include "fuzz_support.h"
#include "link/frame.h"
#include "link/frame_assembler.h"
#include "link/receiver.h"
#include "link/send.h"
#include "reference_codec.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

namespace {

using namespace korvel;
using fuzz::check;

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kMaxCommandBytes = 300;
constexpr std::uint8_t kModeMask = 0x03;
constexpr std::uint8_t kNullPointerMode = 2;
constexpr std::uint8_t kNegativeCountMode = 3;
constexpr std::uint8_t kShortWrites = 1U << 2;
constexpr std::uint16_t kMostNegativeCountCode = 0xFFFF;

struct Command {
  const std::uint8_t *bytes = nullptr;
  std::int32_t count = 0;
  std::int32_t write_limit = 0;
};

Command parse_command(const std::uint8_t *data, std::size_t size) {
  const std::uint8_t options = data[0];
  const auto count_field = static_cast<std::uint16_t>((data[2] << 8) | data[3]);
  Command command;
  command.write_limit = (options & kShortWrites) != 0 ? data[1] : 0;
  switch (options & kModeMask) {
  case kNullPointerMode:
    command.count = static_cast<std::int16_t>(count_field);
    break;
  case kNegativeCountMode:
    command.bytes = data + kHeaderSize;
    command.count = count_field == kMostNegativeCountCode ? INT32_MIN : -1 - count_field;
    break;
  default:
    command.bytes = data + kHeaderSize;
    command.count = static_cast<std::int32_t>(std::min(size - kHeaderSize, kMaxCommandBytes));
    break;
  }
  return command;
}

bool is_valid_command(const Command &command) {
  return command.count >= 0 && (command.bytes != nullptr || command.count == 0);
}

fuzz::Bytes reference_request(const Command &command) {
  return fuzz::reference_frame(link::kRequestHeader1, link::kRequestHeader2, command.bytes,
                               static_cast<std::size_t>(command.count));
}

bool fits_by_reference(const Command &command) {
  return is_valid_command(command) &&
         reference_request(command).size() <= link::kTransmitBufferSize;
}

void check_wire_shape(const fuzz::Bytes &wire) {
  check(wire.size() <= link::kTransmitBufferSize, "the request fits the transmit buffer");
  check(wire.size() >= static_cast<std::size_t>(link::kFrameOverhead), "the request is complete");
  check(wire.front() == link::kStx && wire.back() == link::kEtx, "the request is delimited");
  const auto inner_begin = wire.begin() + 1;
  const auto inner_end = wire.end() - 1;
  check(std::find(inner_begin, inner_end, link::kStx) == inner_end &&
            std::find(inner_begin, inner_end, link::kEtx) == inner_end,
        "STX and ETX appear only as delimiters");
}

// Decodes the wire bytes with the library's own assembler for requests.
void check_decodes_to(const fuzz::Bytes &wire, const Command &command) {
  link::FrameAssembler assembler(link::kRequestHeader2);
  for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
    check(!assembler.accept(wire[i]), "no frame completes before the ETX");
  }
  check(assembler.accept(wire.back()), "the ETX completes the frame");
  check(link::frame_crc_matches(assembler.frame(), assembler.length()), "the CRC matches");
  check(assembler.length() == command.count + link::kFrameOverhead, "the frame has its length");
  check(assembler.frame()[1] == link::kRequestHeader1, "header byte 1 is a request's");
  check(std::equal(command.bytes, command.bytes + command.count,
                   assembler.frame() + link::kPayloadOffset),
        "the payload is the command");
}

void check_send(const Command &command) {
  port::fake::FakePort &line = port::fake::add_port("COM1");
  line.max_write_chunk = command.write_limit;
  const port::Handle handle = fuzz::open_fake_interface(line);
  const auto fitting = link::check_command(command.bytes, command.count);
  check(fitting.has_value() == fits_by_reference(command),
        "a command is refused exactly when it cannot fit");
  if (!fitting) {
    return;
  }
  check(link::send_request(handle, *fitting), "a fitting command is sent");
  check(line.written == reference_request(command), "the request is the reference encoding");
  check_wire_shape(line.written);
  check_decodes_to(line.written, command);
}

// The command as the payload of a reply frame, built with the library's
// encoder and stuffer, must come back whole through the receiver; also for
// commands too long for a request, as replies may be longer.
void check_round_trip(const Command &command) {
  // Room for a frame with every byte stuffed.
  fuzz::Bytes wire(2 * (static_cast<std::size_t>(command.count) + link::kFrameOverhead));
  std::int32_t length = link::encode_frame(link::kRequestHeader1, link::kReplyHeader2,
                                           command.bytes, command.count, wire.data());
  length = link::stuff_in_place(wire.data(), length);
  wire.resize(static_cast<std::size_t>(length));
  check(wire == fuzz::reference_frame(link::kRequestHeader1, link::kReplyHeader2, command.bytes,
                                      static_cast<std::size_t>(command.count)),
        "the reply frame is the reference encoding");

  port::fake::FakePort &line = port::fake::add_port("COM2");
  const port::Handle handle = fuzz::open_fake_interface(line);
  port::fake::deliver_at(line, port::fake::now_ms(), wire);
  GuardedBuffer buffer(command.count);
  std::int32_t delivered = command.count;
  check(link::receive_reply(handle, buffer.data(), &delivered) == link::LinkStatus::Ok,
        "the reply frame is received");
  check(delivered == command.count, "the whole payload is delivered");
  check(std::equal(command.bytes, command.bytes + command.count, buffer.data()),
        "the payload comes back unchanged");
  check(buffer.untouched_beyond(delivered), "nothing is written around the payload");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < kHeaderSize) {
    return 0;
  }
  const Command command = parse_command(data, size);
  port::fake::reset();
  check_send(command);
  if (is_valid_command(command)) {
    check_round_trip(command);
  }
  return 0;
}

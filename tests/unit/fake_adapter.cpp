#include "fake_adapter.h"

#include "current_interface.h"
#include "korvel_dll.h"
#include "port_list_fixed.h"

using korvel::port::fake::Bytes;

namespace {

Bytes stuffed_frame(std::uint8_t header1, std::uint8_t header2, const Bytes &payload,
                    bool corrupt_crc) {
  // Room for the worst case: every byte between the delimiters stuffed.
  Bytes frame(2 * payload.size() + 2 * korvel::link::kFrameOverhead);
  const auto count = static_cast<std::int32_t>(payload.size());
  std::int32_t length =
      korvel::link::encode_frame(header1, header2, payload.data(), count, frame.data());
  if (corrupt_crc) {
    // Any change to a CRC byte breaks the check; stuffing follows.
    frame[static_cast<std::size_t>(length) - 2] ^= 0x01;
  }
  length = korvel::link::stuff_in_place(frame.data(), length);
  frame.resize(static_cast<std::size_t>(length));
  return frame;
}

void clear_line() {
  // Closed before the reset, while the fake still knows the handle's port.
  MDB_IF_CloseInterface(korvel::current_interface());
  korvel::port::fake::reset();
  korvel::port::fixed_list::set_ports({});
}

} // namespace

Bytes reply_frame(Bytes payload, std::uint8_t header2) {
  return stuffed_frame(0x00, header2, payload, false);
}

Bytes corrupt_reply_frame(Bytes payload) {
  return stuffed_frame(0x00, korvel::link::kReplyHeader2, payload, true);
}

Bytes request_frame(Bytes command) {
  return stuffed_frame(korvel::link::kRequestHeader1, korvel::link::kRequestHeader2, command,
                       false);
}

std::vector<korvel::port::fake::Chunk> reply_after(Bytes wire, std::uint32_t after_ms) {
  return {{after_ms, std::move(wire)}};
}

void FakeLineTest::SetUp() { clear_line(); }
void FakeLineTest::TearDown() { clear_line(); }

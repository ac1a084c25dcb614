// Shared helpers for the unit tests that drive the library over the fake
// serial port: wire frames as the adapter and the host send them, scripted
// answers, and a fixture that starts every test from a clean line.
#pragma once

#include "link/frame.h"
#include "serial_port_fake.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

// A reply frame as it appears on the wire: header byte 1 0x00, the given
// header byte 2, the payload, the CRC; stuffed.
korvel::port::fake::Bytes reply_frame(korvel::port::fake::Bytes payload,
                                      std::uint8_t header2 = korvel::link::kReplyHeader2);

// The same reply frame with a CRC byte changed, so that it fails the check.
korvel::port::fake::Bytes corrupt_reply_frame(korvel::port::fake::Bytes payload);

// The request frame the library writes for a command, as wire bytes.
korvel::port::fake::Bytes request_frame(korvel::port::fake::Bytes command);

// An answer of wire bytes that arrive together, after_ms after the request's
// last byte.
std::vector<korvel::port::fake::Chunk> reply_after(korvel::port::fake::Bytes wire,
                                                   std::uint32_t after_ms = 0);

// Every test starts with no fake ports, the virtual clock at 0, an empty port
// list and no current interface; the current interface is closed again at
// the end.
class FakeLineTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
};

// Turns wire bytes into one logical (unstuffed) frame, byte by byte.
//
// Used by the reply receiver, and by tools that decode frames captured on the
// line in either direction.
#pragma once

#include <cstdint>

namespace korvel::link {

constexpr std::int32_t kAccumulatorSize = 512;
// The write position stops advancing here; further bytes overwrite this last
// byte, so nothing (the ETX included) is ever stored outside the buffer. A
// frame that needed more room is cut short and marked as overflowed, so that
// it is never taken for a valid one, whatever bytes land in its CRC
// positions. The longest frame that fits ends with its ETX at this index.
constexpr std::int32_t kAccumulatorLimitIndex = kAccumulatorSize - 1;

// Any value of header byte 2 is accepted (for decoding captured frames).
constexpr int kAnyHeader2 = -1;

class FrameAssembler {
public:
  explicit constexpr FrameAssembler(int expected_header2) : expected_header2_(expected_header2) {}

  // Forgets everything collected and waits for an STX.
  void restart();

  // Processes one wire byte. Returns true when it was the ETX of a frame of
  // at least kFrameOverhead logical bytes; frame() and length() then hold it,
  // STX to ETX.
  bool accept(std::uint8_t byte);

  const std::uint8_t *frame() const { return bytes_; }
  std::int32_t length() const { return length_; }
  // The frame had more bytes than the accumulator holds.
  bool overflowed() const { return overflowed_; }

private:
  void start_frame();
  void abandon_frame();
  void store(std::uint8_t value);
  void accept_escaped(std::uint8_t code);
  void accept_ordinary(std::uint8_t byte);

  std::uint8_t bytes_[kAccumulatorSize] = {};
  // Logical bytes collected, STX included; also the next write position.
  std::int32_t length_ = 0;
  bool in_frame_ = false;
  bool escape_pending_ = false;
  bool overflowed_ = false;
  int expected_header2_;
};

// Whether a complete logical frame carries the right CRC.
bool frame_crc_matches(const std::uint8_t *frame, std::int32_t length);

// Whether the frame the assembler has just completed is whole and carries the
// right CRC: an overflowed frame fails like a CRC mismatch.
bool frame_is_valid(const FrameAssembler &assembler);

} // namespace korvel::link

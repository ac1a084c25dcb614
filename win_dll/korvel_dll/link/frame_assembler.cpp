#include "frame_assembler.h"

#include "crc16.h"
#include "frame.h"

namespace korvel::link {

namespace {
constexpr std::int32_t kHeader2Index = 2;
}

void FrameAssembler::restart() {
  length_ = 0;
  in_frame_ = false;
  escape_pending_ = false;
  overflowed_ = false;
}

void FrameAssembler::start_frame() {
  bytes_[0] = kStx;
  length_ = 1;
  in_frame_ = true;
  escape_pending_ = false;
  overflowed_ = false;
}

void FrameAssembler::abandon_frame() {
  in_frame_ = false;
  escape_pending_ = false;
}

void FrameAssembler::store(std::uint8_t value) {
  bytes_[length_] = value;
  if (length_ < kAccumulatorLimitIndex) {
    ++length_;
  } else {
    // Only the ETX may take the last place; this byte will be overwritten.
    overflowed_ = true;
  }
}

// An unknown escape code is dropped: nothing is stored and the frame goes on.
void FrameAssembler::accept_escaped(std::uint8_t code) {
  escape_pending_ = false;
  if (code == kEscapedStx) {
    store(kStx);
  } else if (code == kEscapedEtx) {
    store(kEtx);
  } else if (code == kEscapedEscape) {
    store(kEscape);
  }
}

void FrameAssembler::accept_ordinary(std::uint8_t byte) {
  // Header byte 2 must arrive as a literal; a stuffed byte can never stand
  // there, so the check comes before escape handling.
  if (length_ == kHeader2Index && expected_header2_ != kAnyHeader2 && byte != expected_header2_) {
    abandon_frame();
  } else if (byte == kEscape) {
    escape_pending_ = true;
  } else {
    store(byte);
  }
}

bool FrameAssembler::accept(std::uint8_t byte) {
  if (byte == kStx) {
    start_frame();
    return false;
  }
  if (byte == kEtx) {
    const std::int32_t frame_length = length_ + 1;
    if (in_frame_ && frame_length >= kFrameOverhead) {
      // The ETX takes the place after the bytes kept: at most the limit
      // index, so the frame stays inside the buffer.
      bytes_[length_] = kEtx;
      length_ = frame_length;
      in_frame_ = false;
      return true;
    }
    abandon_frame();
    return false;
  }
  if (!in_frame_) {
    return false;
  }
  if (escape_pending_) {
    accept_escaped(byte);
  } else {
    accept_ordinary(byte);
  }
  return false;
}

bool frame_is_valid(const FrameAssembler &assembler) {
  return !assembler.overflowed() && frame_crc_matches(assembler.frame(), assembler.length());
}

bool frame_crc_matches(const std::uint8_t *frame, std::int32_t length) {
  const std::uint16_t crc = crc16(frame + 1, static_cast<std::size_t>(length - 4));
  return frame[length - 3] == crc_high(crc) && frame[length - 2] == crc_low(crc);
}

} // namespace korvel::link

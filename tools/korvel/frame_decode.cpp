#include "frame_decode.h"

#include "link/crc16.h"
#include "link/frame.h"
#include "link/frame_assembler.h"
#include "results.h"

#include <cstdio>

namespace korvel::cli {
namespace {

constexpr std::int32_t kHeader1Index = 1;
constexpr std::int32_t kHeader2Index = 2;
// The CRC covers the header bytes and the payload: all but STX, CRC and ETX.
constexpr std::int32_t kCrcCoverageOverhead = 4;

const char *frame_kind(std::uint8_t header2) {
  if (header2 == link::kRequestHeader2) {
    return "request";
  }
  return header2 == link::kReplyHeader2 ? "reply" : "neither request nor reply";
}

// Prints one logical frame, STX to ETX; returns whether its CRC is right.
bool print_frame(int number, const std::uint8_t *frame, std::int32_t length) {
  const std::uint8_t header2 = frame[kHeader2Index];
  const bool request = header2 == link::kRequestHeader2;
  const std::uint16_t expected =
      link::crc16(frame + kHeader1Index, static_cast<std::size_t>(length - kCrcCoverageOverhead));
  const bool crc_ok = link::frame_crc_matches(frame, length);

  std::printf("frame %d: %s\n", number,
              tools::format_hex(frame, static_cast<std::size_t>(length)).c_str());
  std::printf("  header:  %02X %02X (%s)\n", frame[kHeader1Index], header2, frame_kind(header2));
  const std::size_t payload_count = static_cast<std::size_t>(length - link::kFrameOverhead);
  std::printf("  %s (%s)%s%s\n", request ? "command" : "payload",
              tools::byte_count(payload_count).c_str(), payload_count > 0 ? ": " : "",
              tools::format_hex(frame + link::kPayloadOffset, payload_count).c_str());
  std::printf("  CRC:     %02X %02X %s", frame[length - 3], frame[length - 2],
              crc_ok ? "ok" : "bad");
  if (!crc_ok) {
    std::printf(", expected %02X %02X", link::crc_high(expected), link::crc_low(expected));
  }
  std::printf("\n");
  return crc_ok;
}

} // namespace

int run_decode(const Invocation &invocation) {
  link::FrameAssembler assembler{link::kAnyHeader2};
  assembler.restart();
  int frames = 0;
  bool all_crcs_ok = true;
  for (const std::uint8_t byte : invocation.bytes) {
    if (assembler.accept(byte)) {
      all_crcs_ok = print_frame(++frames, assembler.frame(), assembler.length()) && all_crcs_ok;
      if (assembler.overflowed()) {
        std::printf("  cut short: longer than the %d-byte reply accumulator, so never valid\n",
                    link::kAccumulatorSize);
        all_crcs_ok = false;
      }
    }
  }
  if (frames == 0) {
    std::printf("no complete frame (STX, at least two header and two CRC bytes, ETX)\n");
  }
  return frames > 0 && all_crcs_ok ? kExitSuccess : kExitNothingFound;
}

} // namespace korvel::cli

#include "wire_frames.h"

#include "link/frame.h"
#include "link/frame_assembler.h"

namespace korvel::simtool {
namespace {

link::FrameAssembler assembler_for(sim::Direction direction) {
  link::FrameAssembler assembler(direction == sim::Direction::ToAdapter ? link::kRequestHeader2
                                                                        : link::kReplyHeader2);
  assembler.restart();
  return assembler;
}

DecodedFrame decoded(const link::FrameAssembler &assembler) {
  DecodedFrame frame;
  frame.valid = link::frame_is_valid(assembler);
  const std::uint8_t *payload = assembler.frame() + link::kPayloadOffset;
  frame.payload.assign(payload, payload + assembler.length() - link::kFrameOverhead);
  return frame;
}

} // namespace

std::optional<DecodedFrame> whole_frame(const sim::Bytes &bytes, sim::Direction direction) {
  if (bytes.empty() || bytes.front() != link::kStx) {
    return std::nullopt;
  }
  link::FrameAssembler assembler = assembler_for(direction);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (assembler.accept(bytes[i])) {
      return i + 1 == bytes.size() ? std::optional(decoded(assembler)) : std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<DecodedFrame> first_reply_frame(const sim::Bytes &bytes) {
  link::FrameAssembler assembler = assembler_for(sim::Direction::ToHost);
  for (const std::uint8_t byte : bytes) {
    if (assembler.accept(byte)) {
      return decoded(assembler);
    }
  }
  return std::nullopt;
}

} // namespace korvel::simtool

#include "reference_codec.h"

#include "link/crc16.h"
#include "link/frame.h"
#include "link/frame_assembler.h"
#include "worked_frames.h"

#include <algorithm>
#include <string_view>

namespace korvel::fuzz {
namespace {

using link::kEscape;
using link::kEtx;
using link::kFrameOverhead;
using link::kReplyHeader2;
using link::kRequestHeader1;
using link::kRequestHeader2;
using link::kStx;

constexpr std::size_t kHeader2Position = 2;
constexpr auto kPayloadStart = static_cast<std::size_t>(link::kPayloadOffset);
// The CRC, high byte first, stands just before the ETX.
constexpr std::size_t kCrcBytes = 2;

struct EscapePair {
  std::uint8_t logical;
  std::uint8_t code;
};
constexpr EscapePair kEscapePairs[] = {
    {kStx, link::kEscapedStx}, {kEtx, link::kEscapedEtx}, {kEscape, link::kEscapedEscape}};

void append_stuffed(Bytes &wire, std::uint8_t byte) {
  for (const EscapePair &pair : kEscapePairs) {
    if (byte == pair.logical) {
      wire.push_back(kEscape);
      wire.push_back(pair.code);
      return;
    }
  }
  wire.push_back(byte);
}

// The logical byte an escape code stands for, or nothing for unknown codes.
bool unescape(std::uint8_t code, std::uint8_t *logical) {
  for (const EscapePair &pair : kEscapePairs) {
    if (code == pair.code) {
      *logical = pair.logical;
      return true;
    }
  }
  return false;
}

// A frame collected without limit: STX and every byte stored after it.
struct Collected {
  Bytes logical;
  bool in_frame = false;
  bool escape_pending = false;
};

void collect(Collected &state, std::uint8_t byte) {
  if (!state.in_frame) {
    return;
  }
  std::uint8_t logical = 0;
  if (state.escape_pending) {
    state.escape_pending = false;
    if (unescape(byte, &logical)) {
      state.logical.push_back(logical);
    }
  } else if (state.logical.size() == kHeader2Position && byte != kReplyHeader2) {
    state.in_frame = false;
  } else if (byte == kEscape) {
    state.escape_pending = true;
  } else {
    state.logical.push_back(byte);
  }
}

// The accumulator keeps the bytes before the ETX below its limit index; a
// frame that had more is never valid, whatever its CRC bytes say.
ReferenceReply judge(Bytes logical, std::size_t etx_index) {
  ReferenceReply reply;
  reply.etx_index = etx_index;
  if (logical.size() > static_cast<std::size_t>(link::kAccumulatorLimitIndex)) {
    reply.outcome = ReplyOutcome::CrcError;
    return reply;
  }
  logical.push_back(kEtx);
  const std::size_t crc_at = logical.size() - 1 - kCrcBytes;
  const std::uint16_t crc = reference_crc(logical.data() + 1, crc_at - 1);
  if (logical[crc_at] != (crc >> 8) || logical[crc_at + 1] != (crc & 0xFF)) {
    reply.outcome = ReplyOutcome::CrcError;
    return reply;
  }
  reply.outcome = ReplyOutcome::Valid;
  reply.payload.assign(logical.begin() + kPayloadStart, logical.begin() + crc_at);
  return reply;
}

} // namespace

std::uint16_t reference_crc(const std::uint8_t *bytes, std::size_t count) {
  std::uint16_t crc = link::kCrcInitial;
  for (std::size_t i = 0; i < count; ++i) {
    crc ^= static_cast<std::uint16_t>(bytes[i] << 8);
    for (int bit = 0; bit < 8; ++bit) {
      const bool top = (crc & 0x8000) != 0;
      crc = static_cast<std::uint16_t>(crc << 1);
      if (top) {
        crc ^= link::kCrcPolynomial;
      }
    }
  }
  return crc;
}

Bytes reference_frame(std::uint8_t header1, std::uint8_t header2, const std::uint8_t *payload,
                      std::size_t count) {
  Bytes body = {header1, header2};
  if (count > 0) {
    body.insert(body.end(), payload, payload + count);
  }
  const std::uint16_t crc = reference_crc(body.data(), body.size());
  body.push_back(static_cast<std::uint8_t>(crc >> 8));
  body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  Bytes wire = {kStx};
  for (std::uint8_t byte : body) {
    append_stuffed(wire, byte);
  }
  wire.push_back(kEtx);
  return wire;
}

ReferenceReply first_reply(const Bytes &stream) {
  Collected state;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    const std::uint8_t byte = stream[i];
    if (byte == kStx) {
      state = Collected{{kStx}, true, false};
    } else if (byte == kEtx) {
      const auto frame_length =
          std::min(state.logical.size(), static_cast<std::size_t>(link::kAccumulatorLimitIndex)) +
          1;
      if (state.in_frame && frame_length >= static_cast<std::size_t>(kFrameOverhead)) {
        return judge(state.logical, i);
      }
      state.in_frame = false;
      state.escape_pending = false;
    } else {
      collect(state, byte);
    }
  }
  return {};
}

bool reference_self_check() {
  constexpr std::string_view kCheckText = "123456789";
  if (reference_crc(reinterpret_cast<const std::uint8_t *>(kCheckText.data()), kCheckText.size()) !=
      0x29B1) {
    return false;
  }
  for (const auto &worked : worked_frames::kWorkedRequests) {
    if (reference_frame(kRequestHeader1, kRequestHeader2, worked.command.data(),
                        worked.command.size()) != worked.wire) {
      return false;
    }
  }
  // A reply frame, with a header byte 1 of its own, decodes back to its payload.
  constexpr std::uint8_t kSomeHeader1 = 0x41;
  const Bytes payload = {0x7D, 0x02, 0x41};
  const ReferenceReply reply =
      first_reply(reference_frame(kSomeHeader1, kReplyHeader2, payload.data(), payload.size()));
  if (reply.outcome != ReplyOutcome::Valid || reply.payload != payload) {
    return false;
  }
  // The longest frame the accumulator holds is valid; with one more byte
  // before its ETX it is not, although the bytes kept carry the right CRC.
  const Bytes longest_payload(link::kAccumulatorLimitIndex + 1 - kFrameOverhead, 0x41);
  Bytes longest =
      reference_frame(kSomeHeader1, kReplyHeader2, longest_payload.data(), longest_payload.size());
  if (first_reply(longest).payload != longest_payload) {
    return false;
  }
  longest.insert(longest.end() - 1, 0x42);
  return first_reply(longest).outcome == ReplyOutcome::CrcError;
}

} // namespace korvel::fuzz

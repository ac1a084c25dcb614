#include "receiver.h"

#include "frame.h"
#include "frame_assembler.h"

#include <cstring>

namespace korvel::link {
namespace {

// The library-wide reply accumulator.
FrameAssembler g_reply{kReplyHeader2};

LinkStatus deliver_payload(std::uint8_t *payload, std::int32_t *length) {
  if (!frame_is_valid(g_reply)) {
    return LinkStatus::CrcError;
  }
  std::int32_t delivered = g_reply.length() - kFrameOverhead;
  const std::int32_t capacity = *length > 0 ? *length : 0;
  if (delivered > capacity) {
    delivered = capacity;
  }
  if (delivered > 0) {
    std::memcpy(payload, g_reply.frame() + kPayloadOffset, static_cast<std::size_t>(delivered));
  }
  *length = delivered;
  return LinkStatus::Ok;
}

} // namespace

LinkStatus receive_reply(port::Handle handle, std::uint8_t *payload, std::int32_t *length) {
  g_reply.restart();
  const std::uint32_t started = port::tick_ms();
  std::uint32_t last_activity = started;
  for (;;) {
    const std::int32_t queued = port::queued_count(handle);
    if (queued < 1) {
      port::sleep_ms(kPollIntervalMs);
    }
    for (std::int32_t i = 0; i < queued; ++i) {
      std::uint8_t byte = 0;
      // A read that fails although bytes were reported is not activity: the
      // batch ends, the poll interval passes, and a port that keeps failing
      // runs into the silence timeout instead of spinning.
      if (!port::read_byte(handle, &byte)) {
        port::sleep_ms(kPollIntervalMs);
        break;
      }
      last_activity = port::tick_ms();
      if (g_reply.accept(byte)) {
        return deliver_payload(payload, length);
      }
      if (last_activity - started >= kReceiveLimitMs) {
        return LinkStatus::Timeout;
      }
    }
    const std::uint32_t now = port::tick_ms();
    if (now - last_activity >= kSilenceTimeoutMs || now - started >= kReceiveLimitMs) {
      return LinkStatus::Timeout;
    }
  }
}

} // namespace korvel::link

// Feeds an arbitrary byte stream, cut into chunks that arrive at arbitrary
// virtual times, to the reply receiver on a fake port, and holds the outcome
// against the reference decoder.
//
// Input layout:
//   [0..1]  payload capacity, big endian, modulo kMaxCapacity + 1
//   [2]     options: bit 0 starts the clock just below the 32-bit wrap,
//           bit 1 lets queued-count queries fail, bit 2 lets reads fail
//   [3]     which queued-count queries fail: call n if bit n % 8 is set
//   [4]     which reads fail, likewise
//   [5..]   chunks: a control byte, then (control & 0x0F) + 1 stream bytes
//           (fewer at the end of the input) that arrive
//           kChunkDelaysMs[control >> 4] after the previous chunk
#include "fuzz_support.h"
#include "link/receiver.h"
#include "reference_codec.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace {

using namespace korvel;
using fuzz::check;

constexpr std::int32_t kMaxCapacity = 600;
constexpr std::size_t kHeaderSize = 5;
constexpr std::uint8_t kStartNearWrap = 1U << 0;
constexpr std::uint8_t kQueuedCanFail = 1U << 1;
constexpr std::uint8_t kReadsCanFail = 1U << 2;
constexpr std::uint32_t kStartMs = 1000;
// Close enough below 2^32 that a receive runs across the wrap.
constexpr std::uint32_t kStartNearWrapMs = 0xFFFFFFFFU - 1500U;
constexpr std::uint8_t kChunkLengthMask = 0x0F;
constexpr unsigned kChunkDelayShift = 4;
// Dense around the poll interval and the silence timeout.
constexpr std::array<std::uint32_t, 16> kChunkDelaysMs = {0,   0,   1,   5,   9,   10,  11,  50,
                                                          200, 400, 480, 489, 490, 499, 500, 510};

struct Chunk {
  std::uint32_t offset_ms; // from the start of the receive
  std::size_t stream_end;  // one past its last byte in the whole stream
  fuzz::Bytes bytes;
};

struct Scenario {
  std::int32_t capacity = 0;
  std::uint32_t start_ms = kStartMs;
  std::uint8_t queued_fail_mask = 0;
  std::uint8_t read_fail_mask = 0;
  std::vector<Chunk> chunks;
  fuzz::Bytes stream;
};

bool failures_planned(const Scenario &scenario) {
  return scenario.queued_fail_mask != 0 || scenario.read_fail_mask != 0;
}

Scenario parse_scenario(const std::uint8_t *data, std::size_t size) {
  Scenario scenario;
  scenario.capacity = ((data[0] << 8) | data[1]) % (kMaxCapacity + 1);
  const std::uint8_t options = data[2];
  if ((options & kStartNearWrap) != 0) {
    scenario.start_ms = kStartNearWrapMs;
  }
  if ((options & kQueuedCanFail) != 0) {
    scenario.queued_fail_mask = data[3];
  }
  if ((options & kReadsCanFail) != 0) {
    scenario.read_fail_mask = data[4];
  }
  std::uint32_t offset_ms = 0;
  for (std::size_t at = kHeaderSize; at < size;) {
    const std::uint8_t control = data[at++];
    const std::size_t length = std::min<std::size_t>((control & kChunkLengthMask) + 1U, size - at);
    offset_ms += kChunkDelaysMs[control >> kChunkDelayShift];
    Chunk chunk{offset_ms, 0, fuzz::Bytes(data + at, data + at + length)};
    at += length;
    scenario.stream.insert(scenario.stream.end(), chunk.bytes.begin(), chunk.bytes.end());
    chunk.stream_end = scenario.stream.size();
    scenario.chunks.push_back(std::move(chunk));
  }
  return scenario;
}

// Whether a receiver must have read up to the stream byte at last_index: no
// pause before it comes near the silence timeout, counting one poll interval
// until the bytes are seen, and it arrives well within the overall limit.
bool surely_read(const Scenario &scenario, std::size_t last_index) {
  std::uint32_t previous_ms = 0;
  for (const Chunk &chunk : scenario.chunks) {
    if (chunk.offset_ms - previous_ms + link::kPollIntervalMs >= link::kSilenceTimeoutMs) {
      return false;
    }
    if (chunk.stream_end > last_index) {
      return chunk.offset_ms + link::kPollIntervalMs < link::kReceiveLimitMs;
    }
    previous_ms = chunk.offset_ms;
  }
  return false;
}

// The chunk that brings the stream byte at index.
const Chunk &chunk_holding(const Scenario &scenario, std::size_t index) {
  return *std::find_if(scenario.chunks.begin(), scenario.chunks.end(),
                       [index](const Chunk &chunk) { return chunk.stream_end > index; });
}

struct Outcome {
  link::LinkStatus status;
  std::int32_t length;
  std::uint32_t elapsed_ms;
};

Outcome receive(const Scenario &scenario, GuardedBuffer &buffer) {
  port::fake::reset(scenario.start_ms);
  port::fake::FakePort &line = port::fake::add_port("COM1");
  const port::Handle handle = fuzz::open_fake_interface(line);
  if (scenario.queued_fail_mask != 0) {
    line.queued_fails = fuzz::failing_calls(scenario.queued_fail_mask);
  }
  if (scenario.read_fail_mask != 0) {
    line.read_fails = fuzz::failing_calls(scenario.read_fail_mask);
  }
  for (const Chunk &chunk : scenario.chunks) {
    port::fake::deliver_at(line, scenario.start_ms + chunk.offset_ms, chunk.bytes);
  }
  Outcome outcome{};
  outcome.length = buffer.capacity();
  outcome.status = link::receive_reply(handle, buffer.data(), &outcome.length);
  outcome.elapsed_ms = port::fake::now_ms() - scenario.start_ms;
  return outcome;
}

void check_timing(const Outcome &outcome) {
  check(outcome.elapsed_ms < link::kReceiveLimitMs + link::kPollIntervalMs,
        "the receive ends within its overall limit and one poll interval");
  if (outcome.status == link::LinkStatus::Timeout) {
    check(outcome.elapsed_ms >= link::kSilenceTimeoutMs,
          "a timeout comes no earlier than the silence timeout");
  }
}

link::LinkStatus expected_status(fuzz::ReplyOutcome outcome) {
  switch (outcome) {
  case fuzz::ReplyOutcome::Valid:
    return link::LinkStatus::Ok;
  case fuzz::ReplyOutcome::CrcError:
    return link::LinkStatus::CrcError;
  default:
    return link::LinkStatus::Timeout;
  }
}

void check_against_reference(const Scenario &scenario, const Outcome &outcome,
                             const GuardedBuffer &buffer) {
  const fuzz::ReferenceReply reference = fuzz::first_reply(scenario.stream);
  const link::LinkStatus expected = expected_status(reference.outcome);
  if (outcome.status != link::LinkStatus::Timeout) {
    check(outcome.status == expected, "the status is that of the first complete frame");
    check(failures_planned(scenario) ||
              outcome.elapsed_ms <
                  chunk_holding(scenario, reference.etx_index).offset_ms + link::kPollIntervalMs,
          "the receive ends as soon as the frame is complete");
  } else if (reference.outcome != fuzz::ReplyOutcome::NoFrame && !failures_planned(scenario)) {
    check(!surely_read(scenario, reference.etx_index),
          "a frame that arrived in good time is not reported as a timeout");
  }
  if (outcome.status != link::LinkStatus::Ok) {
    check(outcome.length == buffer.capacity(), "the length is untouched on failure");
    check(buffer.untouched_beyond(0), "the buffer is untouched on failure");
    return;
  }
  const auto delivered =
      std::min<std::size_t>(reference.payload.size(), static_cast<std::size_t>(buffer.capacity()));
  check(outcome.length >= 0 && static_cast<std::size_t>(outcome.length) == delivered,
        "the length is the payload length, cut to the capacity");
  check(std::equal(reference.payload.begin(),
                   reference.payload.begin() + static_cast<std::ptrdiff_t>(delivered),
                   buffer.data()),
        "the delivered bytes are the payload");
  check(buffer.untouched_beyond(outcome.length), "nothing is written beyond the delivered bytes");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < kHeaderSize) {
    return 0;
  }
  const Scenario scenario = parse_scenario(data, size);
  GuardedBuffer buffer(scenario.capacity);
  const Outcome outcome = receive(scenario, buffer);
  check(outcome.status == link::LinkStatus::Ok || outcome.status == link::LinkStatus::Timeout ||
            outcome.status == link::LinkStatus::CrcError,
        "the status is 0, 252 or 253");
  check_timing(outcome);
  check_against_reference(scenario, outcome, buffer);
  return 0;
}

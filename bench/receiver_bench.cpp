// The reply receiver over the fake port, fed one complete frame at a time:
// the frame is due at the current virtual time, so no poll interval passes.
#include "korvel_dll.h"
#include "link/frame.h"
#include "link/receiver.h"
#include "plain_byte.h"
#include "serial_port_fake.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

namespace fake = korvel::port::fake;

constexpr const char *kPortName = "BENCH";
// The receiver accepts any header byte 1 in a reply.
constexpr std::uint8_t kReplyHeader1 = 0x00;
using korvel::bench::kPlainByte;

fake::Bytes reply_frame(std::size_t payload_size) {
  const fake::Bytes payload(payload_size, kPlainByte);
  // Room for every byte between STX and ETX stuffed.
  fake::Bytes frame(2 * (payload_size + korvel::link::kFrameOverhead));
  std::int32_t length =
      korvel::link::encode_frame(kReplyHeader1, korvel::link::kReplyHeader2, payload.data(),
                                 static_cast<std::int32_t>(payload_size), frame.data());
  length = korvel::link::stuff_in_place(frame.data(), length);
  frame.resize(static_cast<std::size_t>(length));
  return frame;
}

void receive_reply_frames(benchmark::State &state) {
  fake::reset();
  fake::FakePort &port = fake::add_port(kPortName);
  char path[korvel::port::kDevicePathSize];
  korvel::port::make_device_path(kPortName, korvel::port::Role::Interface, path);
  const korvel::port::Handle handle = korvel::port::open_port(path);
  const fake::Bytes frame = reply_frame(static_cast<std::size_t>(state.range(0)));
  std::uint8_t payload[MDB_IF_MAX_REPLY_PAYLOAD];

  for (auto _ : state) {
    fake::deliver_at(port, fake::now_ms(), frame);
    std::int32_t length = sizeof(payload);
    if (korvel::link::receive_reply(handle, payload, &length) != korvel::link::LinkStatus::Ok ||
        length != state.range(0)) {
      state.SkipWithError("the reply was not delivered");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
  state.counters["frame_bytes"] = static_cast<double>(frame.size());
}

BENCHMARK(receive_reply_frames)->Arg(1)->Arg(32)->Arg(128)->Arg(MDB_IF_MAX_REPLY_PAYLOAD);

} // namespace

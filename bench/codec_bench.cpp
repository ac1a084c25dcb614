// Building and stuffing request frames into the transmit buffer.
#include "link/frame.h"
#include "plain_byte.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

using korvel::bench::kPlainByte;

void encode_request_of(benchmark::State &state, std::uint8_t fill) {
  const std::vector<std::uint8_t> command(static_cast<std::size_t>(state.range(0)), fill);
  const auto fitting =
      korvel::link::check_command(command.data(), static_cast<std::int32_t>(command.size()));
  std::uint8_t frame[korvel::link::kTransmitBufferSize];
  std::int32_t length = 0;
  for (auto _ : state) {
    length = korvel::link::encode_request(*fitting, frame);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["frame_bytes"] = length;
}

void encode_request_worst(benchmark::State &state) {
  encode_request_of(state, korvel::link::kEscape);
}
void encode_request_best(benchmark::State &state) { encode_request_of(state, kPlainByte); }

BENCHMARK(encode_request_worst)->Arg(1)->Arg(16)->Arg(korvel::link::kMaxCommandAnyBytes);
BENCHMARK(encode_request_best)->Arg(1)->Arg(16)->Arg(korvel::link::kMaxCommandAnyBytes);

} // namespace

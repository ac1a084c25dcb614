// CRC-16 throughput of the library's table against Boost.CRC with the same
// parameters, over the same buffers. The report divides the two.
#include "link/crc16.h"

#include <benchmark/benchmark.h>
#include <boost/crc.hpp>

#include <cstdint>
#include <vector>

namespace {

using BoostCrc16 = boost::crc_optimal<16, korvel::link::kCrcPolynomial, korvel::link::kCrcInitial,
                                      0, false, false>;

std::vector<std::uint8_t> sample_bytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  return bytes;
}

// Both contenders are called out of line, so that neither loop is shaped by
// the benchmark loop around it.
[[gnu::noinline]] std::uint16_t our_crc16(const std::uint8_t *bytes, std::size_t count) {
  return korvel::link::crc16(bytes, count);
}

[[gnu::noinline]] std::uint16_t boost_crc16(const std::uint8_t *bytes, std::size_t count) {
  BoostCrc16 crc;
  crc.process_bytes(bytes, count);
  return crc.checksum();
}

template <std::uint16_t (*Crc)(const std::uint8_t *, std::size_t)>
void crc_throughput(benchmark::State &state) {
  const auto bytes = sample_bytes(static_cast<std::size_t>(state.range(0)));
  if (our_crc16(bytes.data(), bytes.size()) != boost_crc16(bytes.data(), bytes.size())) {
    state.SkipWithError("the two CRCs disagree");
    return;
  }
  for (auto _ : state) {
    const std::uint8_t *data = bytes.data();
    // Hides the buffer from the optimiser, so every pass really reads it.
    benchmark::DoNotOptimize(data);
    benchmark::ClobberMemory();
    benchmark::DoNotOptimize(Crc(data, bytes.size()));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void crc_ours(benchmark::State &state) { crc_throughput<our_crc16>(state); }
void crc_boost(benchmark::State &state) { crc_throughput<boost_crc16>(state); }

BENCHMARK(crc_ours)->Arg(8)->Arg(64)->Arg(4096);
BENCHMARK(crc_boost)->Arg(8)->Arg(64)->Arg(4096);

} // namespace

// Random faults on top of an adapter's behaviour, reproducible from a seed.
//
// Each answer gets at most one fault, drawn with the given rates; the fault
// shows in the Answer itself (silent, corrupt_crc, noise_before, pieces,
// delay_ms), so whoever records the exchanges can tell what was done.
#pragma once

#include "link/receiver.h"
#include "sim_adapter.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

namespace korvel::sim {

enum class Fault : std::uint8_t { None, Silence, CrcError, Noise, Pieces, Delay, LateReply };
constexpr std::size_t kFaultKinds = 7;

const char *fault_name(Fault fault);

// Chances per answer, each between 0 and 1, summing to at most 1.
struct FaultRates {
  double silence = 0.0;
  double crc_error = 0.0;
  double noise = 0.0;      // random bytes before the frame
  double pieces = 0.0;     // the frame in small pieces with short pauses
  double delay = 0.0;      // the reply starts late, but within the silence timeout
  double late_reply = 0.0; // the reply comes after the host has given up waiting
};

// A delayed reply starts well within the host's silence timeout; a late one
// only well after the host has given up waiting for it.
constexpr std::uint32_t kMaxDelayMs = link::kSilenceTimeoutMs - 200;
constexpr std::uint32_t kMinLateMs = link::kSilenceTimeoutMs + 150;
constexpr std::uint32_t kMaxLateMs = link::kSilenceTimeoutMs + 300;

// What an answer shows of its fault.
Fault fault_of(const Answer &answer);

class FaultMix {
public:
  FaultMix(Behaviour base, FaultRates rates, std::uint32_t seed);

  // Usable as a Behaviour; copies share one random sequence.
  Answer operator()(const Bytes &command);

private:
  struct Shared {
    std::mutex mutex;
    std::mt19937 random;
  };
  Behaviour base_;
  FaultRates rates_;
  std::shared_ptr<Shared> shared_;
};

} // namespace korvel::sim

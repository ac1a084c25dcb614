// The soak's traffic: the transactions the host makes, and how the soak's
// adapter answers them. Every command reply carries a tag drawn from its
// transaction's number, so a reply that strays into another transaction
// shows.
#pragma once

#include "sim_adapter.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>

namespace soak {

using korvel::sim::Answer;
using korvel::sim::Bytes;

enum class Call : std::uint8_t { Exec, Version, Reset };
const char *call_name(Call call);

struct Transaction {
  std::uint32_t number = 0;
  Call call = Call::Exec;
  // The command bytes, for Exec.
  Bytes command;
  // The reply capacity for Exec, the text capacity for Version.
  std::int32_t capacity = 0;
};

// Draws the host's transactions from a seed.
class TrafficPlan {
public:
  explicit TrafficPlan(std::uint32_t seed) : random_(seed) {}
  Transaction next(std::uint32_t number);

private:
  Bytes exec_command(std::uint32_t number);
  std::int32_t exec_capacity(const Bytes &command);
  std::int32_t version_capacity();
  std::mt19937 random_;
};

// The payload an exec command asks for: a status byte, nothing, or a tagged
// payload of the length the command names.
Answer answer_to_command(const Bytes &command);

// The adapter's side, usable as a Behaviour (copies share one sequence):
// exec commands get answer_to_command; version and reset get status bytes
// drawn from a seed, and every version text is numbered.
class SoakAdapter {
public:
  explicit SoakAdapter(std::uint32_t seed);
  Answer operator()(const Bytes &command);

private:
  struct Shared {
    std::mutex mutex;
    std::mt19937 random;
    std::uint32_t versions_answered = 0;
  };
  std::shared_ptr<Shared> shared_;
};

} // namespace soak

#include "sim_behaviour.h"

#include "fault_mix.h"
#include "link/frame.h"

#include <cstring>
#include <memory>
#include <random>

namespace korvel::simtool {
namespace {

sim::Bytes text_bytes(const char *text) { return sim::Bytes(text, text + std::strlen(text)); }

sim::Bytes version_reply(const std::string &text) {
  sim::Bytes payload{adapter::kStatusOk};
  payload.insert(payload.end(), text.begin(), text.end());
  return payload;
}

// Noise never holds an STX: a frame begun by noise would swallow the
// reply's own start.
sim::Bytes noise(std::mt19937 &random, std::size_t count) {
  std::uniform_int_distribution<int> any_byte(0, UINT8_MAX);
  sim::Bytes bytes(count);
  for (auto &byte : bytes) {
    do {
      byte = static_cast<std::uint8_t>(any_byte(random));
    } while (byte == link::kStx);
  }
  return bytes;
}

void add_fixed_faults(const SimOptions &options, std::mt19937 &random, sim::Answer &answer) {
  answer.silent = answer.silent || options.silent;
  answer.delay_ms += options.delay_ms;
  if (options.noise_bytes > 0) {
    answer.noise_before = noise(random, options.noise_bytes);
  }
  if (options.crc_error_chance > 0.0 &&
      std::bernoulli_distribution(options.crc_error_chance)(random)) {
    answer.corrupt_crc = true;
  }
  if (options.piece_size > 0) {
    answer.piece_size = options.piece_size;
    answer.piece_pause_ms = options.piece_pause_ms;
  }
}

// The mix's rate, shared evenly by every kind of fault.
sim::FaultRates even_rates(double total) {
  const double each = total / static_cast<double>(sim::kFaultKinds - 1);
  return {each, each, each, each, each, each};
}

} // namespace

sim::Answer plain_answer(const SimOptions &options, const sim::Bytes &command) {
  sim::Answer answer;
  for (const ReplyRule &rule : options.replies) {
    if (rule.command == command) {
      answer.payload = rule.payload;
      return answer;
    }
  }
  if (command == sim::Bytes{adapter::kReadVersionCommand}) {
    answer.payload = options.identify ? text_bytes(sim::kIdentificationText)
                                      : version_reply(options.version_text);
  } else {
    answer.payload = {adapter::kStatusOk};
  }
  return answer;
}

sim::Behaviour make_behaviour(const SimOptions &options) {
  // Only the adapter's thread calls the behaviour, so the generator needs no
  // lock. A seed makes the faults repeat from run to run.
  auto random = std::make_shared<std::mt19937>(options.fault_seed.value_or(std::random_device{}()));
  sim::Behaviour behaviour = [options, random](const sim::Bytes &command) {
    sim::Answer answer = plain_answer(options, command);
    add_fixed_faults(options, *random, answer);
    return answer;
  };
  if (options.fault_seed) {
    return sim::FaultMix(behaviour, even_rates(options.fault_rate), *options.fault_seed);
  }
  return behaviour;
}

sim::Behaviour replaying(const SimOptions &options, ReplayScript script,
                         TranscriptPlayer::Notice unanswered) {
  sim::Behaviour fallback = options.answers_given
                                ? make_behaviour(options)
                                : [](const sim::Bytes &) { return sim::silent(); };
  return TranscriptPlayer(std::move(script), std::move(fallback), std::move(unanswered));
}

} // namespace korvel::simtool

#include "fault_mix.h"

#include "link/frame.h"

namespace korvel::sim {
namespace {

constexpr std::size_t kMaxNoiseBytes = 16;
constexpr std::size_t kMaxPieceSize = 8;
constexpr std::uint32_t kMaxPiecePauseMs = 40;

std::uint32_t uniform(std::mt19937 &random, std::uint32_t low, std::uint32_t high) {
  return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
}

Fault draw_fault(std::mt19937 &random, const FaultRates &rates) {
  const double chances[] = {rates.silence, rates.crc_error, rates.noise,
                            rates.pieces,  rates.delay,     rates.late_reply};
  double draw = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  for (std::size_t i = 0; i < std::size(chances); ++i) {
    if (draw < chances[i]) {
      return static_cast<Fault>(i + 1);
    }
    draw -= chances[i];
  }
  return Fault::None;
}

void apply(Fault fault, std::mt19937 &random, Answer &answer) {
  switch (fault) {
  case Fault::Silence:
    answer.silent = true;
    break;
  case Fault::CrcError:
    answer.corrupt_crc = true;
    break;
  case Fault::Noise:
    answer.noise_before.resize(uniform(random, 1, kMaxNoiseBytes));
    for (auto &byte : answer.noise_before) {
      // Noise never carries an STX: a frame begun by noise would swallow the
      // reply's own start and could end in its ETX.
      do {
        byte = static_cast<std::uint8_t>(uniform(random, 0, 255));
      } while (byte == link::kStx);
    }
    break;
  case Fault::Pieces:
    answer.piece_size = uniform(random, 1, kMaxPieceSize);
    answer.piece_pause_ms = uniform(random, 1, kMaxPiecePauseMs);
    break;
  case Fault::Delay:
    answer.delay_ms = uniform(random, 1, kMaxDelayMs);
    break;
  case Fault::LateReply:
    answer.delay_ms = uniform(random, kMinLateMs, kMaxLateMs);
    break;
  case Fault::None:
    break;
  }
}

} // namespace

const char *fault_name(Fault fault) {
  static constexpr const char *names[kFaultKinds] = {"none",   "silence", "crc-error", "noise",
                                                     "pieces", "delay",   "late-reply"};
  return names[static_cast<std::size_t>(fault)];
}

Fault fault_of(const Answer &answer) {
  if (answer.silent) {
    return Fault::Silence;
  }
  if (answer.corrupt_crc) {
    return Fault::CrcError;
  }
  if (!answer.noise_before.empty()) {
    return Fault::Noise;
  }
  if (answer.piece_size != 0) {
    return Fault::Pieces;
  }
  if (answer.delay_ms >= kMinLateMs) {
    return Fault::LateReply;
  }
  return answer.delay_ms > 0 ? Fault::Delay : Fault::None;
}

FaultMix::FaultMix(Behaviour base, FaultRates rates, std::uint32_t seed)
    : base_(std::move(base)), rates_(rates), shared_(std::make_shared<Shared>()) {
  shared_->random.seed(seed);
}

Answer FaultMix::operator()(const Bytes &command) {
  Answer answer = base_(command);
  std::lock_guard lock(shared_->mutex);
  apply(draw_fault(shared_->random, rates_), shared_->random, answer);
  return answer;
}

} // namespace korvel::sim

#include "soak_traffic.h"

#include "korvel_dll.h"
#include "link/frame.h"

#include <string>

namespace soak {
namespace {

// Command layout: tag (4 bytes), reply kind, two bytes that say what to
// answer, then filler.
constexpr std::size_t kTagBytes = 4;
constexpr std::size_t kKindIndex = 4;
constexpr std::size_t kAnswerIndex = 5;
constexpr std::size_t kMinCommand = 7;
constexpr std::uint8_t kReplyPayload = 0x50;
constexpr std::uint8_t kReplyStatus = 0x53;

constexpr std::int32_t kLargeReplyBuffer = 512;
constexpr std::int32_t kVersionBuffer = 64;
constexpr std::int32_t kShortLength = 64;
constexpr std::int32_t kLongCommand = 250;

using korvel::adapter::kStatusOk;
// Status bytes other than 0x00 that the adapter may answer; 0x05 is one the
// library does not know.
constexpr std::uint8_t kErrorStatuses[] = {
    korvel::adapter::kStatusTimeout, korvel::adapter::kStatusCrcError, korvel::adapter::kStatusFE,
    korvel::adapter::kStatusError, 0x05};
constexpr std::uint8_t kSpecialBytes[] = {korvel::link::kStx, korvel::link::kEtx,
                                          korvel::link::kEscape};

std::uint32_t tag_of(std::uint32_t number) {
  std::uint32_t tag = number * 0x9E3779B1U + 0x7F4A7C15U;
  tag ^= tag >> 15;
  return tag * 0x85EBCA6BU;
}

bool chance(std::mt19937 &random, double probability) {
  return std::uniform_real_distribution<double>(0.0, 1.0)(random) < probability;
}

std::uint32_t uniform(std::mt19937 &random, std::uint32_t low, std::uint32_t high) {
  return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
}

// Random bytes of which about one in four needs stuffing.
void append_filler(std::mt19937 &random, Bytes &bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(chance(random, 0.25) ? kSpecialBytes[uniform(random, 0, 2)]
                                         : static_cast<std::uint8_t>(uniform(random, 0, 255)));
  }
}

std::uint8_t error_status(std::mt19937 &random) {
  return kErrorStatuses[uniform(random, 0, std::size(kErrorStatuses) - 1)];
}

std::int32_t requested_length(const Bytes &command) {
  return command[kAnswerIndex] * 256 + command[kAnswerIndex + 1];
}

// The payload length an exec command asks for (1 for a status byte).
std::int32_t asked_length(const Bytes &command) {
  return command[kKindIndex] == kReplyStatus ? 1 : requested_length(command);
}

} // namespace

const char *call_name(Call call) {
  switch (call) {
  case Call::Exec:
    return "exec";
  case Call::Version:
    return "version";
  case Call::Reset:
    return "reset";
  }
  return "?";
}

Transaction TrafficPlan::next(std::uint32_t number) {
  Transaction transaction;
  transaction.number = number;
  const std::uint32_t draw = uniform(random_, 0, 99);
  transaction.call = draw < 80 ? Call::Exec : draw < 90 ? Call::Version : Call::Reset;
  if (transaction.call == Call::Exec) {
    transaction.command = exec_command(number);
    transaction.capacity = exec_capacity(transaction.command);
  } else if (transaction.call == Call::Version) {
    transaction.capacity = version_capacity();
  }
  return transaction;
}

Bytes TrafficPlan::exec_command(std::uint32_t number) {
  const std::uint32_t tag = tag_of(number);
  Bytes command{static_cast<std::uint8_t>(tag >> 24), static_cast<std::uint8_t>(tag >> 16),
                static_cast<std::uint8_t>(tag >> 8), static_cast<std::uint8_t>(tag)};
  const std::uint32_t kind = uniform(random_, 0, 99);
  std::uint32_t length = 0;
  if (kind < 10) {
    command.push_back(kReplyStatus);
    command.push_back(chance(random_, 0.4) ? kStatusOk : error_status(random_));
    command.push_back(0);
  } else {
    if (kind >= 13) { // 3 in 100 ask for an empty payload
      length = kind < 70   ? uniform(random_, 2, kShortLength)
               : kind < 95 ? uniform(random_, kShortLength + 1, MDB_IF_MAX_REPLY_PAYLOAD)
                           : MDB_IF_MAX_REPLY_PAYLOAD;
    }
    command.push_back(kReplyPayload);
    command.push_back(static_cast<std::uint8_t>(length >> 8));
    command.push_back(static_cast<std::uint8_t>(length));
  }
  const std::uint32_t size_draw = uniform(random_, 0, 99);
  const std::uint32_t size = size_draw < 65 ? uniform(random_, kMinCommand, 40)
                             : size_draw < 90
                                 ? uniform(random_, 41, MDB_IF_MAX_COMMAND_ANY_BYTES)
                                 : uniform(random_, MDB_IF_MAX_COMMAND_ANY_BYTES + 1, kLongCommand);
  append_filler(random_, command, size - command.size());
  // Long commands keep only as many bytes as their stuffed frame allows.
  while (!korvel::link::command_fits(command.data(), static_cast<std::int32_t>(command.size()))) {
    command.pop_back();
  }
  return command;
}

std::int32_t TrafficPlan::exec_capacity(const Bytes &command) {
  const std::int32_t asked = asked_length(command);
  const std::uint32_t draw = uniform(random_, 0, 99);
  if (draw < 70) {
    return kLargeReplyBuffer;
  }
  if (draw < 85) {
    return asked;
  }
  if (draw < 95) {
    return static_cast<std::int32_t>(uniform(random_, 1, asked > 1 ? asked : 1));
  }
  return 0;
}

std::int32_t TrafficPlan::version_capacity() {
  const std::uint32_t draw = uniform(random_, 0, 99);
  return draw < 75   ? kVersionBuffer
         : draw < 97 ? static_cast<std::int32_t>(uniform(random_, 1, 40))
                     : 0;
}

Answer answer_to_command(const Bytes &command) {
  Answer answer;
  if (command.size() < kMinCommand) {
    return korvel::sim::default_answer(command);
  }
  if (command[kKindIndex] == kReplyStatus) {
    answer.payload = {command[kAnswerIndex]};
    return answer;
  }
  const auto length = static_cast<std::size_t>(requested_length(command));
  answer.payload.assign(command.begin(), command.begin() + kTagBytes);
  answer.payload.resize(length < kTagBytes ? length : kTagBytes);
  // The rest follows from the tag alone.
  std::mt19937 filler((std::uint32_t{command[0]} << 24) | (std::uint32_t{command[1]} << 16) |
                      (std::uint32_t{command[2]} << 8) | command[3]);
  if (length > answer.payload.size()) {
    append_filler(filler, answer.payload, length - answer.payload.size());
  }
  return answer;
}

SoakAdapter::SoakAdapter(std::uint32_t seed) : shared_(std::make_shared<Shared>()) {
  shared_->random.seed(seed);
}

Answer SoakAdapter::operator()(const Bytes &command) {
  const bool version = command == Bytes{korvel::adapter::kReadVersionCommand};
  if (!version && command != Bytes{korvel::adapter::kLineResetCommand}) {
    return answer_to_command(command);
  }
  std::lock_guard lock(shared_->mutex);
  std::mt19937 &random = shared_->random;
  Answer answer;
  if (chance(random, 0.02)) {
    return answer; // a valid reply without a single byte
  }
  answer.payload = {chance(random, 0.88) ? kStatusOk : error_status(random)};
  if (version) {
    const std::string text = "SOAK-VERSION-" + std::to_string(++shared_->versions_answered);
    answer.payload.insert(answer.payload.end(), text.begin(), text.end());
  } else if (chance(random, 0.1)) {
    append_filler(random, answer.payload, uniform(random, 1, 8)); // read as the status alone
  }
  return answer;
}

} // namespace soak

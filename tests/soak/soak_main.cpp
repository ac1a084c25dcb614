// korvel_soak: many transactions through libkorvel_dll.so against the
// simulated adapter with a seeded mix of faults, each checked against what
// the adapter did. Prints one summary line; exits nonzero on any mismatch.
//
//   korvel_soak [--transactions N] [--seed S]
#include "fault_mix.h"
#include "korvel_dll.h"
#include "soak_check.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

using korvel::sim::FaultMix;
using korvel::sim::FaultRates;
using korvel::sim::PtyAdapter;
using soak::Answer;
using soak::Bytes;
using soak::CallRecord;
using soak::RequestTiming;
using soak::Transaction;
using Clock = std::chrono::steady_clock;

// Chosen so that faults of every kind, and exec commands that fail three
// attempts in a row, occur often, while 10,000 transactions still finish in
// about 20 minutes: a silence or a late reply costs about half a second.
constexpr FaultRates kSoakRates{.silence = 0.04,
                                .crc_error = 0.06,
                                .noise = 0.05,
                                .pieces = 0.05,
                                .delay = 0.05,
                                .late_reply = 0.03};
constexpr std::uint32_t kDefaultTransactions = 300;
constexpr std::uint32_t kDefaultSeed = 1;
// The adapter has answered everything once no request came for this long.
constexpr auto kQuietPeriod = std::chrono::milliseconds(2000);
constexpr std::size_t kMismatchesShown = 20;
// A long soak reports its progress this often.
constexpr std::uint32_t kProgressEvery = 1000;

struct Options {
  std::uint32_t transactions = kDefaultTransactions;
  std::uint32_t seed = kDefaultSeed;
};

bool parse_options(int argc, char **argv, Options &options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    char *end = nullptr;
    const unsigned long value = std::strtoul(argv[i + 1], &end, 0);
    if (*end != '\0') {
      return false;
    }
    if (std::strcmp(argv[i], "--transactions") == 0) {
      options.transactions = static_cast<std::uint32_t>(value);
    } else if (std::strcmp(argv[i], "--seed") == 0) {
      options.seed = static_cast<std::uint32_t>(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

class Timeline {
public:
  double now_ms() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - origin_).count();
  }

private:
  Clock::time_point origin_ = Clock::now();
};

// Keeps a pieced reply within the soak's budget: fewer, larger pieces or
// shorter pauses, the fault itself kept.
void pace_pieces(Answer &answer) {
  if (answer.piece_size == 0) {
    return;
  }
  const std::size_t frame = korvel::sim::encode_reply(answer).size();
  const auto gaps = [&] { return (frame + answer.piece_size - 1) / answer.piece_size - 1; };
  while (gaps() > soak::kPiecesBudgetMs) {
    ++answer.piece_size;
  }
  if (gaps() * answer.piece_pause_ms > soak::kPiecesBudgetMs && gaps() > 0) {
    answer.piece_pause_ms = static_cast<std::uint32_t>(soak::kPiecesBudgetMs / gaps());
  }
}

// The adapter's behaviour: the soak's answers with faults on top, paced. It
// notes when each request was read and when its answer went out.
class TimedBehaviour {
public:
  TimedBehaviour(const Timeline &timeline, std::uint32_t seed)
      : timeline_(timeline), faults_(soak::SoakAdapter(seed), kSoakRates, seed) {}

  Answer answer(const Bytes &command) {
    Answer answer = faults_(command);
    pace_pieces(answer);
    RequestTiming timing;
    timing.read_ms = timeline_.now_ms();
    timing.write_start_ms = timing.read_ms + answer.delay_ms;
    std::lock_guard lock(mutex_);
    timings_.push_back(timing);
    return answer;
  }

  // Exchanges are observed in the order their requests were read.
  void answered() {
    const double now = timeline_.now_ms();
    std::lock_guard lock(mutex_);
    if (observed_ < timings_.size()) {
      timings_[observed_++].write_end_ms = now;
    }
  }

  std::vector<RequestTiming> timings() const {
    std::lock_guard lock(mutex_);
    return timings_;
  }

private:
  const Timeline &timeline_;
  FaultMix faults_;
  mutable std::mutex mutex_;
  std::vector<RequestTiming> timings_;
  std::size_t observed_ = 0;
};

CallRecord run_call(MDB_IF_HANDLE handle, const Transaction &transaction,
                    const Timeline &timeline) {
  CallRecord call;
  call.transaction = transaction;
  call.buffer.assign(static_cast<std::size_t>(transaction.capacity) + soak::kGuardBytes,
                     soak::kBufferFill);
  call.length_after = transaction.capacity;
  call.start_ms = timeline.now_ms();
  switch (transaction.call) {
  case soak::Call::Exec:
    call.result = MDB_IF_ExecCommand(handle, transaction.command.data(),
                                     static_cast<std::int32_t>(transaction.command.size()),
                                     call.buffer.data(), &call.length_after);
    break;
  case soak::Call::Version:
    call.result = MDB_IF_GetVersion(handle, reinterpret_cast<char *>(call.buffer.data()),
                                    transaction.capacity);
    break;
  case soak::Call::Reset:
    call.result = MDB_IF_LineReset(handle);
    break;
  }
  call.end_ms = timeline.now_ms();
  return call;
}

void wait_until_quiet(const PtyAdapter &adapter) {
  std::size_t seen = adapter.request_count();
  for (;;) {
    std::this_thread::sleep_for(kQuietPeriod);
    const std::size_t now = adapter.request_count();
    if (now == seen) {
      return;
    }
    seen = now;
  }
}

void print_summary(const Options &options, const soak::SoakTally &tally, double seconds) {
  std::printf("korvel_soak: seed %u, %u transactions, %zu requests; faults:", options.seed,
              options.transactions, tally.requests);
  for (std::size_t kind = 0; kind < korvel::sim::kFaultKinds; ++kind) {
    std::printf(" %s %zu", korvel::sim::fault_name(static_cast<korvel::sim::Fault>(kind)),
                tally.faults[kind]);
  }
  std::printf("; late replies taken by a retry %zu, carried over %zu, exec failed after three "
              "attempts %zu, checked loosely %zu; mismatches %zu; longest call: exec %.0f ms, "
              "version %.0f ms, reset %.0f ms; %.1f s\n",
              tally.late_accepted_retry, tally.carried_over, tally.failed_after_three,
              tally.loosely_checked, tally.mismatches.size(), tally.longest_ms[0],
              tally.longest_ms[1], tally.longest_ms[2], seconds);
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [--transactions N] [--seed S]\n", argv[0]);
    return 2;
  }
  const Timeline timeline;
  TimedBehaviour behaviour(timeline, options.seed);
  PtyAdapter adapter([&behaviour](const Bytes &command) { return behaviour.answer(command); });
  adapter.set_observer([&behaviour](const korvel::sim::Exchange &) { behaviour.answered(); });
  MDB_IF_HANDLE handle = nullptr;
  if (MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle) != MDB_IF_OK) {
    std::fprintf(stderr, "cannot open %s\n", adapter.port_name().c_str());
    return 1;
  }
  soak::TrafficPlan plan(options.seed);
  std::vector<CallRecord> calls;
  calls.reserve(options.transactions);
  for (std::uint32_t number = 1; number <= options.transactions; ++number) {
    calls.push_back(run_call(handle, plan.next(number), timeline));
    if (number % kProgressEvery == 0) {
      std::fprintf(stderr, "%u transactions, %.0f s\n", number, timeline.now_ms() / 1000.0);
    }
  }
  MDB_IF_CloseInterface(handle);
  wait_until_quiet(adapter);

  soak::SoakTally tally = soak::check_soak(calls, adapter.exchanges(), behaviour.timings());
  if (adapter.bad_request_count() != 0) {
    tally.mismatches.emplace_back("the adapter received request frames with a bad CRC");
  }
  for (std::size_t i = 0; i < tally.mismatches.size() && i < kMismatchesShown; ++i) {
    std::fprintf(stderr, "mismatch: %s\n", tally.mismatches[i].c_str());
  }
  print_summary(options, tally, timeline.now_ms() / 1000.0);
  return tally.mismatches.empty() ? 0 : 1;
}

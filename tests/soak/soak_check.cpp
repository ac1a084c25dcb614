#include "soak_check.h"

#include "exchange.h"
#include "fault_mix.h"
#include "korvel_dll.h"
#include "soak_outcome.h"

#include <algorithm>
#include <cstdio>

namespace soak {
namespace {

using korvel::sim::Exchange;
using korvel::sim::Fault;

using korvel::kCommandAttempts;
// One attempt that gets no reply: the silence timeout, the poll interval, the
// settle delay, the pause after a failed attempt and a little more.
constexpr double kSilentAttemptMs = korvel::link::kSilenceTimeoutMs +
                                    korvel::link::kPollIntervalMs + korvel::kSettleDelayMs +
                                    korvel::kRetryDelayMs + 10;
// What a loaded machine may add to a call.
constexpr double kSlackMs = 300;
// Bytes written this long before a transaction began may still reach the
// host's side of the line after its purge.
constexpr double kLineLatencyMs = 15;
// The latest an answer goes out after its request was read.
constexpr double kLatestAnswerMs = korvel::sim::kMaxLateMs + kPiecesBudgetMs + kSlackMs;

bool is_late(const Answer &answer) { return fault_of(answer) == Fault::LateReply; }

bool is_valid(const Answer &answer) { return !answer.silent && !answer.corrupt_crc; }

// One outcome the model allows: a reply accepted (the index of the own
// request it answered), or a failure code, after this many attempts.
struct Expectation {
  int accepted = -1;
  std::int32_t failure = MDB_IF_OK;
  int attempts = 0;
};

// The outcomes of an exec whose own answers are these, with nothing foreign
// on the line. A late reply is normally taken by the next attempt; it may
// also, on a slow host, be taken by its own attempt or be purged before the
// next one.
std::vector<Expectation> exec_expectations(const std::vector<const Answer *> &own) {
  std::vector<Expectation> expected;
  std::int32_t last_failure = MDB_IF_OK;
  for (int i = 0; i < kCommandAttempts && i < static_cast<int>(own.size()); ++i) {
    const Answer &answer = *own[static_cast<std::size_t>(i)];
    if (i > 0 && is_late(*own[static_cast<std::size_t>(i - 1)])) {
      expected.push_back({i - 1, MDB_IF_OK, i + 1});
    }
    if (is_valid(answer)) {
      expected.push_back({i, MDB_IF_OK, i + 1});
      if (!is_late(answer)) {
        return expected;
      }
    }
    last_failure = answer.corrupt_crc ? MDB_IF_OPEN_OR_CRC_ERROR : MDB_IF_TIMEOUT;
  }
  expected.push_back({-1, last_failure, kCommandAttempts});
  return expected;
}

std::vector<Expectation> single_expectations(const Answer &answer) {
  std::vector<Expectation> expected;
  if (is_valid(answer)) {
    expected.push_back({0, MDB_IF_OK, 1});
  }
  if (!is_valid(answer) || is_late(answer)) {
    expected.push_back({-1, answer.corrupt_crc ? MDB_IF_OPEN_OR_CRC_ERROR : MDB_IF_TIMEOUT, 1});
  }
  return expected;
}

std::string describe(const Answer &answer) {
  char text[48];
  std::snprintf(text, sizeof(text), "%s(%zu bytes)", korvel::sim::fault_name(fault_of(answer)),
                answer.payload.size());
  return text;
}

class Checker {
public:
  Checker(const std::vector<Exchange> &exchanges, const std::vector<RequestTiming> &timings,
          SoakTally &tally)
      : exchanges_(exchanges), timings_(timings), tally_(tally) {}

  void check(const CallRecord &call);
  void finish();

private:
  std::size_t take_own_requests(const CallRecord &call);
  std::vector<const Answer *> foreign_answers(const CallRecord &call, std::size_t first) const;
  bool matches_model(const CallRecord &call, std::size_t first, std::size_t count);
  bool matches_disturbed(const CallRecord &call, std::size_t first, std::size_t count,
                         const std::vector<const Answer *> &foreign);
  void mismatch(const CallRecord &call, std::size_t first, std::size_t count, const char *what);

  const std::vector<Exchange> &exchanges_;
  const std::vector<RequestTiming> &timings_;
  SoakTally &tally_;
  std::size_t next_ = 0;
};

std::size_t Checker::take_own_requests(const CallRecord &call) {
  const Transaction &transaction = call.transaction;
  const Bytes command = transaction.call == Call::Exec ? transaction.command
                        : transaction.call == Call::Version
                            ? Bytes{korvel::adapter::kReadVersionCommand}
                            : Bytes{korvel::adapter::kLineResetCommand};
  const std::size_t most = transaction.call == Call::Exec ? kCommandAttempts : 1;
  const std::size_t first = next_;
  while (next_ < exchanges_.size() && next_ - first < most &&
         exchanges_[next_].command == command) {
    ++next_;
  }
  return next_ - first;
}

// Answers to earlier transactions' requests whose bytes may have come after
// this transaction's purge.
std::vector<const Answer *> Checker::foreign_answers(const CallRecord &call,
                                                     std::size_t first) const {
  std::vector<const Answer *> foreign;
  for (std::size_t j = first; j-- > 0 && timings_[j].read_ms + kLatestAnswerMs >= call.start_ms;) {
    const RequestTiming &timing = timings_[j];
    if (!exchanges_[j].answer.silent && timing.write_end_ms >= call.start_ms - kLineLatencyMs &&
        timing.write_start_ms <= call.end_ms) {
      foreign.push_back(&exchanges_[j].answer);
    }
  }
  return foreign;
}

bool Checker::matches_model(const CallRecord &call, std::size_t first, std::size_t count) {
  std::vector<const Answer *> own;
  for (std::size_t i = first; i < first + count; ++i) {
    own.push_back(&exchanges_[i].answer);
  }
  const std::vector<Expectation> expected =
      call.transaction.call == Call::Exec ? exec_expectations(own) : single_expectations(*own[0]);
  for (const Expectation &expectation : expected) {
    if (expectation.attempts != static_cast<int>(count)) {
      continue;
    }
    if (expectation.accepted >= 0 &&
        accepted_reply(call, *own[static_cast<std::size_t>(expectation.accepted)])) {
      tally_.late_accepted_retry += expectation.accepted + 1 < expectation.attempts ? 1 : 0;
      return true;
    }
    if (expectation.accepted < 0 && failed_with(call, expectation.failure)) {
      tally_.failed_after_three += call.transaction.call == Call::Exec ? 1 : 0;
      return true;
    }
  }
  return false;
}

// With foreign bytes on the line, or its own answers held up, the
// transaction may accept one of its own replies or a foreign one, or fail
// after all its attempts.
bool Checker::matches_disturbed(const CallRecord &call, std::size_t first, std::size_t count,
                                const std::vector<const Answer *> &foreign) {
  for (std::size_t i = first; i < first + count; ++i) {
    if (accepted_reply(call, exchanges_[i].answer)) {
      return true;
    }
  }
  for (const Answer *answer : foreign) {
    if (accepted_reply(call, *answer)) {
      ++tally_.carried_over;
      return true;
    }
  }
  const std::size_t attempts = call.transaction.call == Call::Exec ? kCommandAttempts : 1;
  return count == attempts &&
         (failed_with(call, MDB_IF_TIMEOUT) || failed_with(call, MDB_IF_OPEN_OR_CRC_ERROR));
}

void Checker::check(const CallRecord &call) {
  const std::size_t first = next_;
  const std::size_t count = take_own_requests(call);
  const auto kind = static_cast<std::size_t>(call.transaction.call);
  const double took = call.end_ms - call.start_ms;
  tally_.longest_ms[kind] = std::max(tally_.longest_ms[kind], took);
  if (took > call_bound_ms(call.transaction.call)) {
    mismatch(call, first, count, "took longer than its bound");
  }
  if (count == 0) {
    mismatch(call, first, count, "no request of it reached the adapter");
    return;
  }
  const std::vector<const Answer *> foreign = foreign_answers(call, first);
  // An adapter still busy with earlier requests reads this one late, and its
  // answers may come after the call has given up on them.
  const bool adapter_busy = first > 0 && timings_[first - 1].write_end_ms > call.start_ms;
  const bool disturbed = adapter_busy || !foreign.empty();
  tally_.loosely_checked += disturbed ? 1 : 0;
  const bool matched = disturbed ? matches_disturbed(call, first, count, foreign)
                                 : matches_model(call, first, count);
  if (!matched) {
    mismatch(call, first, count,
             disturbed ? "outcome differs (adapter busy or foreign bytes)" : "outcome differs");
  }
}

void Checker::finish() {
  if (next_ != exchanges_.size()) {
    char text[96];
    std::snprintf(text, sizeof(text), "%zu requests at the adapter belong to no transaction",
                  exchanges_.size() - next_);
    tally_.mismatches.emplace_back(text);
  }
}

void Checker::mismatch(const CallRecord &call, std::size_t first, std::size_t count,
                       const char *what) {
  char text[256];
  std::snprintf(text, sizeof(text),
                "transaction %u (%s, capacity %d): %s: result %d, length %d, %.0f ms, "
                "%zu requests:",
                call.transaction.number, call_name(call.transaction.call),
                call.transaction.capacity, what, call.result, call.length_after,
                call.end_ms - call.start_ms, count);
  std::string line = text;
  for (std::size_t i = first; i < first + count; ++i) {
    char timing[64];
    std::snprintf(timing, sizeof(timing), " [read +%.0f, out +%.0f ms]",
                  timings_[i].read_ms - call.start_ms, timings_[i].write_end_ms - call.start_ms);
    line += " " + describe(exchanges_[i].answer) + timing;
  }
  tally_.mismatches.push_back(line);
}

} // namespace

double call_bound_ms(Call call) {
  // Foreign bytes may keep one receive busy for a paced piece sequence.
  const int attempts = call == Call::Exec ? kCommandAttempts : 1;
  return attempts * kSilentAttemptMs + kPiecesBudgetMs + kSlackMs;
}

SoakTally check_soak(const std::vector<CallRecord> &calls, const std::vector<Exchange> &exchanges,
                     const std::vector<RequestTiming> &timings) {
  SoakTally tally;
  tally.requests = exchanges.size();
  for (const Exchange &exchange : exchanges) {
    ++tally.faults[static_cast<std::size_t>(fault_of(exchange.answer))];
  }
  if (timings.size() != exchanges.size()) {
    tally.mismatches.emplace_back("the adapter's request log and its timings differ in length");
    return tally;
  }
  Checker checker(exchanges, timings, tally);
  for (const CallRecord &call : calls) {
    checker.check(call);
  }
  checker.finish();
  return tally;
}

} // namespace soak

// MDB_IF_ExecCommand, MDB_IF_LineReset and MDB_IF_GetVersion over an open
// fake interface: result codes, retries, durations on the virtual clock, the
// bytes on the wire and refused host arguments.
#include "exchange.h"
#include "fake_adapter.h"
#include "korvel_dll.h"
#include "link/receiver.h"
#include "worked_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

namespace fake = korvel::port::fake;
using fake::Bytes;
using fake::Chunk;
using fake::FakePort;

constexpr std::uint32_t kSettleMs = korvel::kSettleDelayMs;
constexpr std::uint32_t kSilenceMs = korvel::link::kSilenceTimeoutMs;
constexpr std::uint32_t kPollMs = korvel::link::kPollIntervalMs;
using korvel::kRetryDelayMs;
using korvel::kSilentExchangeMs;
constexpr int kAttempts = korvel::kCommandAttempts;

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::int32_t kGuardBytes = 8;

using worked_frames::kLineResetWire;
using worked_frames::kReadVersionWire;
const Bytes kVersionReply = {0x00, 'V', '1', '.', '0'};

// A command whose bytes all need stuffing, and whose frame would just fill the
// transmit buffer were it not for a CRC byte that needs stuffing too.
Bytes overflowing_by_its_crc() {
  constexpr std::uint8_t kStuffed[] = {korvel::link::kStx, korvel::link::kEtx,
                                       korvel::link::kEscape};
  Bytes command(MDB_IF_MAX_COMMAND_ANY_BYTES + 1, korvel::link::kEscape);
  for (int variant = 0; variant < 3 * 3 * 3 * 3 * 3 * 3; ++variant) {
    for (int i = 0, rest = variant; i < 6; ++i, rest /= 3) {
      command[static_cast<std::size_t>(i)] = kStuffed[rest % 3];
    }
    if (request_frame(command).size() > korvel::link::kTransmitBufferSize) {
      return command;
    }
  }
  return {};
}

bool always(int) { return true; }

Bytes concat(Bytes first, const Bytes &second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

bool on_even(int nth) { return nth % 2 == 0; }

// What an ExecCommand call left behind.
struct Exec {
  std::int32_t result;
  std::int32_t length; // *replyLength after the call
  Bytes reply;         // the buffer up to the capacity
  bool guard_intact;   // nothing written past the capacity
};

// What a GetVersion call left behind.
struct Version {
  std::int32_t result;
  std::string text; // up to the first zero byte, when result is 0
  Bytes buffer;     // the buffer up to the capacity
  bool guard_intact;
};

bool guarded(const Bytes &buffer, std::int32_t capacity) {
  return std::all_of(buffer.begin() + capacity, buffer.end(),
                     [](std::uint8_t byte) { return byte == kGuard; });
}

class TransactionTest : public FakeLineTest {
protected:
  void SetUp() override {
    FakeLineTest::SetUp();
    start_line();
  }

  // A fresh line with COM1 open as the interface, for table rows that each
  // need their own port.
  void start_line(std::uint32_t start_ms = 0) {
    MDB_IF_CloseInterface(handle_);
    fake::reset(start_ms);
    port_ = &fake::add_port("COM1");
    ASSERT_EQ(MDB_IF_OpenInterface("COM1", &handle_), MDB_IF_OK);
  }

  void answer_with(const Bytes &payload) {
    port_->responder = fake::answer_always(reply_after(reply_frame(payload)));
  }

  Exec exec(const Bytes &command, std::int32_t capacity = 16) {
    Bytes buffer(static_cast<std::size_t>(capacity + kGuardBytes), kGuard);
    std::int32_t length = capacity;
    const std::int32_t result = MDB_IF_ExecCommand(
        handle_, command.data(), static_cast<std::int32_t>(command.size()), buffer.data(), &length);
    return {result, length, Bytes(buffer.begin(), buffer.begin() + capacity),
            guarded(buffer, capacity)};
  }

  Version version(std::int32_t capacity = 16) {
    Bytes buffer(static_cast<std::size_t>(capacity + kGuardBytes), kGuard);
    const std::int32_t result =
        MDB_IF_GetVersion(handle_, reinterpret_cast<char *>(buffer.data()), capacity);
    std::string text;
    if (result == MDB_IF_OK) {
      const auto end = std::find(buffer.begin(), buffer.begin() + capacity, 0);
      text.assign(buffer.begin(), end);
    }
    return {result, text, Bytes(buffer.begin(), buffer.begin() + capacity),
            guarded(buffer, capacity)};
  }

  FakePort *port_ = nullptr;
  MDB_IF_HANDLE handle_ = nullptr;
};

// ---------------------------------------------------------------------------
// Results

TEST_F(TransactionTest, OneByteStatusMapsPerTransaction) {
  const struct {
    std::uint8_t byte;
    std::int32_t exec;  // ExecCommand: any unknown status is an adapter error
    std::int32_t fixed; // LineReset and GetVersion: only 0xFF is one
  } rows[] = {
      {0x00, MDB_IF_OK, MDB_IF_OK},
      {0xFC, MDB_IF_TIMEOUT, MDB_IF_TIMEOUT},
      {0xFD, MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_OPEN_OR_CRC_ERROR},
      {0xFE, MDB_IF_ADAPTER_STATUS_FE, MDB_IF_ADAPTER_STATUS_FE},
      {0xFF, MDB_IF_ADAPTER_ERROR, MDB_IF_ADAPTER_ERROR},
      {0x05, MDB_IF_ADAPTER_ERROR, MDB_IF_LINK_ERROR},
      {0x01, MDB_IF_ADAPTER_ERROR, MDB_IF_LINK_ERROR},
      {0xFB, MDB_IF_ADAPTER_ERROR, MDB_IF_LINK_ERROR},
      // Stuffed on the wire.
      {0x02, MDB_IF_ADAPTER_ERROR, MDB_IF_LINK_ERROR},
      {0x7D, MDB_IF_ADAPTER_ERROR, MDB_IF_LINK_ERROR},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "status 0x" << std::hex << int{row.byte});
    start_line();
    answer_with({row.byte});

    const Exec e = exec({0x10, 0x20});
    EXPECT_EQ(e.result, row.exec);
    EXPECT_EQ(e.length, 1);
    EXPECT_EQ(e.reply[0], row.byte);
    EXPECT_EQ(port_->requests.size(), 1U) << "an adapter-reported error is not retried";

    EXPECT_EQ(MDB_IF_LineReset(handle_), row.fixed);
    const Version v = version();
    EXPECT_EQ(v.result, row.fixed);
    if (row.byte == 0x00) {
      EXPECT_EQ(v.text, "");
    }
    EXPECT_EQ(port_->requests.size(), 3U);
  }
}

TEST_F(TransactionTest, ExecReplyOfAnyOtherLengthIsSuccessWhateverItsBytes) {
  const Bytes replies[] = {
      {}, {0xFF, 0xFF}, {0xFC, 0x00}, {0x00, 0x02, 0x03, 0x7D, 0x41}, Bytes(64, 0xFE)};
  for (const Bytes &payload : replies) {
    SCOPED_TRACE(testing::Message() << payload.size() << " bytes");
    start_line();
    answer_with(payload);
    const auto size = static_cast<std::int32_t>(payload.size());
    const Exec e = exec({0x33}, size + 4);
    EXPECT_EQ(e.result, MDB_IF_OK);
    EXPECT_EQ(e.length, size);
    EXPECT_EQ(Bytes(e.reply.begin(), e.reply.begin() + size), payload);
    EXPECT_EQ(Bytes(e.reply.begin() + size, e.reply.end()), Bytes(4, kGuard));
    EXPECT_EQ(port_->requests.size(), 1U);
  }
}

TEST_F(TransactionTest, ExecWithCapacityOneReadsTheFirstByteOfALongerReplyAsStatus) {
  answer_with({0xFD, 0x00, 0x00});
  const Exec e = exec({0x33}, 1);
  EXPECT_EQ(e.result, MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(e.length, 1);
  EXPECT_EQ(e.reply, Bytes{0xFD});
  EXPECT_TRUE(e.guard_intact);
  EXPECT_EQ(port_->requests.size(), 1U);
}

TEST_F(TransactionTest, ExecDeliversAtMostTheCapacity) {
  answer_with({0x01, 0x02, 0x03, 0x04, 0x05});
  const Exec e = exec({0x33}, 3);
  EXPECT_EQ(e.result, MDB_IF_OK);
  EXPECT_EQ(e.length, 3);
  EXPECT_EQ(e.reply, (Bytes{0x01, 0x02, 0x03}));
  EXPECT_TRUE(e.guard_intact);
}

TEST_F(TransactionTest, LineResetReadsOnlyTheFirstByteOfALongerReply) {
  answer_with({0xFE, 0x00});
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_ADAPTER_STATUS_FE);
  answer_with({0x00, 0xFF});
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
}

// Every way an attempt can fail to get a valid reply, for all three
// transactions: result, frames sent, virtual time taken, and an untouched
// reply length.
TEST_F(TransactionTest, LinkFailuresMapPerTransactionWithRetriesOnlyForExec) {
  const struct {
    const char *what;
    std::function<void(FakePort &)> arrange;
    std::int32_t result;
    std::size_t frames_per_attempt;
    std::uint32_t attempt_ms; // one exchange, without the retry delay
  } rows[] = {
      {"silent", [](FakePort &) {}, MDB_IF_TIMEOUT, 1, kSilentExchangeMs},
      {"bad CRC",
       [](FakePort &p) {
         p.responder = fake::answer_always(reply_after(corrupt_reply_frame({0x00})));
       },
       MDB_IF_OPEN_OR_CRC_ERROR, 1, kSettleMs},
      {"header byte 2 not 0x00",
       [](FakePort &p) { p.responder = fake::answer_always(reply_after(reply_frame({0}, 0x01))); },
       MDB_IF_TIMEOUT, 1, kSilentExchangeMs},
      {"write fails", [](FakePort &p) { p.write_fails = always; }, MDB_IF_LINK_ERROR, 0, kSettleMs},
      {"write writes nothing", [](FakePort &p) { p.write_returns_zero = always; },
       MDB_IF_LINK_ERROR, 0, kSettleMs},
      {"second purge fails", [](FakePort &p) { p.purge_fails = on_even; }, MDB_IF_LINK_ERROR, 0, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    start_line();
    row.arrange(*port_);

    std::uint32_t started = fake::now_ms();
    const Exec e = exec({0x44}, 4);
    EXPECT_EQ(e.result, row.result);
    EXPECT_EQ(e.length, 4) << "a failed attempt leaves the reply length alone";
    EXPECT_EQ(e.reply, Bytes(4, kGuard));
    EXPECT_EQ(port_->requests.size(), kAttempts * row.frames_per_attempt);
    EXPECT_EQ(fake::now_ms() - started, kAttempts * (row.attempt_ms + kRetryDelayMs));

    const std::function<std::int32_t()> single_attempt[] = {
        [&] { return MDB_IF_LineReset(handle_); }, [&] { return version(16).result; }};
    for (const auto &call : single_attempt) {
      const std::size_t frames_before = port_->requests.size();
      started = fake::now_ms();
      EXPECT_EQ(call(), row.result);
      EXPECT_EQ(port_->requests.size() - frames_before, row.frames_per_attempt);
      EXPECT_EQ(fake::now_ms() - started, row.attempt_ms);
    }
  }
}

TEST_F(TransactionTest, ExecMapsTheLinkStatusOfTheLastAttempt) {
  const std::vector<Chunk> silence;
  const std::vector<Chunk> bad = reply_after(corrupt_reply_frame({0x00}));
  const struct {
    const char *what;
    std::vector<std::vector<Chunk>> answers;
    bool third_write_fails;
    std::int32_t result;
  } rows[] = {
      {"bad, bad, silent", {bad, bad, silence}, false, MDB_IF_TIMEOUT},
      {"silent, silent, bad", {silence, silence, bad}, false, MDB_IF_OPEN_OR_CRC_ERROR},
      {"bad, bad, write fails", {bad, bad}, true, MDB_IF_LINK_ERROR},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    start_line();
    port_->responder = fake::answer_in_turn(row.answers);
    if (row.third_write_fails) {
      port_->write_fails = [](int nth) { return nth == 3; };
    }
    EXPECT_EQ(exec({0x44}).result, row.result);
  }
}

TEST_F(TransactionTest, ExecTakesTheResultOfAThirdAttemptAfterTwoSilentOnes) {
  port_->responder = fake::answer_in_turn({{}, {}, reply_after(reply_frame({0xFE}))});
  const Exec e = exec({0x44});
  EXPECT_EQ(e.result, MDB_IF_ADAPTER_STATUS_FE);
  EXPECT_EQ(e.length, 1);
  EXPECT_EQ(port_->requests, std::vector<Bytes>(kAttempts, request_frame({0x44})));
  EXPECT_EQ(fake::now_ms(), 2 * (kSilentExchangeMs + kRetryDelayMs) + kSettleMs);
}

TEST_F(TransactionTest, ExecGoesOnAfterAFailedSecondPurge) {
  port_->purge_fails = [](int nth) { return nth == 2; };
  answer_with({0x00, 0x01});
  const Exec e = exec({0x44});
  EXPECT_EQ(e.result, MDB_IF_OK);
  EXPECT_EQ(port_->requests.size(), 1U);
  EXPECT_EQ(port_->purge_count, 4);
  EXPECT_EQ(fake::now_ms(), kRetryDelayMs + kSettleMs);
}

TEST_F(TransactionTest, AFailedFirstPurgeIsIgnored) {
  port_->purge_fails = [](int nth) { return nth % 2 == 1; };
  answer_with({0x00, 'V'});
  EXPECT_EQ(exec({0x44}).result, MDB_IF_OK);
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
  EXPECT_EQ(version().text, "V");
  EXPECT_EQ(port_->requests.size(), 3U);
}

// ---------------------------------------------------------------------------
// Timing

TEST_F(TransactionTest, ASuccessfulExchangeEndsOneSettleDelayAfterTheReplysLastByte) {
  const Bytes wire = reply_frame({0x00, 0x11, 0x22});
  const Bytes head(wire.begin(), wire.begin() + 4);
  const Bytes tail(wire.begin() + 4, wire.end());
  // Both gaps are whole poll intervals, so each chunk is read the moment it
  // arrives; the second gap is close to, but under, the silence timeout.
  constexpr std::uint32_t kFirstMs = 3 * kPollMs;
  constexpr std::uint32_t kGapMs = kSilenceMs - kPollMs;
  port_->responder = fake::answer_always({{kFirstMs, head}, {kGapMs, tail}});

  const Exec e = exec({0x44});
  EXPECT_EQ(e.result, MDB_IF_OK);
  EXPECT_EQ(fake::now_ms(), kFirstMs + kGapMs + kSettleMs);

  std::uint32_t started = fake::now_ms();
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
  EXPECT_EQ(fake::now_ms() - started, kFirstMs + kGapMs + kSettleMs);

  started = fake::now_ms();
  EXPECT_EQ(version().result, MDB_IF_OK);
  EXPECT_EQ(fake::now_ms() - started, kFirstMs + kGapMs + kSettleMs);
}

TEST_F(TransactionTest, TimingHoldsWhenTheTickCounterWraps) {
  // The millisecond tick wraps at 2^32; start just short of that.
  constexpr std::uint32_t kStart = 0xFFFFFFFFU - kSilenceMs / 2;
  start_line(kStart);
  EXPECT_EQ(exec({0x44}).result, MDB_IF_TIMEOUT);
  EXPECT_EQ(fake::now_ms() - kStart, kAttempts * (kSilentExchangeMs + kRetryDelayMs));

  start_line(kStart);
  port_->responder = fake::answer_always(reply_after(reply_frame({0x00}), kSilenceMs - kPollMs));
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
  EXPECT_EQ(fake::now_ms() - kStart, kSilenceMs - kPollMs + kSettleMs);
}

// The durations the design promises, written as numbers: every other timing
// check computes its expectation from the library's own constants, so a
// wrong poll interval, settle delay, silence timeout, retry delay, attempt
// count or receive limit would change the code and those checks together.
TEST_F(TransactionTest, CallsTakeTheDesignsDurations) {
  const auto exec_call = [this] { return exec({0x44}).result; };
  const auto reset_call = [this] { return MDB_IF_LineReset(handle_); };
  const auto version_call = [this] { return version().result; };
  const auto answer_after = [](std::uint32_t ms) {
    return [ms](FakePort &p) {
      p.responder = fake::answer_always(reply_after(reply_frame({0x00, 0x01}), ms));
    };
  };
  const auto silent = [](FakePort &) {};
  const struct {
    const char *what;
    std::function<void(FakePort &)> arrange;
    std::function<std::int32_t()> call;
    std::uint32_t ms;
  } rows[] = {
      // The reply is seen at the first 10 ms poll, then the 20 ms settle delay.
      {"reset, reply 5 ms after the request", answer_after(5), reset_call, 30},
      {"version, reply 5 ms after the request", answer_after(5), version_call, 30},
      {"exec, reply 5 ms after the request", answer_after(5), exec_call, 30},
      {"exec, reply 25 ms after the request", answer_after(25), exec_call, 50},
      // 500 ms of silence, then 20 ms; an exec pauses 20 ms more per attempt.
      {"silent reset", silent, reset_call, 520},
      {"silent version", silent, version_call, 520},
      {"silent exec", silent, exec_call, 1620},
      {"exec, three bad CRCs at once",
       [](FakePort &p) {
         p.responder = fake::answer_always(reply_after(corrupt_reply_frame({0x00})));
       },
       exec_call, 120},
      {"exec, two silent attempts, then a reply after 5 ms",
       [](FakePort &p) {
         p.responder = fake::answer_in_turn({{}, {}, reply_after(reply_frame({0x00, 0x01}), 5)});
       },
       exec_call, 1110},
      // A line that never completes a frame holds a receive for 2 s at most.
      {"reset on a chattering line",
       [](FakePort &p) {
         std::vector<Chunk> chatter(100, Chunk{50, {0x02, 0x00, 0x00, 0x41}});
         p.responder = fake::answer_always(chatter);
       },
       reset_call, 2020},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    start_line();
    row.arrange(*port_);
    const std::uint32_t started = fake::now_ms();
    row.call();
    EXPECT_EQ(fake::now_ms() - started, row.ms);
  }
}

// ---------------------------------------------------------------------------
// Wire bytes and the purge

TEST_F(TransactionTest, FixedCommandsGoOutAsTheirKnownFrames) {
  answer_with({0x00});
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
  EXPECT_EQ(version().result, MDB_IF_OK);
  EXPECT_EQ(port_->requests, (std::vector<Bytes>{kLineResetWire, kReadVersionWire}));
}

TEST_F(TransactionTest, ExecSendsTheHostCommandFramedAndStuffed) {
  const Bytes command = {0x02, 0x03, 0x7D, 0x00, 0x30, 0xFF};
  answer_with({0x00, 0x00});
  EXPECT_EQ(exec(command).result, MDB_IF_OK);
  EXPECT_EQ(port_->written, request_frame(command));
}

TEST_F(TransactionTest, ShortWritesStillDeliverTheWholeFrame) {
  const Bytes command(20, korvel::link::kEscape);
  const Bytes wire = request_frame(command);
  port_->max_write_chunk = 3;
  answer_with({0x00, 0x00});
  EXPECT_EQ(exec(command).result, MDB_IF_OK);
  EXPECT_EQ(port_->written, wire);
  EXPECT_EQ(port_->write_count, static_cast<int>((wire.size() + 2) / 3));

  port_->max_write_chunk = 1;
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
  EXPECT_EQ(port_->requests.back(), kLineResetWire);
}

TEST_F(TransactionTest, AWriteThatStopsHalfwayIsALinkFailure) {
  port_->max_write_chunk = 4;
  port_->write_returns_zero = [](int nth) { return nth == 2; };
  answer_with({0x00});
  // LineReset gives up after its one attempt.
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_LINK_ERROR);
  EXPECT_EQ(fake::now_ms(), kSettleMs);

  // ExecCommand starts the frame again on its next attempt.
  start_line();
  port_->max_write_chunk = 4;
  port_->write_fails = [](int nth) { return nth == 2; };
  answer_with({0x00, 0x01});
  const Exec e = exec({0x44});
  EXPECT_EQ(e.result, MDB_IF_OK);
  const Bytes wire = request_frame({0x44});
  ASSERT_GE(port_->written.size(), wire.size());
  const Bytes tail(port_->written.end() - static_cast<std::ptrdiff_t>(wire.size()),
                   port_->written.end());
  EXPECT_EQ(tail, wire);
  EXPECT_EQ(fake::now_ms(), kSettleMs + kRetryDelayMs + kSettleMs);
}

// A line that does not take the frame: the write waits out its bound, and
// whether it then reports nothing or a few bytes, the send gives up there
// instead of waiting once more for the rest. The call holds the export lock
// for that long, not for ever.
TEST_F(TransactionTest, AWriteThatStallsFailsTheSendAfterOneBound) {
  constexpr std::uint32_t kBoundMs = korvel::port::kWriteTimeoutMs;
  const struct {
    const char *what;
    std::function<void(FakePort &)> after_stall;
  } rows[] = {
      {"nothing written", [](FakePort &p) { p.write_returns_zero = always; }},
      {"a few bytes written", [](FakePort &p) { p.max_write_chunk = 2; }},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    start_line();
    port_->write_stalls = always;
    port_->write_stall_ms = kBoundMs;
    row.after_stall(*port_);
    answer_with({0x00});

    std::uint32_t started = fake::now_ms();
    EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_LINK_ERROR);
    EXPECT_EQ(fake::now_ms() - started, kBoundMs + kSettleMs);
    EXPECT_EQ(port_->write_count, 1);
    started = fake::now_ms();
    EXPECT_EQ(exec({0x44}).result, MDB_IF_LINK_ERROR);
    EXPECT_EQ(fake::now_ms() - started, kAttempts * (kBoundMs + kSettleMs + kRetryDelayMs));
    EXPECT_EQ(port_->write_count, 1 + kAttempts);
    EXPECT_TRUE(port_->requests.empty());

    // Once the line takes bytes again, the next call goes through.
    port_->write_stalls = nullptr;
    port_->write_returns_zero = nullptr;
    EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
  }
}

TEST_F(TransactionTest, LateBytesOfAnEarlierReplyAreDiscardedBeforeTheNextRequest) {
  // The first reply comes after the timeout, during the settle delay; the
  // second attempt must read its own reply, not the late one.
  port_->responder = fake::answer_in_turn({reply_after(reply_frame({0xFE}), kSilenceMs + kPollMs),
                                           reply_after(reply_frame({0x00, 0xAA}))});
  const Exec e = exec({0x44});
  EXPECT_EQ(e.result, MDB_IF_OK);
  EXPECT_EQ(e.length, 2);
  EXPECT_EQ(e.reply[1], 0xAA);

  // A second frame right behind a reply stays queued until the next purge.
  port_->responder =
      fake::answer_in_turn({reply_after(concat(reply_frame({0x00, 0x11}), reply_frame({0xFF}))),
                            reply_after(reply_frame({0x00}))});
  EXPECT_EQ(exec({0x44}).result, MDB_IF_OK);
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_OK);
}

// ---------------------------------------------------------------------------
// The version text

TEST_F(TransactionTest, VersionTextIsCutToTheCapacity) {
  const struct {
    std::int32_t capacity;
    const char *text;
  } rows[] = {{16, "V1.0"}, {5, "V1.0"}, {4, "V1."}, {3, "V1"}, {1, ""}};
  answer_with(kVersionReply);
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << "capacity " << row.capacity);
    const Version v = version(row.capacity);
    EXPECT_EQ(v.result, MDB_IF_OK);
    EXPECT_EQ(v.text, row.text);
    EXPECT_TRUE(v.guard_intact);
  }
}

// ---------------------------------------------------------------------------
// Decisions of this library

TEST_F(TransactionTest, AValidReplyWithoutAStatusByteIsALinkError) {
  answer_with({});
  EXPECT_EQ(MDB_IF_LineReset(handle_), MDB_IF_LINK_ERROR);
  Version v = version(16);
  EXPECT_EQ(v.result, MDB_IF_LINK_ERROR);
  EXPECT_EQ(v.buffer, Bytes(16, kGuard));
  EXPECT_TRUE(v.guard_intact);

  answer_with(kVersionReply);
  v = version(0);
  EXPECT_EQ(v.result, MDB_IF_LINK_ERROR);
  EXPECT_TRUE(v.guard_intact);
  EXPECT_EQ(MDB_IF_GetVersion(handle_, nullptr, 0), MDB_IF_LINK_ERROR);
  EXPECT_EQ(port_->requests.size(), 4U);
}

TEST_F(TransactionTest, RefusedHostArgumentsTouchNothing) {
  std::uint8_t command[4] = {0x44};
  std::uint8_t reply[4] = {kGuard, kGuard, kGuard, kGuard};
  std::int32_t length = 4;
  std::int32_t negative = -1;
  char text[4] = {'x', 'x', 'x', 'x'};
  const Bytes all_escaped(MDB_IF_MAX_COMMAND_ANY_BYTES + 2, korvel::link::kEscape);
  const Bytes crc_overflow = overflowing_by_its_crc();
  ASSERT_FALSE(crc_overflow.empty());
  const Bytes too_long(MDB_IF_MAX_COMMAND_UNSTUFFED + 1, 0x00);
  const auto size = [](const Bytes &bytes) { return static_cast<std::int32_t>(bytes.size()); };

  const struct {
    const char *what;
    std::function<std::int32_t()> call;
  } rows[] = {
      {"null command", [&] { return MDB_IF_ExecCommand(handle_, nullptr, 1, reply, &length); }},
      {"negative command length",
       [&] { return MDB_IF_ExecCommand(handle_, command, -1, reply, &length); }},
      {"command stuffed past the buffer",
       [&] {
         return MDB_IF_ExecCommand(handle_, all_escaped.data(), size(all_escaped), reply, &length);
       }},
      {"command whose stuffed CRC overflows the buffer",
       [&] {
         return MDB_IF_ExecCommand(handle_, crc_overflow.data(), size(crc_overflow), reply,
                                   &length);
       }},
      {"command longer than the buffer",
       [&] {
         return MDB_IF_ExecCommand(handle_, too_long.data(), size(too_long), reply, &length);
       }},
      {"null reply", [&] { return MDB_IF_ExecCommand(handle_, command, 1, nullptr, &length); }},
      {"null reply length",
       [&] { return MDB_IF_ExecCommand(handle_, command, 1, reply, nullptr); }},
      {"negative capacity",
       [&] { return MDB_IF_ExecCommand(handle_, command, 1, reply, &negative); }},
      {"null text", [&] { return MDB_IF_GetVersion(handle_, nullptr, 4); }},
      {"negative text capacity", [&] { return MDB_IF_GetVersion(handle_, text, -1); }},
  };
  answer_with({0x00, 0x00});
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.call(), MDB_IF_LINK_ERROR);
    EXPECT_EQ(port_->purge_count, 0);
    EXPECT_EQ(port_->write_count, 0);
    EXPECT_EQ(fake::now_ms(), 0U);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(negative, -1);
    EXPECT_EQ(Bytes(reply, reply + 4), Bytes(4, kGuard));
    EXPECT_EQ(std::string(text, 4), "xxxx");
  }
  // The handle check still comes first.
  EXPECT_EQ(MDB_IF_ExecCommand(nullptr, nullptr, 1, reply, &length), MDB_IF_BAD_HANDLE);
  EXPECT_EQ(MDB_IF_GetVersion(nullptr, text, -1), MDB_IF_BAD_HANDLE);
}

TEST_F(TransactionTest, CommandsAtTheLimitsAreSent) {
  const struct {
    const char *what;
    Bytes command;
  } rows[] = {
      {"empty", {}},
      {"every byte stuffed", Bytes(MDB_IF_MAX_COMMAND_ANY_BYTES, korvel::link::kEscape)},
      {"stuffed to exactly the buffer",
       Bytes(MDB_IF_MAX_COMMAND_ANY_BYTES + 1, korvel::link::kEscape)},
      {"longer than always fits, little stuffing", Bytes(MDB_IF_MAX_COMMAND_ANY_BYTES + 1, 0x00)},
      {"longest unstuffed", Bytes(MDB_IF_MAX_COMMAND_UNSTUFFED, 0x00)},
  };
  answer_with({0x00, 0x00});
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_LE(request_frame(row.command).size(), korvel::link::kTransmitBufferSize);
    EXPECT_EQ(exec(row.command).result, MDB_IF_OK);
    EXPECT_EQ(port_->requests.back(), request_frame(row.command));
  }
  // No command and no reply buffer at all, with zero lengths.
  std::int32_t length = 0;
  EXPECT_EQ(MDB_IF_ExecCommand(handle_, nullptr, 0, nullptr, &length), MDB_IF_OK);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(port_->requests.back(), request_frame({}));
}

} // namespace

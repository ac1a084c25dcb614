// Commands, line reset and version text through the Windows DLL under Wine,
// against the simulated adapter on a pseudo-terminal.
#include "exchange.h"
#include "korvel_dll.h"
#include "wine_test.h"

namespace wine_test {
namespace {

// One exchange against a silent adapter: the receive's silence timeout and
// the settle delay; a failed command attempt sleeps the retry delay as well.
// Wine's tick moves in steps of about 16 ms, so the bounds are generous.
constexpr long kSilentExchangeMs = korvel::kSilentExchangeMs;
constexpr long kSilentCommandAttemptMs = kSilentExchangeMs + korvel::kRetryDelayMs;
using korvel::kCommandAttempts;
constexpr long kEarlyMs = 40;
constexpr long kLateMs = 500;

// A run that hangs fails at this point instead of blocking the tests.
constexpr std::chrono::seconds kHangTimeout{20};

// Built by the windows preset against korvel_dll.lib, as Visual Studio links.
constexpr const char *kMsvcHostExe = KORVEL_MSVC_HOST_EXE;

using WineTransactions = WineTest;

TEST_F(WineTransactions, BytesThatNeedStuffingSurviveTheRoundTrip) {
  const Bytes special_command{0x02, 0x03, 0x7D};
  const Bytes special_reply{0x7D, 0x02, 0x03, 0x00, 0x03};
  PtyAdapter adapter([&](const Bytes &command) {
    return command == special_command ? reply(special_reply) : korvel::sim::default_answer(command);
  });
  attach("COM5", adapter);
  // 0x4E is a command whose CRC low byte is 0x03.
  const HostRun run = run_host({"open COM5", "version #1 64", "reset #1", "exec #1 02037D 16",
                                "exec #1 4E 16", "version #1 3", "close #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OK, MDB_IF_OK, MDB_IF_OK,
                                             MDB_IF_OK, MDB_IF_OK}))
      << run.transcript();
  EXPECT_EQ(run.steps[1].text("text"), korvel::sim::kDefaultVersionText);
  EXPECT_EQ(run.steps[3].bytes("reply"), special_reply);
  EXPECT_EQ(run.steps[4].bytes("reply"), Bytes{korvel::adapter::kStatusOk});
  // A capacity of 3 holds the status byte and two characters; the text is
  // cut and terminated inside the buffer.
  EXPECT_EQ(run.steps[5].text("text"), std::string(korvel::sim::kDefaultVersionText).substr(0, 2));
  for (const HostStep &step : run.steps) {
    EXPECT_NE(step.field("guard_ok"), "0") << step.op() << " wrote past its buffer";
  }
  EXPECT_EQ(commands_received(adapter),
            (std::vector<Bytes>{{0x01}, {0x02}, special_command, {0x4E}, {0x01}}));
  EXPECT_EQ(adapter.bad_request_count(), 0U);
}

// Wine keeps a port's XON/XOFF and CTS flow control in the pseudo-terminal's
// settings after the program that set them has gone. Left on, a received
// 0x13 stops the line's output and the flow-control bytes never arrive.
TEST_F(WineTransactions, FlowControlLeftOnThePortStopsNoByte) {
  const Bytes flow_bytes{0x00, 0x11, 0x13, 0x00};
  PtyAdapter adapter(always(reply(flow_bytes)));
  attach("COM5", adapter);
  const HostRun run = run_host(
      {"dirty COM5", "open COM5", "exec #1 0A 8", "exec #1 0A 8", "close #1"}, kHangTimeout);
  ASSERT_TRUE(run.completed()) << run.transcript();
  ASSERT_NE(run.steps[0].field("flags").find("outx"), std::string::npos)
      << "XON/XOFF did not outlive the program that set it: nothing to check\n"
      << run.transcript();
  EXPECT_EQ(run.results(), std::vector<int>(5, MDB_IF_OK)) << run.transcript();
  for (std::size_t step : {2U, 3U}) {
    EXPECT_EQ(run.steps[step].bytes("reply"), flow_bytes) << run.transcript();
    EXPECT_LT(run.steps[step].number("ms"), kSilentExchangeMs) << run.transcript();
  }
  EXPECT_EQ(adapter.request_count(), 2U) << "a reply was lost and the command retried";
}

std::string hex_of(const Bytes &bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (std::uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

TEST_F(WineTransactions, TheLongestFramesPassWholeAndLongerCommandsAreRefused) {
  // The transmit buffer holds 256 bytes: 124 command bytes that all need
  // stuffing, or 250 that need none (with a CRC that needs none either).
  const Bytes all_stuffed(MDB_IF_MAX_COMMAND_ANY_BYTES, 0x7D);
  const Bytes unstuffed(MDB_IF_MAX_COMMAND_UNSTUFFED, 0x41);
  const Bytes too_many_stuffed(MDB_IF_MAX_COMMAND_ANY_BYTES + 2, 0x7D);
  const Bytes too_long(MDB_IF_MAX_COMMAND_UNSTUFFED + 1, 0x41);
  const Bytes ask_for_longest_reply{0x0B};
  Bytes longest_reply(MDB_IF_MAX_REPLY_PAYLOAD);
  for (std::size_t i = 0; i < longest_reply.size(); ++i) {
    longest_reply[i] = static_cast<std::uint8_t>(i); // every special byte, twice
  }
  PtyAdapter adapter([&](const Bytes &command) {
    return reply(command == ask_for_longest_reply ? longest_reply : command);
  });
  attach("COM5", adapter);
  const std::string capacity = std::to_string(MDB_IF_MAX_REPLY_PAYLOAD);
  const HostRun run = run_host({"open COM5", "exec #1 " + hex_of(all_stuffed) + " " + capacity,
                                "exec #1 " + hex_of(unstuffed) + " " + capacity,
                                "exec #1 " + hex_of(too_many_stuffed) + " " + capacity,
                                "exec #1 " + hex_of(too_long) + " " + capacity,
                                "exec #1 " + hex_of(ask_for_longest_reply) + " " + capacity});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OK, MDB_IF_LINK_ERROR,
                                             MDB_IF_LINK_ERROR, MDB_IF_OK}))
      << run.transcript();
  EXPECT_EQ(run.steps[1].bytes("reply"), all_stuffed);
  EXPECT_EQ(run.steps[2].bytes("reply"), unstuffed);
  EXPECT_EQ(run.steps[5].bytes("reply"), longest_reply);
  EXPECT_EQ(commands_received(adapter),
            (std::vector<Bytes>{all_stuffed, unstuffed, ask_for_longest_reply}));
  EXPECT_EQ(adapter.bad_request_count(), 0U);
}

TEST_F(WineTransactions, CommandsFromTwoThreadsEachGetTheirOwnReply) {
  PtyAdapter adapter([](const Bytes &command) { return reply(command); });
  attach("COM5", adapter);
  const HostRun run = run_host({"open COM5", "exec-threads #1 30", "close #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OK})) << run.transcript();
  EXPECT_EQ(run.steps[1].number("wrong"), 0);
  EXPECT_EQ(adapter.request_count(), 60U);
  EXPECT_EQ(adapter.bad_request_count(), 0U);
}

TEST_F(WineTransactions, RepliesWithBadCrcAreRetriedOnlyForCommands) {
  const Answer good = reply({0x11, 0x22});
  const Answer bad = with_bad_crc(good);
  PtyAdapter adapter(scripted({bad, bad, bad, bad, bad, good, bad, with_bad_crc(reply({0x00}))}));
  attach("COM5", adapter);
  const HostRun run =
      run_host({"open COM5", "exec #1 0A 8", "exec #1 0A 8", "version #1 16", "reset #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), (std::vector<int>{MDB_IF_OK, MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_OK,
                                             MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_OPEN_OR_CRC_ERROR}))
      << run.transcript();
  EXPECT_EQ(run.steps[1].number("len"), 8) << "a failed command must leave the length alone";
  EXPECT_EQ(run.steps[2].bytes("reply"), good.payload) << "the third attempt's reply";
  EXPECT_EQ(adapter.request_count(), 8U);
}

TEST_F(WineTransactions, ASilentAdapterTimesOut) {
  PtyAdapter adapter(always(silent()));
  attach("COM5", adapter);
  const HostRun run = run_host({"open COM5", "exec #1 0A 8", "version #1 16", "reset #1"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(),
            (std::vector<int>{MDB_IF_OK, MDB_IF_TIMEOUT, MDB_IF_TIMEOUT, MDB_IF_TIMEOUT}))
      << run.transcript();
  EXPECT_EQ(run.steps[1].number("len"), 8);
  const long command_ms = run.steps[1].number("ms");
  RecordProperty("silent_command_ms", std::to_string(command_ms));
  EXPECT_GE(command_ms, kCommandAttempts * kSilentCommandAttemptMs - kEarlyMs);
  EXPECT_LE(command_ms, kCommandAttempts * kSilentCommandAttemptMs + kLateMs);
  for (std::size_t step : {2U, 3U}) {
    EXPECT_GE(run.steps[step].number("ms"), kSilentExchangeMs - kEarlyMs);
    EXPECT_LE(run.steps[step].number("ms"), kSilentExchangeMs + kLateMs);
  }
  EXPECT_EQ(adapter.request_count(), 5U) << "three attempts for the command, one for the others";
}

// The library's poll and settle waits, by either method: never shorter than
// asked, whatever the period of the system's timer.
TEST_F(WineTransactions, WaitsLastAtLeastWhatWasAsked) {
  constexpr int kWaitsEach = 20;
  struct Wait {
    std::string method;
    std::uint32_t ms;
  };
  std::vector<Wait> waits;
  std::vector<std::string> steps;
  for (const std::string method : {"timer", "sleep"}) {
    for (std::uint32_t ms : {korvel::link::kPollIntervalMs, korvel::kSettleDelayMs}) {
      waits.push_back({method, ms});
      steps.push_back("wait " + method + " " + std::to_string(ms) + " " +
                      std::to_string(kWaitsEach));
    }
  }
  const HostRun run = run_host(steps);
  ASSERT_TRUE(run.completed()) << run.transcript();
  for (std::size_t i = 0; i < waits.size(); ++i) {
    const std::string label = waits[i].method + "_" + std::to_string(waits[i].ms) + "ms";
    const long asked_us = 1000L * waits[i].ms;
    const HostStep &wait = run.steps[i];
    RecordProperty(label, wait.field("min_us") + ".." + wait.field("max_us") + "us");
    EXPECT_GE(wait.number("min_us"), asked_us) << label;
    EXPECT_LE(wait.number("max_us"), asked_us + 1000L * kLateMs) << label;
  }
}

// The high-resolution timer's due time is relative: a wait blocks on it.
// Were it read as an absolute time (long past), every wait would spin until
// its deadline, using the processor throughout.
TEST_F(WineTransactions, TimerWaitsBlockInsteadOfSpinning) {
  constexpr int kWaits = 100;
  constexpr std::uint32_t kWaitMs = korvel::kSettleDelayMs;
  // Wine counts processor time in 10 ms steps; spinning used a third of the
  // time waited.
  constexpr long kMostCpuUs = 1000L * kWaits * kWaitMs / 20;
  const HostRun run =
      run_host({"wait timer " + std::to_string(kWaitMs) + " " + std::to_string(kWaits)});
  ASSERT_TRUE(run.completed()) << run.transcript();
  RecordProperty("timer_wait_cpu_us", run.steps[0].field("cpu_us"));
  EXPECT_GE(run.steps[0].number("min_us"), 1000L * kWaitMs);
  EXPECT_LT(run.steps[0].number("cpu_us"), kMostCpuUs) << run.transcript();
}

struct StatusCase {
  std::string step;
  Answer answer;
  int expected;
};

TEST_F(WineTransactions, AdapterStatusBytesMapToResults) {
  const std::vector<StatusCase> cases = {
      {"exec #1 0A 8", reply({0x00}), MDB_IF_OK},
      {"exec #1 0A 8", reply({0x05}), MDB_IF_ADAPTER_ERROR},
      {"exec #1 0A 8", reply({0xFC}), MDB_IF_TIMEOUT},
      {"exec #1 0A 8", reply({0xFD}), MDB_IF_OPEN_OR_CRC_ERROR},
      {"exec #1 0A 8", reply({0xFE}), MDB_IF_ADAPTER_STATUS_FE},
      {"exec #1 0A 8", reply({0xFF}), MDB_IF_ADAPTER_ERROR},
      {"exec #1 0A 8", reply({}), MDB_IF_OK},
      // Capacity 1 delivers the first byte, which then reads as a status.
      {"exec #1 0A 1", reply({0x05, 0x11, 0x22}), MDB_IF_ADAPTER_ERROR},
      {"reset #1", reply({0xFF}), MDB_IF_ADAPTER_ERROR},
      {"reset #1", reply({0x05}), MDB_IF_LINK_ERROR},
      {"reset #1", reply({0xFE}), MDB_IF_ADAPTER_STATUS_FE},
      {"reset #1", reply({0xFD}), MDB_IF_OPEN_OR_CRC_ERROR},
      // No byte at all carries no status.
      {"reset #1", reply({}), MDB_IF_LINK_ERROR},
      {"version #1 16", reply({0xFC}), MDB_IF_TIMEOUT},
      {"version #1 16", reply({0x05}), MDB_IF_LINK_ERROR},
      {"version #1 0", korvel::sim::default_answer({korvel::adapter::kReadVersionCommand}),
       MDB_IF_LINK_ERROR},
  };
  std::vector<std::string> steps{"open COM5"};
  std::vector<Answer> answers;
  std::vector<int> expected{MDB_IF_OK};
  for (const StatusCase &status_case : cases) {
    steps.push_back(status_case.step);
    answers.push_back(status_case.answer);
    expected.push_back(status_case.expected);
  }
  PtyAdapter adapter(scripted(answers));
  attach("COM5", adapter);
  const HostRun run = run_host(steps);
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(), expected) << run.transcript();
  EXPECT_EQ(run.steps[1].number("len"), 1);
  EXPECT_EQ(run.steps[7].number("len"), 0);
  EXPECT_EQ(run.steps[8].bytes("reply"), Bytes{0x05});
  for (const HostStep &step : run.steps) {
    EXPECT_NE(step.field("guard_ok"), "0") << step.op() << " wrote past its buffer";
  }
  // Adapter-reported errors arrive in valid replies and are not retried.
  EXPECT_EQ(adapter.request_count(), cases.size());
}

TEST_F(WineTransactions, AProgramLinkedAgainstTheMsvcImportLibraryReadsTheVersion) {
  PtyAdapter adapter;
  attach("COM5", adapter);
  const ProcessResult run =
      WineSession::get().run_windows_program({kMsvcHostExe, "COM5"}, std::chrono::seconds(60));
  EXPECT_EQ(run.exit_code, MDB_IF_OK) << run.errors;
  EXPECT_EQ(run.output, std::string("version: ") + korvel::sim::kDefaultVersionText + "\n");
}

} // namespace
} // namespace wine_test

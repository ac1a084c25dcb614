// The adapter unplugged in the middle of a transaction, through the Windows
// DLL under Wine: the master side of the pseudo-terminal behind COM5 closes.
// The call must end within its bound with a failure, later calls must fail,
// the close must work, and a port that is there must open afterwards.
#include "exchange.h"
#include "korvel_dll.h"
#include "wine_test.h"

#include <chrono>
#include <thread>

namespace wine_test {
namespace {

// One silent receive and the settle delay, the pauses of a command's three
// attempts, and Wine's coarse tick and load.
constexpr long kSilentExchangeMs = korvel::kSilentExchangeMs;
constexpr long kAttemptPausesMs = korvel::kCommandAttempts * 2 * korvel::kRetryDelayMs;
constexpr long kLateMs = 500;

using WineUnplug = WineTest;

// The steps after the one the plug is pulled in: the dead line, the close,
// and a working adapter on COM6.
const std::vector<std::string> kAfterUnplug = {"reset #1",      "version #1 16", "exec #1 0A 8",
                                               "close #1",      "reset #1",      "open COM6",
                                               "version #2 64", "close #2"};

void expect_failed_cleanly(const HostRun &run, int in_progress) {
  ASSERT_TRUE(run.completed()) << run.transcript();
  const std::vector<int> results = run.results();
  ASSERT_EQ(results.size(), 2 + kAfterUnplug.size()) << run.transcript();
  EXPECT_EQ(results[1], in_progress) << run.transcript();
  EXPECT_LE(run.steps[1].number("ms"), kSilentExchangeMs + kAttemptPausesMs + kLateMs);
  for (std::size_t step = 2; step <= 4; ++step) {
    EXPECT_NE(results[step], MDB_IF_OK) << run.transcript();
    EXPECT_LE(run.steps[step].number("ms"), kSilentExchangeMs + kAttemptPausesMs + kLateMs);
  }
  EXPECT_EQ(std::vector<int>(results.begin() + 5, results.end()),
            (std::vector<int>{MDB_IF_OK, MDB_IF_BAD_HANDLE, MDB_IF_OK, MDB_IF_OK, MDB_IF_OK}))
      << run.transcript();
  EXPECT_EQ(run.steps[8].text("text"), korvel::sim::kDefaultVersionText);
}

TEST_F(WineUnplug, TheAdapterGoesAsItReadsTheCommand) {
  PtyAdapter adapter;
  adapter.set_behaviour([&adapter](const Bytes &) {
    adapter.hang_up();
    return silent();
  });
  PtyAdapter other;
  attach("COM5", adapter);
  attach("COM6", other);
  std::vector<std::string> steps{"open COM5", "exec #1 0A 8"};
  steps.insert(steps.end(), kAfterUnplug.begin(), kAfterUnplug.end());
  const HostRun run = run_host(steps);
  RecordProperty("unplugged_exec", run.transcript());
  expect_failed_cleanly(run, MDB_IF_LINK_ERROR);
}

TEST_F(WineUnplug, TheAdapterGoesInTheMiddleOfItsReply) {
  std::thread plug_puller;
  PtyAdapter adapter;
  adapter.set_behaviour([&](const Bytes &) {
    plug_puller = std::thread([&adapter] {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      adapter.hang_up();
    });
    Answer answer = reply(Bytes(64, 0x41)); // 8 bytes every 100 ms
    answer.piece_size = 8;
    answer.piece_pause_ms = 100;
    return answer;
  });
  PtyAdapter other;
  attach("COM5", adapter);
  attach("COM6", other);
  std::vector<std::string> steps{"open COM5", "version #1 64"};
  steps.insert(steps.end(), kAfterUnplug.begin(), kAfterUnplug.end());
  const HostRun run = run_host(steps);
  if (plug_puller.joinable()) {
    plug_puller.join();
  }
  RecordProperty("unplugged_version", run.transcript());
  expect_failed_cleanly(run, MDB_IF_TIMEOUT);
}

// A superseded handle keeps failing the handle check although Windows may
// hand its value out again: neither a third open nor the good open after a
// failed one returns it.
TEST_F(WineUnplug, ASupersededHandleStaysRejectedThroughLaterOpens) {
  PtyAdapter adapter;
  attach("COM5", adapter);
  // COM9 has no device: the host retrying a port that has gone.
  const HostRun run = run_host(
      {"open COM5", "open COM5", "open COM5", "reset #1", "open COM9", "open COM5", "reset #3"});
  ASSERT_TRUE(run.completed()) << run.transcript();
  EXPECT_EQ(run.results(),
            (std::vector<int>{MDB_IF_OK, MDB_IF_OK, MDB_IF_OK, MDB_IF_BAD_HANDLE,
                              MDB_IF_OPEN_OR_CRC_ERROR, MDB_IF_OK, MDB_IF_BAD_HANDLE}))
      << run.transcript();
  EXPECT_FALSE(run.steps[2].has("same_as")) << run.transcript();
  EXPECT_FALSE(run.steps[5].has("same_as")) << run.transcript();
}

} // namespace
} // namespace wine_test

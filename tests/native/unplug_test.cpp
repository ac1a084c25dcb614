// The adapter is unplugged: the master side of its pseudo-terminal closes.
// On Linux the host's side then hangs up for good: reads return 0, and the
// queued-count query, the purge and writes fail with EIO. A call in progress
// must end within its bound with a failure and without spinning, later calls
// must fail at once, the close must still work, and a new open must succeed
// once an adapter is back.
#include "exchange.h"
#include "korvel_dll.h"
#include "sim_adapter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

namespace {

using korvel::sim::Answer;
using korvel::sim::Bytes;
using korvel::sim::PtyAdapter;
using korvel::sim::silent;
using Clock = std::chrono::steady_clock;

// A receive that hears nothing, with its settle delay; a failed command
// attempt pauses the retry delay more.
constexpr double kSilentExchangeMs = korvel::kSilentExchangeMs;
constexpr double kFailedAttemptPauseMs = korvel::kRetryDelayMs;
constexpr double kSlackMs = 400;
// Polling every 10 ms costs next to no processor time; a loop that spins on
// the dead line would burn the whole call.
constexpr double kMostCpuMs = 100;
// A call on a line that is known to be dead: no receive, only pauses.
constexpr double kDeadLineCallMs = korvel::kCommandAttempts * 2 * kFailedAttemptPauseMs + kSlackMs;

const std::uint8_t kCommand[] = {0x0A, 0x02, 0x7D};

struct CallCost {
  std::int32_t result = -1;
  double wall_ms = 0;
  double cpu_ms = 0;
};

double thread_cpu_ms() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

CallCost measure(const std::function<std::int32_t()> &call) {
  const auto started = Clock::now();
  const double cpu_started = thread_cpu_ms();
  CallCost cost;
  cost.result = call();
  cost.cpu_ms = thread_cpu_ms() - cpu_started;
  cost.wall_ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  return cost;
}

std::int32_t exec(MDB_IF_HANDLE handle) {
  std::uint8_t reply[64];
  std::int32_t length = sizeof(reply);
  return MDB_IF_ExecCommand(handle, kCommand, sizeof(kCommand), reply, &length);
}

std::int32_t version(MDB_IF_HANDLE handle) {
  char text[64];
  return MDB_IF_GetVersion(handle, text, sizeof(text));
}

// A reply that takes a second to come out, eight bytes at a time.
Answer slow_reply() {
  Answer answer;
  answer.payload = Bytes(64, 0x41);
  answer.piece_size = 8;
  answer.piece_pause_ms = 100;
  return answer;
}

// Every transaction on the dead line fails with a link error at once, the
// close still works, and afterwards the handle is no longer accepted.
void expect_dead_line_fails_cleanly(MDB_IF_HANDLE handle) {
  for (const auto &call :
       {std::function<std::int32_t()>([&] { return exec(handle); }),
        std::function<std::int32_t()>([&] { return version(handle); }),
        std::function<std::int32_t()>([&] { return MDB_IF_LineReset(handle); })}) {
    const CallCost cost = measure(call);
    EXPECT_EQ(cost.result, MDB_IF_LINK_ERROR);
    EXPECT_LT(cost.wall_ms, kDeadLineCallMs);
  }
  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
  EXPECT_EQ(MDB_IF_LineReset(handle), MDB_IF_BAD_HANDLE);
}

enum class Moment { WhileAdapterReads, DuringSilence, MidReply };

struct UnplugCase {
  std::string name;
  std::function<std::int32_t(MDB_IF_HANDLE)> call;
  Moment moment;
  std::int32_t expected;
};

// Runs the call and pulls the plug at the given moment.
CallCost call_and_unplug(const UnplugCase &unplug, PtyAdapter &adapter, MDB_IF_HANDLE handle) {
  if (unplug.moment == Moment::WhileAdapterReads) {
    adapter.set_behaviour([&adapter](const Bytes &) {
      adapter.hang_up();
      return korvel::sim::default_answer({});
    });
    return measure([&] { return unplug.call(handle); });
  }
  adapter.set_behaviour([&unplug](const Bytes &) {
    return unplug.moment == Moment::MidReply ? slow_reply() : silent();
  });
  std::thread plug_puller([&adapter, &unplug] {
    adapter.wait_for_requests(1, 2000);
    // Mid-reply: the first pieces, STX included, are on the line by now.
    std::this_thread::sleep_for(
        std::chrono::milliseconds(unplug.moment == Moment::MidReply ? 250 : 100));
    adapter.hang_up();
  });
  const CallCost cost = measure([&] { return unplug.call(handle); });
  plug_puller.join();
  return cost;
}

TEST(Unplug, ACallInProgressFailsWithinItsBoundAndTheDeadLineStaysClean) {
  const auto reset = [](MDB_IF_HANDLE handle) { return MDB_IF_LineReset(handle); };
  // A command's first attempt times out; the next two cannot purge the line.
  const std::vector<UnplugCase> cases = {
      {"exec, adapter unplugged as it reads", exec, Moment::WhileAdapterReads, MDB_IF_LINK_ERROR},
      {"exec, during the silence", exec, Moment::DuringSilence, MDB_IF_LINK_ERROR},
      {"exec, mid-reply", exec, Moment::MidReply, MDB_IF_LINK_ERROR},
      {"version, adapter unplugged as it reads", version, Moment::WhileAdapterReads,
       MDB_IF_TIMEOUT},
      {"version, mid-reply", version, Moment::MidReply, MDB_IF_TIMEOUT},
      {"reset, during the silence", reset, Moment::DuringSilence, MDB_IF_TIMEOUT},
  };
  for (const UnplugCase &unplug : cases) {
    SCOPED_TRACE(unplug.name);
    PtyAdapter adapter;
    MDB_IF_HANDLE handle = nullptr;
    ASSERT_EQ(MDB_IF_OpenInterface(adapter.port_name().c_str(), &handle), MDB_IF_OK);
    const CallCost cost = call_and_unplug(unplug, adapter, handle);
    EXPECT_EQ(cost.result, unplug.expected);
    // One receive runs into the silence; nothing after it waits.
    EXPECT_LT(cost.wall_ms,
              kSilentExchangeMs + korvel::kCommandAttempts * 2 * kFailedAttemptPauseMs + kSlackMs);
    EXPECT_LT(cost.cpu_ms, kMostCpuMs);
    expect_dead_line_fails_cleanly(handle);
  }
}

// A call made right after the plug is pulled may still find the line up:
// the kernel hangs the terminal up a moment later. Either way it fails.
bool is_unplug_failure(std::int32_t result) {
  return result == MDB_IF_TIMEOUT || result == MDB_IF_LINK_ERROR;
}

TEST(Unplug, ANewOpenSucceedsOnceAnAdapterIsBack) {
  std::string name;
  {
    PtyAdapter adapter;
    name = adapter.port_name();
    MDB_IF_HANDLE unplugged = nullptr;
    ASSERT_EQ(MDB_IF_OpenInterface(name.c_str(), &unplugged), MDB_IF_OK);
    adapter.hang_up();
    EXPECT_PRED1(is_unplug_failure, MDB_IF_LineReset(unplugged));
  }
  // The host tries the old port again, which is gone, then a new one.
  MDB_IF_HANDLE handle = nullptr;
  EXPECT_EQ(MDB_IF_OpenInterface(name.c_str(), &handle), MDB_IF_OPEN_OR_CRC_ERROR);
  EXPECT_EQ(handle, MDB_IF_INVALID_HANDLE);
  PtyAdapter back;
  ASSERT_EQ(MDB_IF_OpenInterface(back.port_name().c_str(), &handle), MDB_IF_OK);
  EXPECT_EQ(version(handle), MDB_IF_OK);
  EXPECT_EQ(exec(handle), MDB_IF_OK);
  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
  EXPECT_EQ(back.request_count(), 2U);
}

// A superseded handle keeps failing the handle check although its
// descriptor number is free again: later opens, also after a failed one and
// after an unplug, never hand it back.
TEST(Unplug, ASupersededHandleStaysRejectedThroughLaterOpens) {
  PtyAdapter adapter;
  const char *port = adapter.port_name().c_str();
  MDB_IF_HANDLE first = nullptr;
  MDB_IF_HANDLE second = nullptr;
  MDB_IF_HANDLE third = nullptr;
  ASSERT_EQ(MDB_IF_OpenInterface(port, &first), MDB_IF_OK);
  ASSERT_EQ(MDB_IF_OpenInterface(port, &second), MDB_IF_OK);
  ASSERT_EQ(MDB_IF_OpenInterface(port, &third), MDB_IF_OK);
  EXPECT_NE(third, first);
  EXPECT_EQ(MDB_IF_LineReset(first), MDB_IF_BAD_HANDLE);

  // The same after an unplug: the reopen of the vanished port fails, the
  // open of the new one succeeds.
  std::string vanished;
  MDB_IF_HANDLE unplugged = nullptr;
  {
    PtyAdapter gone;
    vanished = gone.port_name();
    ASSERT_EQ(MDB_IF_OpenInterface(vanished.c_str(), &unplugged), MDB_IF_OK);
    gone.hang_up();
  }
  MDB_IF_HANDLE failed = nullptr;
  EXPECT_EQ(MDB_IF_OpenInterface(vanished.c_str(), &failed), MDB_IF_OPEN_OR_CRC_ERROR);
  PtyAdapter back;
  MDB_IF_HANDLE handle = nullptr;
  ASSERT_EQ(MDB_IF_OpenInterface(back.port_name().c_str(), &handle), MDB_IF_OK);
  EXPECT_NE(handle, unplugged);
  EXPECT_EQ(MDB_IF_LineReset(unplugged), MDB_IF_BAD_HANDLE);
  EXPECT_EQ(MDB_IF_CloseInterface(handle), MDB_IF_OK);
}

} // namespace
